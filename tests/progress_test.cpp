// The text of the progress line, worked out by hand.
#include "console/progress.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace varnel {
namespace {

TEST(Progress, ByteCounts) {
  const struct {
    double bytes;
    std::string text;
  } cases[] = {
      {0, "0 B"},
      {1023, "1023 B"},
      {1024, "1.0 KiB"},
      {1536, "1.5 KiB"},
      // 1023.5 KiB stays in KiB; 1048530 bytes are 1023.955 KiB, which
      // would round to 1024.0 KiB, so they are 1.0 MiB.
      {1048064, "1023.5 KiB"},
      {1048530, "1.0 MiB"},
      {8589934592.0, "8.0 GiB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(byte_count(c.bytes), c.text);
  }
}

TEST(Progress, Lines) {
  const struct {
    std::string why;
    std::uint64_t done;
    std::optional<std::uint64_t> total;
    double seconds;
    std::string text;
  } cases[] = {
      // 1.2 GiB is 1288490188.8 bytes: 15.0000000023 % of 8 GiB, and in 3 s
      // 409.6 MiB/s.
      {"a conversion under way", 1288490189, 8589934592, 3.0,
       "  1.2 GiB of 8.0 GiB  15%  410 MiB/s"},
      {"the percentage is never rounded up", 8589934591, 8589934592, 2.0,
       "  8.0 GiB of 8.0 GiB  99%  4 GiB/s"},
      {"done", 16384, 16384, 2.0, "  16.0 KiB of 16.0 KiB  100%  8 KiB/s"},
      // 3 MiB in 4 s: 768 KiB/s.
      {"a total that cannot be told", 3145728, std::nullopt, 4.0,
       "  3.0 MiB  768 KiB/s"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(progress_text(c.done, c.total, c.seconds), c.text);
  }
}

// A stream that is no terminal gets nothing at all, however long the run.
TEST(Progress, NothingButOnATerminal) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  Progress progress = start_progress(file, 1000);
  EXPECT_EQ(progress.terminal, nullptr);
  progress.started -= std::chrono::seconds(10);  // as if long under way
  show_progress(progress, 500);
  clear_progress(progress);
  EXPECT_EQ(std::ftell(file), 0L);
  std::fclose(file);
}

}  // namespace
}  // namespace varnel
