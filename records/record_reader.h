// Reading record headers back: their fields, and what is wrong with them.
#pragma once

#include <cstdint>
#include <span>

#include "records/record_header.h"

namespace varnel {

// What a header alone can show to be wrong, in the order it is checked.
enum class HeaderFault {
  none,
  record_type,      // byte 0 is not 0x0B
  header_checksum,  // bytes 1 to 8 do not sum to 0xFF
  length,           // the length field is 0
};

struct RecordFields {
  std::uint32_t address = 0;  // 24 bits
  std::uint32_t length = 0;   // 24 bits, 1 to 0xFFFFFF when valid
  std::uint8_t data_checksum = 0;
};

struct ParsedHeader {
  HeaderFault fault = HeaderFault::none;
  RecordFields fields;
};

// The fields of `header`, and the first fault found in it.
[[nodiscard]] ParsedHeader parse_record_header(const RecordHeader& header);

// Whether `sum`, the 8-bit sum of a record's data bytes, agrees with the data
// checksum of its header.
[[nodiscard]] bool data_sum_matches(const RecordFields& fields,
                                    std::uint8_t sum);

// Whether `bytes` begin with a record header: record type 0x0B and a header
// checksum that holds, whatever the length. What marks a file as a record
// file, for both commands alike; fewer than 9 bytes never do.
[[nodiscard]] bool begins_with_record_header(
    std::span<const std::uint8_t> bytes);

}  // namespace varnel
