#include "tests/numbered_image.h"

#include <gtest/gtest.h>

#include <string>

namespace varnel::test {

Bytes numbered_image(std::size_t blocks) {
  Bytes image(blocks * 8192, 0);
  for (std::size_t k = 0; k < blocks; ++k) {
    image[k * 8192] = static_cast<std::uint8_t>(k);
    image[k * 8192 + 8191] = static_cast<std::uint8_t>(k >> 8);
  }
  return image;
}

void convert(const std::string& start, const std::string& image,
             const std::string& records, const ScratchDir& dir) {
  const RunResult run = run_binary({start, image, records}, dir.path);
  ASSERT_EQ(run.out, banner_then("Output written to \"" + records + "\".\n\n"));
}

void make_records(const std::string& start, std::size_t blocks,
                  const std::string& records, const ScratchDir& dir) {
  const bool made = !std::filesystem::exists(dir / records);
  write_file(dir / "in.fls", numbered_image(blocks));
  convert(start, "in.fls", records, dir);
  // Readable by every user, as write_file's files: varnel made it under the
  // caller's umask.
  if (made) {
    std::filesystem::permissions(dir / records,
                                 std::filesystem::perms::owner_read |
                                     std::filesystem::perms::owner_write |
                                     std::filesystem::perms::group_read |
                                     std::filesystem::perms::others_read,
                                 std::filesystem::perm_options::replace);
  }
}

void expect_numbered_records(const Bytes& records, std::size_t blocks) {
  ASSERT_EQ(records.size(), blocks * 8201);
  for (std::size_t k = 0; k < blocks; ++k) {
    SCOPED_TRACE("record " + std::to_string(k));
    const std::uint8_t* record = records.data() + k * 8201;
    const std::uint32_t address =
        static_cast<std::uint32_t>(k * 0x2000) & 0xFFFFFF;
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
  if (blocks > 256) {
    const Bytes last_of_first(records.begin() + 255 * 8201,
                              records.begin() + 255 * 8201 + 9);
    const Bytes first_of_second(records.begin() + 256 * 8201,
                                records.begin() + 256 * 8201 + 9);
    EXPECT_EQ(last_of_first,
              (Bytes{0x0B, 0x1F, 0xE0, 0x00, 0x01, 0x00, 0x20, 0x00, 0xDF}));
    EXPECT_EQ(first_of_second,
              (Bytes{0x0B, 0x20, 0x00, 0x00, 0xFF, 0x00, 0x20, 0x00, 0xC0}));
  }
}

}  // namespace varnel::test
