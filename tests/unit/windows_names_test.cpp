// Windows' name rules over tables of stored names: each rule's members in
// their many spellings, and the look-alikes that Windows takes as files.
#include "platform/windows_names.h"

#include <gtest/gtest.h>

#include <string_view>
#include <tuple>
#include <vector>

namespace {

using platform::windows_names::IsPlainFileName;
using platform::windows_names::NamesNoDiskFile;

// Stored paths that can name no source file: a device in any folder, the
// device namespace, the pipe and mailslot shares of any host.
TEST(WindowsNames, DevicesPipesAndTheDeviceNamespaceNameNoDiskFile) {
  for (const char* path : {"NUL",
                           "AUX",
                           "COM1.txt",
                           "src\\NUL .txt",
                           "CON",
                           "CONIN$",
                           "CONOUT$",
                           "nul:",
                           "C:NUL",
                           "src/aux.c.h",
                           "prn.",
                           "Lpt\xB9.log",
                           "com9 .c",
                           "d:\\x\\Con:.c",
                           "\\\\.\\NUL",
                           "\\\\.\\PhysicalDrive0",
                           "//./nul",
                           "\\\\.\\C:\\x.c",
                           "\\\\?\\GLOBALROOT\\Device\\Null",
                           "//?/GLOBALROOT/Device/Null",
                           "\\??\\GLOBALROOT\\Device\\Null",
                           "\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\x.c",
                           "\\\\.\\pipe\\quarrow",
                           "\\\\localhost\\pipe\\quarrow",
                           "\\\\localhost\\PIPE.\\x",
                           "//localhost//pipe/x",
                           "\\\\?\\UNC\\localhost\\pipe\\x",
                           "//?/unc/localhost/Pipe/x",
                           "\\\\localhost\\MailSlot\\x"})
    EXPECT_TRUE(NamesNoDiskFile(path)) << path;
  for (const char* path : {"console.c", "com10.c", "tree\\src\\same.c", "COM0", "nul_.h",
                           "\\\\?\\C:\\src\\a.c", "\\\\?\\UNC\\host\\share\\a.c",
                           "\\\\host\\pipes\\a.c", "\\\\host\\share\\pipe\\a.c", "d:\\con\\a.c"})
    EXPECT_FALSE(NamesNoDiskFile(path)) << path;
}

// New names that Windows would make into something else: a device, a stream
// or another drive behind a colon, a character it forbids, trailing dots or
// blanks that it drops.
TEST(WindowsNames, NamesWindowsWouldAlterAreNoPlainFileNames) {
  for (const char* name :
       {"C:evil.c", "nul",    "NUL.c",      "nul .c",    "main.c.", "main.c ", "...",
        "CON",      "COM1.c", "lpt9.h",     "com\xB9.c", "LPT\xB3", "CONIN$",  "conout$.txt",
        "aux.h",    "Prn",    "a.c:stream", "a<b",       "a>b",     "a\"b",    "a|b",
        "a?b",      "a*b",    "tab\tname",  "x\x1fy",    "",        "a\\b",    "a/b"})
    EXPECT_FALSE(IsPlainFileName(name)) << name;
  for (const char* name :
       {"console.c", "com10.c", "COM0", "nul_.h", "lpt.c", ".hidden", "a..b", "CONIN.txt"})
    EXPECT_TRUE(IsPlainFileName(name)) << name;
}

// The double-byte code pages of Japan (932), China (936) and Taiwan (950),
// as Windows reads names in them: a lead byte and a second byte are one
// character, whatever the second byte's value.
struct DoubleByteCodePage {
  unsigned char leads[2][2];     // two ranges of lead bytes, first to last
  unsigned char highSeconds[2];  // second bytes: 0x40 to 0x7E, and this range
};
template <DoubleByteCodePage kPage>
std::size_t ReadIn(std::string_view rest) {
  const auto within = [](unsigned char byte, const unsigned char(&range)[2]) {
    return byte >= range[0] && byte <= range[1];
  };
  const auto lead = static_cast<unsigned char>(rest[0]);
  const auto second = static_cast<unsigned char>(rest.size() > 1 ? rest[1] : 0);
  const bool leads = within(lead, kPage.leads[0]) || within(lead, kPage.leads[1]);
  const bool follows = (second >= 0x40 && second <= 0x7E) || within(second, kPage.highSeconds);
  return leads && follows ? 2 : 1;
}
constexpr auto kJapanese = ReadIn<DoubleByteCodePage{{{0x81, 0x9F}, {0xE0, 0xFC}}, {0x80, 0xFC}}>;
constexpr auto kSimplifiedChinese =
    ReadIn<DoubleByteCodePage{{{0x81, 0xFE}, {0x81, 0xFE}}, {0x80, 0xFE}}>;
constexpr auto kTraditionalChinese =
    ReadIn<DoubleByteCodePage{{{0x81, 0xFE}, {0x81, 0xFE}}, {0xA1, 0xFE}}>;
std::size_t ByteByByte(std::string_view /*rest*/) { return 1; }

// Names whose characters have the second byte of \ or | are read by those
// characters: a separator, a colon or a forbidden character counts only where
// it is one. A lead byte at the end, or before a byte that is no second
// byte, is a byte of its own.
TEST(WindowsNames, NamesAreReadByTheCharactersOfTheirCodePage) {
  using Reading = std::size_t (*)(std::string_view);
  for (const auto& [name, reading, plain] : std::vector<std::tuple<const char*, Reading, bool>>{
           {"\x83\x5C\x81[\x83X.c", kJapanese, true},          // ソース.c
           {"\x83\x7C\x81[\x83g.c", kJapanese, true},          // ポート.c
           {"\x81\x5C\x82\x5C.c", kSimplifiedChinese, true},   // 乗俓.c
           {"\xB3\x5C\xA5\x5C.c", kTraditionalChinese, true},  // 許功.c
           {"\x83\x7C\x81[\x83g.c", ByteByByte, false},
           {"\x83\x5C.c", ByteByByte, false},
           {"a\x83", kJapanese, true},
           {"\x83:x", kJapanese, false},  // 0x83 before a byte that is no second byte
           {"\x83\x5C\\x.c", kJapanese, false}})
    EXPECT_EQ(IsPlainFileName(name, reading), plain) << name;
  for (const auto& [path, reading, noDiskFile] :
       std::vector<std::tuple<const char*, Reading, bool>>{
           {"src\\\x83\x5CNUL", kJapanese, false},  // ソNUL
           {"src\\\x83\x5CNUL", ByteByByte, true},
           {"src\\\x83\x5C\\NUL", kJapanese, true},
           {"\\\\ho\xA5\x5Cpipe\\x", kTraditionalChinese, false},  // the host ho功pipe
           {"\\\\ho\xA5\x5Cpipe\\x", ByteByByte, true}})
    EXPECT_EQ(NamesNoDiskFile(path, reading), noDiskFile) << path;
}

}  // namespace
