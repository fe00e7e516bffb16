// Windows' name rules over tables of stored names: each rule's members in
// their many spellings, and the look-alikes that Windows takes as files.
#include "platform/windows_names.h"

#include <gtest/gtest.h>

#include <string_view>
#include <tuple>

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

// Code page 932 (Japan) as Windows reads names in it: a lead byte and a
// second byte are one character, whatever the second byte's value. Names
// whose characters have the second byte of \\ or | are read by those
// characters; a lead byte before a byte that is no second byte is a byte.
std::size_t ReadInCodePage932(std::string_view rest) {
  const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(rest[at]); };
  const bool leads = (byte(0) >= 0x81 && byte(0) <= 0x9F) || (byte(0) >= 0xE0 && byte(0) <= 0xFC);
  return leads && rest.size() > 1 && byte(1) >= 0x40 && byte(1) <= 0xFC && byte(1) != 0x7F ? 2 : 1;
}
std::size_t ByteByByte(std::string_view /*rest*/) { return 1; }

TEST(WindowsNames, NamesAreReadByTheCharactersOfTheirCodePage) {
  // Each name, and whether it is plain read in code page 932 and byte by byte.
  for (const auto& [name, in932, byBytes] :
       {std::tuple("\x83\x5C\x81[\x83X.c", true, false),  // ソース.c
        std::tuple("\x83\x7C\x81[\x83g.c", true, false),  // ポート.c
        std::tuple("a\x83", true, true), std::tuple("\x83:x", false, false),
        std::tuple("\x83\x5C\\x.c", false, false)}) {
    EXPECT_EQ(IsPlainFileName(name, ReadInCodePage932), in932) << name;
    EXPECT_EQ(IsPlainFileName(name, ByteByByte), byBytes) << name;
  }
  for (const auto& [path, in932, byBytes] : {std::tuple("src\\\x83\x5CNUL", false, true),  // ソNUL
                                             std::tuple("\\\\ho\x83\x5Cpipe\\x", false, true),
                                             std::tuple("src\\\x83\x5C\\NUL", true, true)}) {
    EXPECT_EQ(NamesNoDiskFile(path, ReadInCodePage932), in932) << path;
    EXPECT_EQ(NamesNoDiskFile(path, ByteByByte), byBytes) << path;
  }
}

}  // namespace
