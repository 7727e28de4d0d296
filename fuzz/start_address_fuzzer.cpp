// The start-address parser against a second, deliberately different reading
// of the same rule: a table of accepted characters, and the value accumulated
// in 64 bits and cut to 32 only at the end.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "cli/start_address.h"

namespace {

std::array<int, 256> digit_table() {
  std::array<int, 256> table{};
  table.fill(-1);
  const std::string_view digits = "0123456789";
  const std::string_view upper = "ABCDEF";
  const std::string_view lower = "abcdef";
  for (std::size_t i = 0; i < digits.size(); ++i) {
    table[static_cast<unsigned char>(digits[i])] = static_cast<int>(i);
  }
  for (std::size_t i = 0; i < upper.size(); ++i) {
    table[static_cast<unsigned char>(upper[i])] = static_cast<int>(10 + i);
    table[static_cast<unsigned char>(lower[i])] = static_cast<int>(10 + i);
  }
  return table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  static const std::array<int, 256> table = digit_table();
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<std::uint32_t> parsed = varnel::parse_start_address(text);

  std::uint64_t value = 0;
  for (std::size_t i = 0; i < size; ++i) {
    const int digit = table[data[i]];
    if (digit < 0) {
      if (parsed) std::abort();  // accepted a text with a stray byte
      return 0;
    }
    value = value * 16 + static_cast<std::uint64_t>(digit);
  }
  if (!parsed || *parsed != static_cast<std::uint32_t>(value & 0xFFFFFFFFU)) {
    std::abort();
  }
  return 0;
}
