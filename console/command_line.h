// The arguments both commands are started with, and the hexadecimal digits
// both read in them (varnel's start address, varnel-check's --fill).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace varnel {

// The command line without the program name. argc can be 0 when a caller
// execs with an empty argument vector: that is no arguments.
[[nodiscard]] inline std::span<const char* const> arguments_of(int argc,
                                                               char** argv) {
  if (argc <= 1) {
    return {};
  }
  return {argv + 1, static_cast<std::size_t>(argc - 1)};
}

// The value of one hexadecimal digit, either case, or nothing. Written out
// with ASCII ranges so that no locale and no byte of 0x80 or above can slip
// through.
[[nodiscard]] inline std::optional<std::uint8_t> hex_digit_value(char c) {
  if (c >= '0' && c <= '9') {
    return static_cast<std::uint8_t>(c - '0');
  }
  if (c >= 'A' && c <= 'F') {
    return static_cast<std::uint8_t>(c - 'A' + 10);
  }
  if (c >= 'a' && c <= 'f') {
    return static_cast<std::uint8_t>(c - 'a' + 10);
  }
  return std::nullopt;
}

}  // namespace varnel
