#include "files/argument_path.h"

#include <cstddef>
#include <type_traits>

namespace varnel {

namespace fs = std::filesystem;

bool is_utf8(std::u8string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    char32_t low = 0;  // the smallest code point this length may encode
    if (lead < 0x80) {
      ++i;
      continue;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      low = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      low = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      low = 0x10000;
    } else {
      return false;  // a continuation byte, or a lead that is never valid
    }
    if (text.size() - i < length) {
      return false;
    }
    char32_t code = lead & (0x7FU >> length);
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0U) != 0x80U) {
        return false;
      }
      code = code << 6 | (next & 0x3FU);
    }
    if (code < low || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

fs::path path_from_argument(const char* name) {
  const std::u8string_view utf8(reinterpret_cast<const char8_t*>(name));
  // Converting to the wide paths of Windows cannot take malformed UTF-8; on
  // POSIX systems the bytes are copied as they are.
  if constexpr (std::is_same_v<fs::path::value_type, wchar_t>) {
    if (!is_utf8(utf8)) {
      return {};
    }
  }
  return fs::path(utf8);
}

}  // namespace varnel
