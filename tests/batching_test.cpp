// Images around the batch size, through both ways of moving blocks: real files
// (file descriptors) and in-memory streams (the portable stdio way).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cli/block_io.h"
#include "cli/conversion.h"
#include "cli/driver.h"
#include "tests/fake_stream.h"
#include "tests/numbered_image.h"
#include "tests/test_support.h"

namespace varnel {
namespace {

using test::Bytes;
using test::expect_numbered_records;
using test::numbered_image;

const std::size_t kBlockCounts[] = {
    0,                     // nothing to read at all
    1,                     // one short batch
    kBatchBlocks,          // a batch that ends exactly at the end of the image
    kBatchBlocks + 1,      // a last batch of a single block
    2 * kBatchBlocks + 3,  // a last batch shorter than the others
};

static_assert(kBatchBlocks == 256,
              "the hand-worked boundary records assume 256");

TEST(Batching, RealFiles) {
  for (const std::size_t blocks : kBlockCounts) {
    SCOPED_TRACE(std::to_string(blocks) + " blocks");
    const test::ScratchDir dir;
    const Bytes image = numbered_image(blocks);
    test::write_file(dir / "in.fls", image);
    const test::RunResult run =
        test::run_binary({"0", "in.fls", "out.hy"}, dir.path);
    EXPECT_EQ(run.out, test::banner_then("Output written to \"out.hy\".\n\n"));
    expect_numbered_records(test::read_file(dir / "out.hy"), blocks);
  }
}

TEST(Batching, Streams) {
  VARNEL_SKIP_ON_WINDOWS(
      "in-memory streams are made with fopencookie, which only glibc has");
  for (const std::size_t blocks : kBlockCounts) {
    SCOPED_TRACE(std::to_string(blocks) + " blocks");
    test::FakeFile src{.data = numbered_image(blocks)};
    test::FakeFile dst;
    std::FILE* records = test::open_fake(dst, "wb");
    ASSERT_EQ(convert_files(test::open_fake(src, "rb"), records, 0,
                            allocate_records(kBatchBytes).records),
              Outcome::converted);
    ASSERT_EQ(std::fclose(records), 0);
    expect_numbered_records(dst.data, blocks);
  }
}

}  // namespace
}  // namespace varnel
