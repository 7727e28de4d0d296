#include "check/quoting.h"

#include <cstddef>
#include <cstdint>

namespace varnel {
namespace {

// The bytes that C writes as a backslash and a letter (or themselves).
char escape_letter(unsigned char byte) {
  switch (byte) {
    case '\a':
      return 'a';
    case '\b':
      return 'b';
    case '\t':
      return 't';
    case '\n':
      return 'n';
    case '\v':
      return 'v';
    case '\f':
      return 'f';
    case '\r':
      return 'r';
    case '\\':
      return '\\';
    case '"':
      return '"';
    default:
      return '\0';
  }
}

// A backslash and the byte's three octal digits, as `ls -b` writes it.
void append_octal(std::string& out, unsigned char byte) {
  out += '\\';
  out += static_cast<char>('0' + (byte >> 6));
  out += static_cast<char>('0' + ((byte >> 3) & 7));
  out += static_cast<char>('0' + (byte & 7));
}

// The length of the character that `text` starts with, when it is one that a
// terminal prints: 0 for a control (C0, DEL, or C1, which some terminals act
// on as ESC), and for a byte that does not start well-formed UTF-8 (an
// overlong form, a surrogate, past U+10FFFF, cut short).
std::size_t printable_length(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text.front());
  if (lead < 0x80) {
    return lead >= 0x20 && lead != 0x7F ? 1 : 0;
  }
  std::size_t length = 0;
  std::uint32_t code = 0;
  std::uint32_t lowest = 0;
  if ((lead & 0xE0U) == 0xC0U) {
    length = 2;
    code = lead & 0x1FU;
    lowest = 0x80;
  } else if ((lead & 0xF0U) == 0xE0U) {
    length = 3;
    code = lead & 0x0FU;
    lowest = 0x800;
  } else if ((lead & 0xF8U) == 0xF0U) {
    length = 4;
    code = lead & 0x07U;
    lowest = 0x10000;
  } else {
    return 0;  // a continuation byte alone, or no UTF-8 lead at all
  }
  if (text.size() < length) {
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[i]);
    if ((next & 0xC0U) != 0x80U) {
      return 0;
    }
    code = (code << 6) | (next & 0x3FU);
  }
  const bool c1_control = code <= 0x9F;
  const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
  if (code < lowest || c1_control || surrogate || code > 0x10FFFF) {
    return 0;
  }
  return length;
}

}  // namespace

std::string escaped(std::string_view text) {
  std::string out;
  while (!text.empty()) {
    const auto byte = static_cast<unsigned char>(text.front());
    const char letter = escape_letter(byte);
    const std::size_t length = letter != '\0' ? 0 : printable_length(text);
    if (letter != '\0') {
      out += '\\';
      out += letter;
    } else if (length == 0) {
      append_octal(out, byte);
    } else {
      out.append(text.substr(0, length));
    }
    text.remove_prefix(length == 0 ? 1 : length);
  }
  return out;
}

std::string quoted(std::string_view text) { return '"' + escaped(text) + '"'; }

}  // namespace varnel
