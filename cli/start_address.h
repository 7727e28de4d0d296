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

}  // namespace varnel
