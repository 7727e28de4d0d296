// Building the 9-byte header that precedes each data block in a record file.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "records/record_format.h"

namespace varnel {

using RecordHeader = std::array<std::uint8_t, kHeaderSize>;

// The byte that brings the 8-bit sum of the data bytes to 0.
[[nodiscard]] std::uint8_t data_checksum(std::span<const std::uint8_t> data);

// The header of the block found at `offset` bytes into an image that starts at
// flash address `start_address`. Only the low 24 bits of start + offset are kept;
// the length field is data.size(), which must fit in 24 bits.
[[nodiscard]] RecordHeader build_record_header(
    std::uint32_t start_address, std::uint64_t offset,
    std::span<const std::uint8_t> data);

}  // namespace varnel
