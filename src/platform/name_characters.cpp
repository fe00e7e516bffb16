#include "platform/name_characters.h"

#include <algorithm>

namespace platform::names {

namespace {

// The length of the character at `at`: at least one byte, never past the end.
std::size_t LengthAt(std::string_view name, std::size_t at, CharacterLength lengthOf) {
  return std::clamp<std::size_t>(lengthOf(name.substr(at)), 1, name.size() - at);
}

}  // namespace

std::size_t FindLastOf(std::string_view name, std::string_view set, CharacterLength lengthOf) {
  std::size_t last = std::string_view::npos;
  for (std::size_t at = 0, length = 0; at < name.size(); at += length) {
    length = LengthAt(name, at, lengthOf);
    if (length == 1 && set.find(name[at]) != std::string_view::npos) last = at;
  }
  return last;
}

std::size_t FindFirstOf(std::string_view name, std::string_view set, CharacterLength lengthOf) {
  for (std::size_t at = 0, length = 0; at < name.size(); at += length) {
    length = LengthAt(name, at, lengthOf);
    if (length == 1 && set.find(name[at]) != std::string_view::npos) return at;
  }
  return std::string_view::npos;
}

}  // namespace platform::names
