#include "records/record_header.h"

#include <cstddef>

namespace varnel {
namespace {

// Three bytes, most significant first.
void put_be24(RecordHeader& header, std::size_t at, std::uint32_t value) {
  header[at] = static_cast<std::uint8_t>(value >> 16);
  header[at + 1] = static_cast<std::uint8_t>(value >> 8);
  header[at + 2] = static_cast<std::uint8_t>(value);
}

}  // namespace

std::uint8_t data_checksum(std::span<const std::uint8_t> data) {
  // A plain sum in a wide accumulator has no byte-to-byte dependency on the
  // 8-bit wrap, so the compiler can vectorize it; the low byte is all we keep.
  std::uint32_t sum = 0;
  for (const std::uint8_t byte : data) {
    sum += byte;
  }
  return static_cast<std::uint8_t>(0U - sum);
}

RecordHeader build_record_header(std::uint32_t start_address,
                                 std::uint64_t offset,
                                 std::span<const std::uint8_t> data) {
  RecordHeader header{};
  header[kTypeAt] = kRecordType;
  put_be24(header, kAddressAt,
           static_cast<std::uint32_t>(start_address + offset) & kField24Mask);
  header[kDataChecksumAt] = data_checksum(data);
  put_be24(header, kLengthAt,
           static_cast<std::uint32_t>(data.size()) & kField24Mask);

  // The record type stays out of the sum: bytes 1 to 7 only.
  unsigned sum = 0;
  for (std::size_t i = kAddressAt; i < kHeaderChecksumAt; ++i) {
    sum += header[i];
  }
  header[kHeaderChecksumAt] = static_cast<std::uint8_t>(~sum);
  return header;
}

}  // namespace varnel
