#include "records/record_reader.h"

#include <algorithm>
#include <cstddef>

namespace varnel {
namespace {

std::uint32_t get_be24(const RecordHeader& header, std::size_t at) {
  return static_cast<std::uint32_t>(header[at]) << 16 |
         static_cast<std::uint32_t>(header[at + 1]) << 8 | header[at + 2];
}

}  // namespace

ParsedHeader parse_record_header(const RecordHeader& header) {
  ParsedHeader parsed;
  parsed.fields.address = get_be24(header, kAddressAt);
  parsed.fields.length = get_be24(header, kLengthAt);
  parsed.fields.data_checksum = header[kDataChecksumAt];
  if (header[kTypeAt] != kRecordType) {
    parsed.fault = HeaderFault::record_type;
  } else if (header[kHeaderChecksumAt] != header_checksum(header)) {
    parsed.fault = HeaderFault::header_checksum;
  } else if (parsed.fields.length == 0) {
    parsed.fault = HeaderFault::length;
  }
  return parsed;
}

bool data_sum_matches(const RecordFields& fields, std::uint8_t sum) {
  return static_cast<std::uint8_t>(sum + fields.data_checksum) == 0;
}

bool begins_with_record_header(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kHeaderSize) {
    return false;
  }
  RecordHeader header{};
  std::copy_n(bytes.begin(), kHeaderSize, header.begin());
  const HeaderFault fault = parse_record_header(header).fault;
  return fault != HeaderFault::record_type &&
         fault != HeaderFault::header_checksum;
}

}  // namespace varnel
