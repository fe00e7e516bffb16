#include "platform/windows_names.h"

#include <algorithm>
#include <cctype>
#include <iterator>

namespace platform::windows_names {

namespace {

char UpperAscii(char letter) {
  return letter >= 'a' && letter <= 'z' ? static_cast<char>(letter - 'a' + 'A') : letter;
}

bool SameLetters(std::string_view text, std::string_view upper) {
  return text.size() == upper.size() &&
         std::equal(text.begin(), text.end(), upper.begin(),
                    [](char c, char u) { return UpperAscii(c) == u; });
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// The last component of a stored path, where Windows looks for a device
// name: after the last separator, or after a drive's colon (C:NUL).
std::string_view LastComponent(std::string_view path, CharacterLength lengthOf) {
  const auto separator = names::FindLastOf(path, "\\/", lengthOf);
  if (separator != std::string_view::npos) return path.substr(separator + 1);
  if (path.size() >= 2 && path[1] == ':') return path.substr(2);
  return path;
}

// \\?\UNC\ (either slash): the verbatim form of a path on a share.
bool StartsAsVerbatimShare(std::string_view path) {
  return path.size() >= 8 && IsSeparator(path[0]) && IsSeparator(path[1]) && path[2] == '?' &&
         IsSeparator(path[3]) && SameLetters(path.substr(4, 3), "UNC") && IsSeparator(path[7]);
}

// \\.\ (either slash), \??\, and \\?\ other than a drive's or a share's path.
bool InDeviceNamespace(std::string_view path) {
  if (path.substr(0, 4) == "\\??\\") return true;  // passed to the system as it is
  if (path.size() < 4 || !IsSeparator(path[0]) || !IsSeparator(path[1]) ||
      (path[2] != '.' && path[2] != '?') || !IsSeparator(path[3]))
    return false;
  if (path[2] == '.') return true;
  const std::string_view rest = path.substr(4);
  const bool drive = rest.size() >= 3 && std::isalpha(static_cast<unsigned char>(rest[0])) &&
                     rest[1] == ':' && IsSeparator(rest[2]);
  return !drive && !StartsAsVerbatimShare(path);
}

// \\host\pipe\... and \\?\UNC\host\pipe\..., or mailslot, in any letter
// case; Windows drops trailing dots and blanks from the share's name.
bool OnPipeOrMailslotShare(std::string_view path, CharacterLength lengthOf) {
  std::string_view rest;
  if (StartsAsVerbatimShare(path))
    rest = path.substr(8);
  else if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]))
    rest = path.substr(2);
  else
    return false;
  const auto hostEnd = names::FindFirstOf(rest, "\\/", lengthOf);
  if (hostEnd == std::string_view::npos) return false;
  std::string_view share = rest.substr(hostEnd);
  while (!share.empty() && IsSeparator(share.front())) share.remove_prefix(1);
  share = share.substr(0, names::FindFirstOf(share, "\\/", lengthOf));
  while (!share.empty() && (share.back() == '.' || share.back() == ' ')) share.remove_suffix(1);
  return SameLetters(share, "PIPE") || SameLetters(share, "MAILSLOT");
}

}  // namespace

bool IsDeviceName(std::string_view name, CharacterLength lengthOf) {
  // No second byte of a code page is a colon, a full stop or a blank: these
  // are characters wherever they stand.
  while (!name.empty() && name.back() == ':') name.remove_suffix(1);
  std::string_view stem = name.substr(0, names::FindFirstOf(name, ".", lengthOf));
  if (!stem.empty() && stem.back() == ':') stem.remove_suffix(1);
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  constexpr std::string_view kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  if (std::any_of(std::begin(kDevices), std::end(kDevices),
                  [stem](std::string_view device) { return SameLetters(stem, device); }))
    return true;
  if (stem.size() != 4 ||
      !(SameLetters(stem.substr(0, 3), "COM") || SameLetters(stem.substr(0, 3), "LPT")))
    return false;
  // Digits 1-9, and the superscripts 1, 2 and 3 of the ANSI code page.
  const char digit = stem[3];
  return (digit >= '1' && digit <= '9') || digit == '\xB9' || digit == '\xB2' || digit == '\xB3';
}

bool NamesNoDiskFile(std::string_view path, CharacterLength lengthOf) {
  return IsDeviceName(LastComponent(path, lengthOf), lengthOf) || InDeviceNamespace(path) ||
         OnPipeOrMailslotShare(path, lengthOf);
}

bool IsPlainFileName(std::string_view name, CharacterLength lengthOf) {
  if (name.empty() || name.back() == '.' || name.back() == ' ') return false;
  constexpr std::string_view kForbidden =
      "<>:\"/\\|?*\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x0D\x0E\x0F"
      "\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19\x1A\x1B\x1C\x1D\x1E\x1F";
  if (name.find('\0') != std::string_view::npos ||
      names::FindFirstOf(name, kForbidden, lengthOf) != std::string_view::npos)
    return false;
  return !IsDeviceName(name, lengthOf);
}

}  // namespace platform::windows_names
