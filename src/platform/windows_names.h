// Windows' rules for names, as plain functions over the stored names: which
// stored paths name no file on a disk, and which new file names Windows would
// create as something else. The Windows layer applies them; they are built on
// every system so that they are tested on every build.
#pragma once

#include <string_view>

#include "platform/name_characters.h"

namespace platform::windows_names {

// Each rule reads a name by its characters, as `lengthOf` reads them: the
// system's reading (the ANSI code page on Windows) unless a test gives one.
using names::CharacterLength;

// The reserved device names of Windows 10, which reserves them with any
// extension, with blanks before it, and with colons after the name or before
// the extension: CON, CON.c, "CON .c" and CON: all open the console; also
// COM1-9 and LPT1-9 with the superscript digits 1, 2 and 3 of the ANSI code
// page. Windows 11 reserves fewer; one .nms file gives one result on both.
bool IsDeviceName(std::string_view name, CharacterLength lengthOf = NameCharacterLength);

// A stored path that can name no source file on a disk: a device name as its
// last component (after the last separator, or after a drive's colon), the
// device namespace (\\.\, \??\, and \\?\ other than \\?\X:\ and \\?\UNC\),
// or the pipe and mailslot shares of any host.
bool NamesNoDiskFile(std::string_view path, CharacterLength lengthOf = NameCharacterLength);

// A name that Windows creates as a plain file of exactly that name, in the
// directory given: no device, no stream or drive behind a colon, no other
// character Windows forbids, nothing it would drop from the end.
bool IsPlainFileName(std::string_view name, CharacterLength lengthOf = NameCharacterLength);

}  // namespace platform::windows_names
