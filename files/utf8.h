// UTF-8 read one character at a time: the one decoder of both commands, for
// the names they open (files/) and the names they print (console/). Kept in
// this header alone, so that either may use it without linking the other.
#pragma once

#include <cstddef>
#include <string_view>

namespace varnel {

struct Utf8Character {
  std::size_t length = 0;  // in bytes; 0 when the text starts with none
  char32_t code = 0;
};

// The character that `text` starts with, when it starts with well-formed
// UTF-8: a lead byte and the continuation bytes it calls for, no overlong
// form, no surrogate, nothing above U+10FFFF. Length 0 for anything else,
// a stray continuation byte, one cut short, and the empty text.
[[nodiscard]] constexpr Utf8Character first_utf8_character(
    std::string_view text) {
  if (text.empty()) {
    return {};
  }
  const auto lead = static_cast<unsigned char>(text.front());
  if (lead < 0x80) {
    return {1, lead};
  }
  std::size_t length = 0;
  char32_t lowest = 0;  // the smallest code point this length may encode
  if ((lead & 0xE0U) == 0xC0U) {
    length = 2;
    lowest = 0x80;
  } else if ((lead & 0xF0U) == 0xE0U) {
    length = 3;
    lowest = 0x800;
  } else if ((lead & 0xF8U) == 0xF0U) {
    length = 4;
    lowest = 0x10000;
  } else {
    return {};  // a continuation byte alone, or no lead of UTF-8 at all
  }
  if (text.size() < length) {
    return {};
  }
  char32_t code = lead & (0x7FU >> length);
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[i]);
    if ((next & 0xC0U) != 0x80U) {
      return {};
    }
    code = code << 6U | (next & 0x3FU);
  }
  if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
    return {};
  }
  return {length, code};
}

}  // namespace varnel
