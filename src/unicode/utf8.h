// Well-formed UTF-8, as RFC 3629 has it: no overlong forms, no surrogates,
// nothing past U+10FFFF. The one codec of the program and its tests.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace unicode {

// How many bytes the character that `lead` starts has; 0 when no
// well-formed character starts with it.
constexpr std::size_t Utf8Length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// The length of the well-formed character that `text` starts with, and its
// code point; 0 when the bytes there are not one.
inline std::size_t DecodeUtf8(std::string_view text, char32_t& codePoint) {
  if (text.empty()) return 0;
  const auto byte = [&text](std::size_t index) { return static_cast<unsigned char>(text[index]); };
  const unsigned char lead = byte(0);
  const std::size_t length = Utf8Length(lead);
  if (length == 0 || text.size() < length) return 0;
  if (length == 1) {
    codePoint = lead;
    return 1;
  }
  // The second byte's range rules out overlong forms, surrogates and values
  // past U+10FFFF.
  const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
  const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
  if (byte(1) < low || byte(1) > high) return 0;
  codePoint = lead & (0x7F >> length);
  for (std::size_t index = 1; index < length; ++index) {
    if ((byte(index) & 0xC0) != 0x80) return 0;
    codePoint = codePoint << 6 | (byte(index) & 0x3F);
  }
  return length;
}

// Appends the UTF-8 form of `codePoint`, a Unicode scalar value.
inline void AppendUtf8(std::string& text, char32_t codePoint) {
  const auto put = [&text](char32_t bits) { text += static_cast<char>(bits); };
  if (codePoint < 0x80) {
    put(codePoint);
  } else if (codePoint < 0x800) {
    put(0xC0 | codePoint >> 6);
    put(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    put(0xE0 | codePoint >> 12);
    put(0x80 | (codePoint >> 6 & 0x3F));
    put(0x80 | (codePoint & 0x3F));
  } else {
    put(0xF0 | codePoint >> 18);
    put(0x80 | (codePoint >> 12 & 0x3F));
    put(0x80 | (codePoint >> 6 & 0x3F));
    put(0x80 | (codePoint & 0x3F));
  }
}

}  // namespace unicode
