// Windows' name rules over tables of stored names: each rule's members in
// their many spellings, and the look-alikes that Windows takes as files.
#include "platform/windows_names.h"

#include <gtest/gtest.h>

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

}  // namespace
