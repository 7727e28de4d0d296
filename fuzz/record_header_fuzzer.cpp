// The record header on any start address, offset and data: its fields and the
// two checksum identities the reader of a record file relies on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "records/record_header.h"

namespace {

std::uint64_t take(const std::uint8_t*& data, std::size_t& size,
                   std::size_t bytes) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < bytes && size > 0; ++i, ++data, --size) {
    value = value << 8 | *data;
  }
  return value;
}

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const auto start = static_cast<std::uint32_t>(take(data, size, 4));
  const std::uint64_t offset = take(data, size, 8);
  const std::span<const std::uint8_t> block(data, size);
  const varnel::RecordHeader header =
      varnel::build_record_header(start, offset, block);

  check(header[0] == 0x0B);
  const std::uint32_t address =
      static_cast<std::uint32_t>((start + offset) % 0x1000000);
  check(header[1] == (address >> 16 & 0xFF) &&
        header[2] == (address >> 8 & 0xFF) && header[3] == (address & 0xFF));
  check(header[5] == (size >> 16 & 0xFF) && header[6] == (size >> 8 & 0xFF) &&
        header[7] == (size & 0xFF));

  unsigned data_sum = header[4];
  for (const std::uint8_t byte : block) data_sum += byte;
  check(data_sum % 256 == 0);

  unsigned header_sum = 0;
  for (std::size_t i = 1; i <= 8; ++i) header_sum += header[i];
  check(header_sum % 256 == 0xFF);
  return 0;
}
