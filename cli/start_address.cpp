#include "cli/start_address.h"

namespace varnel {
namespace {

// The value of one hexadecimal digit, or nothing. Written out with ASCII
// ranges so that no locale and no byte of 0x80 or above can slip through.
std::optional<std::uint32_t> hex_digit_value(char c) {
  if (c >= '0' && c <= '9') {
    return static_cast<std::uint32_t>(c - '0');
  }
  if (c >= 'A' && c <= 'F') {
    return static_cast<std::uint32_t>(c - 'A' + 10);
  }
  if (c >= 'a' && c <= 'f') {
    return static_cast<std::uint32_t>(c - 'a' + 10);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::uint32_t> parse_start_address(std::string_view text) {
  std::uint32_t value = 0;
  for (const char c : text) {
    const std::optional<std::uint32_t> digit = hex_digit_value(c);
    if (!digit) {
      return std::nullopt;
    }
    // Digits beyond the last eight are shifted out of the 32-bit value.
    value = (value << 4) | *digit;
  }
  return value;
}

}  // namespace varnel
