#include "records/record_header.h"

#include <array>
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
  // Only the sum modulo 256 matters, so it is kept in bytes that wrap: 64 of
  // them, each the sum of every 64th byte, which the compiler turns into
  // byte-wise vector additions, several at a time with no wait between them
  // (one running sum makes each addition wait for the one before: a block
  // took twice as long).
  std::array<std::uint8_t, 64> lanes{};
  std::size_t at = 0;
  for (; data.size() - at >= lanes.size(); at += lanes.size()) {
    for (std::size_t lane = 0; lane < lanes.size(); ++lane) {
      lanes[lane] = static_cast<std::uint8_t>(lanes[lane] + data[at + lane]);
    }
  }
  const auto add = [](std::uint8_t total, std::uint8_t byte) {
    return static_cast<std::uint8_t>(total + byte);
  };
  sum = std::accumulate(data.begin() + static_cast<std::ptrdiff_t>(at),
                        data.end(), sum, add);
  return std::accumulate(lanes.begin(), lanes.end(), sum, add);
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
