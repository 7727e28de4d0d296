// Building the 9-byte header that precedes each data block in a record file.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "records/record_format.h"

namespace varnel {

using RecordHeader = std::array<std::uint8_t, kHeaderSize>;

// `sum` plus every byte of `data`, modulo 256. Lets a long run of data be
// summed a piece at a time.
[[nodiscard]] std::uint8_t byte_sum(std::uint8_t sum,
                                    std::span<const std::uint8_t> data);

// The byte that brings the 8-bit sum of the data bytes to 0.
[[nodiscard]] std::uint8_t data_checksum(std::span<const std::uint8_t> data);

// The byte that brings the sum of header bytes 1 to 8 to 0xFF: the complement
// of the sum of bytes 1 to 7. The record type is not summed.
[[nodiscard]] std::uint8_t header_checksum(const RecordHeader& header);

// The header of the block found at `offset` bytes into an image that starts at
// flash address `start_address`. Only the low 24 bits of start + offset are
// kept; the length field is data.size(), which must fit in 24 bits.
[[nodiscard]] RecordHeader build_record_header(
    std::uint32_t start_address, std::uint64_t offset,
    std::span<const std::uint8_t> data);

}  // namespace varnel
