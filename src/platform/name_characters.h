// Names read by characters, as the system reads them: a name is taken apart
// (a separator, a colon, a forbidden character found) only where such a
// character stands, never at the second byte of a double-byte character
// whose value happens to be the same. The system's reading
// (platform::NameCharacterLength) is the default; tests give a code page's.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/terminal.h"

namespace platform::names {

// How many bytes the character at the start of `rest` (not empty) takes.
using CharacterLength = std::size_t (*)(std::string_view rest);

// Where the last character of `name` that is one of the single bytes in
// `set` starts; npos where none is.
std::size_t FindLastOf(std::string_view name, std::string_view set,
                       CharacterLength lengthOf = NameCharacterLength);

// Where the first such character starts; npos where none is.
std::size_t FindFirstOf(std::string_view name, std::string_view set,
                        CharacterLength lengthOf = NameCharacterLength);

}  // namespace platform::names
