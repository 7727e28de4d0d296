// Reading the start address argument: hexadecimal digits, nothing else.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace varnel {

// The value of `text` read as hexadecimal digits (either case, no prefix, no
// sign, no blanks). The empty text is 0; only the last 8 digits count. Any
// other byte makes the whole text invalid.
[[nodiscard]] std::optional<std::uint32_t> parse_start_address(
    std::string_view text);

// What is wrong with a text that parse_start_address refuses, for a person
// to mend it.
struct AddressSlip {
  // The first character that is not a hexadecimal digit: a whole UTF-8
  // character, or the one byte where there is none.
  std::string_view character;
  // The digits that a usual way of writing a hexadecimal number holds
  // (0x270000, 0X270000, $270000, #270000, 270000h, blanks around them),
  // which varnel takes as they are: 270000. Empty for any other text.
  std::string_view digits;
};

[[nodiscard]] AddressSlip address_slip(std::string_view text);

}  // namespace varnel
