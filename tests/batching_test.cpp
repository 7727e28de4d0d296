// Images around the batch size, through both ways of moving blocks: real files
// (file descriptors) and in-memory streams (the portable stdio way).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cli/conversion.h"
#include "cli/driver.h"
#include "tests/fake_stream.h"
#include "tests/test_support.h"

namespace varnel {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

// Block k is zero but for its first byte (k's low byte) and its last byte
// (k's next byte), so that every record differs from its neighbours.
Bytes numbered_image(std::size_t blocks) {
  Bytes image(blocks * 8192, 0);
  for (std::size_t k = 0; k < blocks; ++k) {
    image[k * 8192] = static_cast<std::uint8_t>(k);
    image[k * 8192 + 8191] = static_cast<std::uint8_t>(k >> 8);
  }
  return image;
}

// Checks every record of a numbered image converted at address 0 by the
// rules of the format: type, address, length, both checksum sums, the data.
void expect_numbered_records(const Bytes& records, std::size_t blocks) {
  ASSERT_EQ(records.size(), blocks * 8201);
  for (std::size_t k = 0; k < blocks; ++k) {
    SCOPED_TRACE("record " + std::to_string(k));
    const std::uint8_t* record = records.data() + k * 8201;
    const std::uint32_t address = static_cast<std::uint32_t>(k * 0x2000) & 0xFFFFFF;
    ASSERT_EQ(record[0], 0x0B);
    ASSERT_EQ(record[1], address >> 16);
    ASSERT_EQ(record[2], (address >> 8) & 0xFF);
    ASSERT_EQ(record[3], address & 0xFF);
    ASSERT_EQ(record[5], 0x00);
    ASSERT_EQ(record[6], 0x20);
    ASSERT_EQ(record[7], 0x00);
    unsigned header_sum = 0;
    for (int i = 1; i <= 8; ++i) header_sum += record[i];
    ASSERT_EQ(header_sum % 256, 0xFFU);
    ASSERT_EQ((record[4] + record[9] + record[9 + 8191]) % 256, 0U);
    ASSERT_EQ(record[9], static_cast<std::uint8_t>(k));
    ASSERT_EQ(record[9 + 8191], static_cast<std::uint8_t>(k >> 8));
    for (std::size_t i = 1; i < 8191; ++i) ASSERT_EQ(record[9 + i], 0) << i;
  }
  // The records on either side of the first batch boundary, worked by hand:
  // block 255 at 0x1FE000 holds FF..00, block 256 at 0x200000 holds 00..01.
  if (blocks > kBatchBlocks) {
    const Bytes last_of_first(records.begin() + 255 * 8201, records.begin() + 255 * 8201 + 9);
    const Bytes first_of_second(records.begin() + 256 * 8201, records.begin() + 256 * 8201 + 9);
    EXPECT_EQ(last_of_first, (Bytes{0x0B, 0x1F, 0xE0, 0x00, 0x01, 0x00, 0x20, 0x00, 0xDF}));
    EXPECT_EQ(first_of_second, (Bytes{0x0B, 0x20, 0x00, 0x00, 0xFF, 0x00, 0x20, 0x00, 0xC0}));
  }
}

const std::size_t kBlockCounts[] = {
    0,                     // nothing to read at all
    1,                     // one short batch
    kBatchBlocks,          // a batch that ends exactly at the end of the image
    kBatchBlocks + 1,      // a last batch of a single block
    2 * kBatchBlocks + 3,  // a last batch shorter than the others
};

static_assert(kBatchBlocks == 256, "the hand-worked boundary records assume 256");

TEST(Batching, RealFiles) {
  for (const std::size_t blocks : kBlockCounts) {
    SCOPED_TRACE(std::to_string(blocks) + " blocks");
    const test::ScratchDir dir;
    const Bytes image = numbered_image(blocks);
    test::write_file(dir / "in.fls", image);
    const test::RunResult run = test::run_binary({"0", "in.fls", "out.hy"}, dir.path);
    EXPECT_EQ(run.out, test::banner_then("Output written to \"out.hy\".\n\n"));
    expect_numbered_records(test::read_file(dir / "out.hy"), blocks);
  }
}

TEST(Batching, Streams) {
  for (const std::size_t blocks : kBlockCounts) {
    SCOPED_TRACE(std::to_string(blocks) + " blocks");
    test::FakeFile src{.data = numbered_image(blocks)};
    test::FakeFile dst;
    ASSERT_EQ(convert_files(test::open_fake(src, "rb"), test::open_fake(dst, "wb"), 0),
              Outcome::converted);
    expect_numbered_records(dst.data, blocks);
  }
}

}  // namespace
}  // namespace varnel
