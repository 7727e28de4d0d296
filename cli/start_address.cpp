#include "cli/start_address.h"

#include <algorithm>
#include <initializer_list>

#include "console/command_line.h"
#include "files/utf8.h"

namespace varnel {
namespace {

// Where the first byte of `text` that is no hexadecimal digit stands; npos
// for none.
std::size_t first_non_digit(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!hex_digit_value(text[i])) {
      return i;
    }
  }
  return std::string_view::npos;
}

// `text` without the blanks around it.
std::string_view trimmed(std::string_view text) {
  constexpr std::string_view kBlanks = " \t";
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// The digits of a hexadecimal number written in one of the usual other ways;
// empty when `text` is none of them.
std::string_view usual_digits(std::string_view text) {
  std::string_view digits = trimmed(text);
  bool prefixed = false;
  for (const std::string_view prefix : {"0x", "0X", "$", "#"}) {
    if (!prefixed && digits.starts_with(prefix)) {
      digits.remove_prefix(prefix.size());
      prefixed = true;
    }
  }
  if (!prefixed && (digits.ends_with('h') || digits.ends_with('H'))) {
    digits.remove_suffix(1);
  }
  if (digits.empty() || first_non_digit(digits) != std::string_view::npos) {
    return {};
  }
  return digits;
}

}  // namespace

std::optional<std::uint32_t> parse_start_address(std::string_view text) {
  std::uint32_t value = 0;
  for (const char c : text) {
    const std::optional<std::uint8_t> digit = hex_digit_value(c);
    if (!digit) {
      return std::nullopt;
    }
    // Digits beyond the last eight are shifted out of the 32-bit value.
    value = (value << 4) | *digit;
  }
  return value;
}

AddressSlip address_slip(std::string_view text) {
  const std::size_t wrong = first_non_digit(text);
  if (wrong == std::string_view::npos) {
    return {};
  }
  const std::string_view rest = text.substr(wrong);
  const std::size_t length =
      std::max<std::size_t>(first_utf8_character(rest).length, 1);
  return {rest.substr(0, length), usual_digits(text)};
}

}  // namespace varnel
