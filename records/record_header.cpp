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

std::uint8_t byte_sum(std::uint8_t sum, std::span<const std::uint8_t> data) {
  // Only the sum modulo 256 matters, so it is kept in a byte that wraps: the
  // compiler turns this into wide byte-wise vector additions.
  return std::accumulate(data.begin(), data.end(), sum,
                         [](std::uint8_t total, std::uint8_t byte) {
                           return static_cast<std::uint8_t>(total + byte);
                         });
}

std::uint8_t data_checksum(std::span<const std::uint8_t> data) {
  return static_cast<std::uint8_t>(0U - byte_sum(0, data));
}

std::uint8_t header_checksum(const RecordHeader& header) {
  const auto summed =
      std::span(header).subspan(kAddressAt, kHeaderChecksumAt - kAddressAt);
  return static_cast<std::uint8_t>(~byte_sum(0, summed));
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
  header[kHeaderChecksumAt] = header_checksum(header);
  return header;
}

}  // namespace varnel
