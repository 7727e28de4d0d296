#include "records/record_header.h"

#include <cstddef>
#include <numeric>

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
  // Only the sum modulo 256 matters, so it is kept in a byte that wraps: the
  // compiler turns this into wide byte-wise vector additions.
  const std::uint8_t sum = std::accumulate(
      data.begin(), data.end(), std::uint8_t{0},
      [](std::uint8_t total, std::uint8_t byte) {
        return static_cast<std::uint8_t>(total + byte);
      });
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
