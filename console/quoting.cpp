#include "console/quoting.h"

#include <cstddef>

#include "files/utf8.h"

namespace varnel {
namespace {

// The control bytes that C writes as a backslash and a letter.
char control_letter(unsigned char byte) {
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
    default:
      return '\0';
  }
}

bool is_control(unsigned char byte) { return byte < 0x20 || byte == 0x7F; }

// A control byte as C writes it: a backslash and a letter, or a backslash
// and the byte's three octal digits, as `ls -b` writes it; every other byte
// too in the octal form.
void append_escape(std::string& out, unsigned char byte) {
  out += '\\';
  if (const char letter = control_letter(byte); letter != '\0') {
    out += letter;
    return;
  }
  out += static_cast<char>('0' + (byte >> 6U));
  out += static_cast<char>('0' + ((byte >> 3U) & 7U));
  out += static_cast<char>('0' + (byte & 7U));
}

// The length of the character that `text` starts with, when it is one that a
// terminal prints: 0 for a control (C0, DEL, or C1, which some terminals act
// on as ESC), and for a byte that does not start well-formed UTF-8.
std::size_t printable_length(std::string_view text) {
  const Utf8Character character = first_utf8_character(text);
  const bool control = character.code < 0x20 ||
                       (character.code >= 0x7F && character.code <= 0x9F);
  return control ? 0 : character.length;
}

}  // namespace

std::string escaped(std::string_view text) {
  std::string out;
  while (!text.empty()) {
    const auto byte = static_cast<unsigned char>(text.front());
    const std::size_t length = printable_length(text);
    if (byte == '\\' || byte == '"') {
      out += '\\';
      out += static_cast<char>(byte);
    } else if (length == 0) {
      append_escape(out, byte);
    } else {
      out.append(text.substr(0, length));
    }
    text.remove_prefix(length == 0 ? 1 : length);
  }
  return out;
}

std::string quoted(std::string_view text) { return '"' + escaped(text) + '"'; }

std::string controls_escaped(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (is_control(byte)) {
      append_escape(out, byte);
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace varnel
