// The record header against records worked out by hand.
#include "records/record_header.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "records/record_reader.h"
#include "tests/test_support.h"

namespace varnel {
namespace {

using test::block_filled;
using test::block_with;
using test::Bytes;

struct HeaderCase {
  std::string why;
  std::uint32_t start_address;
  std::uint64_t offset;
  Bytes data;
  RecordHeader expected;
};

TEST(RecordHeader, MatchesRecordsWorkedByHand) {
  const HeaderCase cases[] = {
      {"all 0xFF sums to a multiple of 256: data checksum 0",
       0x270000,
       0,
       block_filled(0xFF),
       {0x0B, 0x27, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0xB8}},
      // 0xD4 would mean the record type was summed too.
      {"all zero at 0: header checksum is 0x20 complemented",
       0,
       0,
       block_filled(0x00),
       {0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0xDF}},
      {"a single 0x01 in the first byte",
       0x270000,
       0x2000,
       block_with({{0, 0x01}}),
       {0x0B, 0x27, 0x20, 0x00, 0xFF, 0x00, 0x20, 0x00, 0x99}},
      {"bits 31..24 of the address are dropped",
       0x12345678,
       0,
       block_with({{100, 0x12}, {200, 0x34}}),
       {0x0B, 0x34, 0x56, 0x78, 0xBA, 0x00, 0x20, 0x00, 0x23}},
      {"start + offset carries into bit 24, which is dropped",
       0xFFF000,
       0x2000,
       block_filled(0x00),
       {0x0B, 0x00, 0x10, 0x00, 0x00, 0x00, 0x20, 0x00, 0xCF}},
      // Catches a checksum loop that stops one byte short.
      {"a single 0x01 in the last byte",
       0,
       0,
       block_with({{8191, 0x01}}),
       {0x0B, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x20, 0x00, 0xE0}},
      {"a start above 0xFFFFFF acts as its low 24 bits",
       0xAB270000,
       0,
       block_filled(0xFF),
       {0x0B, 0x27, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0xB8}},
      // 0xFFFFFFFF + 0x2000 wraps in 32 bits to 0x1FFF.
      {"the 32-bit sum wraps past 0xFFFFFFFF",
       0xFFFFFFFF,
       0x2000,
       block_filled(0x00),
       {0x0B, 0x00, 0x1F, 0xFF, 0x00, 0x00, 0x20, 0x00, 0xC1}},
      // Offsets past 4 GiB: 0x270000 + 0x100002000 keeps 0x272000.
      {"an offset beyond 32 bits",
       0x270000,
       0x100002000ULL,
       block_with({{8191, 0x5A}}),
       {0x0B, 0x27, 0x20, 0x00, 0xA6, 0x00, 0x20, 0x00, 0xF2}},
  };
  for (const HeaderCase& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(build_record_header(c.start_address, c.offset, c.data),
              c.expected);
  }
}

// Every byte from 0x00 to 0xFF once, 32 times over: the sum is 32 * 0x7F80,
// a multiple of 256. Adding 0x37 to one byte leaves a checksum of 0xC9.
TEST(RecordHeader, DataChecksumCancelsTheSumOfTheData) {
  Bytes data(8192);
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<std::uint8_t>(i);
  }
  EXPECT_EQ(data_checksum(data), 0x00);
  data[4321] = static_cast<std::uint8_t>(data[4321] + 0x37);
  EXPECT_EQ(data_checksum(data), 0xC9);
}

TEST(RecordHeader, LengthFieldIsTheDataLength) {
  // 3 bytes of 0x01: checksum 0xFD, length 00 00 03; bytes 1..7 sum to
  // 0xFD + 0x03 = 0x100, so the header checksum is 0xFF.
  const Bytes data{0x01, 0x01, 0x01};
  const RecordHeader expected{0x0B, 0x00, 0x00, 0x00, 0xFD,
                              0x00, 0x00, 0x03, 0xFF};
  EXPECT_EQ(build_record_header(0, 0, data), expected);
}

// What marks a file as a record file, for the commands that must not replace
// one (or must replace nothing else): its first 9 bytes, a header of any
// length whose checksum holds. The worked headers of the format, headers of
// other lengths, and each broken in one way.
TEST(RecordHeader, BeginsWithARecordHeader) {
  const struct {
    std::string why;
    Bytes bytes;
    bool header;
  } cases[] = {
      {"270000, all FF",
       {0x0B, 0x27, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0xB8},
       true},
      {"000000, all 00",
       {0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0xDF},
       true},
      {"272000, first byte 01",
       {0x0B, 0x27, 0x20, 0x00, 0xFF, 0x00, 0x20, 0x00, 0x99},
       true},
      {"345678 and data after it",
       {0x0B, 0x34, 0x56, 0x78, 0xBA, 0x00, 0x20, 0x00, 0x23, 0x12, 0x34},
       true},
      {"001000", {0x0B, 0x00, 0x10, 0x00, 0x00, 0x00, 0x20, 0x00, 0xCF}, true},
      // Length 001000: bytes 1 to 7 sum to 10, the checksum is EF.
      {"a length of 4096",
       {0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0xEF},
       true},
      // 16 data bytes of 01 at 123456: data checksum F0; bytes 1 to 7 sum to
      // 12 + 34 + 56 + F0 + 10 = 19C, the checksum is 63.
      {"a length of 16",
       {0x0B, 0x12, 0x34, 0x56, 0xF0, 0x00, 0x00, 0x10, 0x63},
       true},
      // Length FFFFFF: bytes 1 to 7 sum to 2FD, the checksum is 02.
      {"the longest length",
       {0x0B, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x02},
       true},
      // Length 0: bytes 1 to 7 sum to 0, the checksum is FF.
      {"a length of 0",
       {0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF},
       true},
      {"the header checksum one off",
       {0x0B, 0x00, 0x10, 0x00, 0x00, 0x00, 0x20, 0x00, 0xD0},
       false},
      {"a length of 16, the checksum one off",
       {0x0B, 0x12, 0x34, 0x56, 0xF0, 0x00, 0x00, 0x10, 0x64},
       false},
      {"record type 0A",
       {0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0xDF},
       false},
      {"record type 0C",
       {0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0xDF},
       false},
      {"8 bytes", {0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00}, false},
      {"nothing", {}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(begins_with_record_header(c.bytes), c.header);
  }
}

}  // namespace
}  // namespace varnel
