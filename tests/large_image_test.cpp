// An image past 4 GiB: its size does not fit 32 bits, nor does the offset of
// its last blocks. Made sparse, so it costs little disk until converted.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/test_support.h"

namespace varnel {
namespace {

namespace fs = std::filesystem;

TEST(LargeImage, ConvertsAnImagePast4GiB) {
  constexpr std::uint64_t kBlocks =
      (std::uint64_t{1} << 32) / 8192 + 2;  // 524290
  const test::ScratchDir dir;
  // The record file, and a little for the sparse image's last block.
  if (const auto why = test::no_room_in(dir, kBlocks * 8201 + (1 << 20),
                                        "the record file of 4.3 GB");
      why) {
    GTEST_SKIP() << *why;
  }
  const fs::path image = dir / "big.fls";
  {
    std::ofstream file(image, std::ios::binary);
    ASSERT_TRUE(file);
  }
  fs::resize_file(image, kBlocks * 8192);
  {
    // A mark in the last byte, so the last record's checksum is not 0.
    std::fstream file(image, std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(static_cast<std::streamoff>(kBlocks * 8192 - 1));
    file.put(0x5A);
    ASSERT_TRUE(file.flush());
  }

  const test::RunResult run =
      test::run_binary({"270000", "big.fls", "big.hy"}, dir.path);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.out, test::banner_then("Output written to \"big.hy\".\n\n"));
  EXPECT_EQ(run.err, "");
  const fs::path records = dir / "big.hy";
  ASSERT_EQ(fs::file_size(records), kBlocks * 8201);  // 4299702290 bytes

  // The last block sits at offset 0x100002000; 0x270000 + that keeps 0x272000.
  // Data checksum 0x100 - 0x5A = 0xA6; bytes 1..7 sum to 0x10D, so 0xF2.
  std::ifstream file(records, std::ios::binary);
  file.seekg(static_cast<std::streamoff>((kBlocks - 1) * 8201));
  test::Bytes last(8201);
  ASSERT_TRUE(file.read(reinterpret_cast<char*>(last.data()), 8201));
  EXPECT_EQ(last, test::concat(
                      {{0x0B, 0x27, 0x20, 0x00, 0xA6, 0x00, 0x20, 0x00, 0xF2},
                       test::block_with({{8191, 0x5A}})}));
  EXPECT_EQ(file.peek(), std::ifstream::traits_type::eof());
}

}  // namespace
}  // namespace varnel
