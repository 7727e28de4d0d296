// The progress line: its text worked out by hand, fitted to the terminal,
// and kept apart from rows of output on the same terminal.
#include "console/progress.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

#include "console/terminal.h"
#include "tests/test_support.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace varnel {
namespace {

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;

TEST(Progress, ByteCounts) {
  const struct {
    double bytes;
    std::string text;
  } cases[] = {
      {0, "0 B"},
      {999, "999 B"},
      // Four digits are one unit up: 1000 / 1024 = 0.977 KiB, shown with two
      // decimals; 1023 B are 0.999 KiB, which two decimals round to 1.00, so
      // they are 1.0 KiB.
      {1000, "0.98 KiB"},
      {1023, "1.0 KiB"},
      {1024, "1.0 KiB"},
      {1536, "1.5 KiB"},
      // 1023898 B are 999.900 KiB; 1023949 B are 999.950 KiB, which rounds to
      // 1000.0, so they are 0.9765 MiB.
      {1023898, "999.9 KiB"},
      {1023949, "0.98 MiB"},
      // 1000 MiB are 0.977 GiB, 1018 MiB 0.994 GiB, 1023 MiB 0.999 GiB.
      {1000.0 * kMiB, "0.98 GiB"},
      {1018.0 * kMiB, "0.99 GiB"},
      {1023.0 * kMiB, "1.0 GiB"},
      {8.0 * kGiB, "8.0 GiB"},
      // The largest count there is: 2^64 B are 16 EiB.
      {18446744073709551615.0, "16.0 EiB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(byte_count(c.bytes), c.text);
  }
}

TEST(Progress, Percentages) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const struct {
    std::uint64_t done;
    std::uint64_t total;
    int percent;
  } cases[] = {
      {0, 1, 0},
      {1, 101, 0},  // 0.99 %
      {1, 100, 1},
      {1, 3, 33},
      {2, 3, 66},
      {100, 101, 99},  // 99.01 %
      {8589934591, 8589934592, 99},
      // Where a double would round: (2^63 - 1) / (2^64 - 1) is just below
      // one half, and 2^64 - 2 of 2^64 - 1 just below all.
      {kMax / 2, kMax, 49},
      {kMax - 1, kMax, 99},
      {kMax, kMax, 100},
      // Past the total, as a record file that grows while it is read: all.
      {10, 9, 100},
      {std::uint64_t{1} << 40, 9, 100},
      {kMax, 1, 100},
      {0, 0, 100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.done) + " of " + std::to_string(c.total));
    EXPECT_EQ(percentage(c.done, c.total), c.percent);
  }
}

TEST(Progress, Lines) {
  const struct {
    std::string why;
    std::uint64_t done;
    std::optional<std::uint64_t> total;
    double seconds;
    std::size_t columns;
    std::string text;
  } cases[] = {
      // 1.2 GiB is 1288490188.8 bytes: 15.0000000023 % of 8 GiB, and in 3 s
      // 409.6 MiB/s. The whole line is 36 columns.
      {"a conversion under way", 1288490189, 8 * kGiB, 3.0, 80,
       "  1.2 GiB of 8.0 GiB  15%  410 MiB/s"},
      {"just wide enough", 1288490189, 8 * kGiB, 3.0, 37,
       "  1.2 GiB of 8.0 GiB  15%  410 MiB/s"},
      {"the rate goes first", 1288490189, 8 * kGiB, 3.0, 36,
       "  1.2 GiB of 8.0 GiB  15%"},
      {"then the percentage", 1288490189, 8 * kGiB, 3.0, 25,
       "  1.2 GiB of 8.0 GiB"},
      // 3 GiB of 6 GiB in 3 s would be 35 columns.
      {"24 columns", 3 * kGiB, 6 * kGiB, 3.0, 24, "  3.0 GiB of 6.0 GiB"},
      {"then the total", 1288490189, 8 * kGiB, 3.0, 20, "  1.2 GiB"},
      {"then the margin", 1288490189, 8 * kGiB, 3.0, 9, "1.2 GiB"},
      {"then all of it", 1288490189, 8 * kGiB, 3.0, 7, ""},
      {"no columns", 1288490189, 8 * kGiB, 3.0, 0, ""},
      {"the percentage is never rounded up", 8589934591, 8 * kGiB, 2.0, 80,
       "  8.0 GiB of 8.0 GiB  99%  4 GiB/s"},
      {"done", 16384, 16384, 2.0, 80, "  16.0 KiB of 16.0 KiB  100%  8 KiB/s"},
      // 1000 MiB of 1 GiB: 97.66 %, in 1 s.
      {"1000 MiB", 1000 * kMiB, kGiB, 1.0, 80,
       "  0.98 GiB of 1.0 GiB  97%  0.98 GiB/s"},
      // 999.4 MiB in a second: the rate in whole units.
      {"a rate just below four digits", 1047950131, std::nullopt, 1.0, 80,
       "  999.4 MiB  999 MiB/s"},
      {"past the total", std::uint64_t{1} << 40, 9, 1.0, 80,
       "  1.0 TiB of 9 B  100%  1 TiB/s"},
      // 3 MiB in 4 s: 768 KiB/s.
      {"a total that cannot be told", 3 * kMiB, std::nullopt, 4.0, 80,
       "  3.0 MiB  768 KiB/s"},
      {"no total, narrow", 3 * kMiB, std::nullopt, 4.0, 20, "  3.0 MiB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(progress_text(c.done, c.total, c.seconds, c.columns), c.text);
  }
}

// A stream that is no terminal gets nothing at all, however long the run.
TEST(Progress, NothingButOnATerminal) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  Progress progress = start_progress(file, 1000, file);
  EXPECT_EQ(progress.terminal, nullptr);
  EXPECT_EQ(progress.rows, nullptr);
  progress.started -= std::chrono::seconds(10);  // as if long under way
  show_progress(progress, 500);
  progress_before_row(progress);
  progress_after_row(progress);
  clear_progress(progress);
  EXPECT_EQ(std::ftell(file), 0L);
  std::fclose(file);
}

// What reached a file that stands for the terminal, written through two
// streams as the line and the rows are: in the order the bytes were flushed.
struct SharedTerminal {
  test::ScratchDir dir;
  std::FILE* line = nullptr;
  std::FILE* rows = nullptr;

  SharedTerminal() {
    const std::string path = (dir / "terminal").string();
    line = std::fopen(path.c_str(), "ab");
    rows = std::fopen(path.c_str(), "ab");
  }
  ~SharedTerminal() {
    if (line != nullptr) std::fclose(line);
    if (rows != nullptr) std::fclose(rows);
  }
  SharedTerminal(const SharedTerminal&) = delete;
  SharedTerminal& operator=(const SharedTerminal&) = delete;

  std::string shown() {
    std::fflush(line);
    std::fflush(rows);
    const test::Bytes bytes = test::read_file(dir / "terminal");
    return {bytes.begin(), bytes.end()};
  }

  // A line on the terminal as show_progress leaves it, a long run under way.
  Progress with_line_shown(const std::string& text) {
    Progress progress;
    progress.terminal = line;
    progress.rows = rows;
    progress.total = 1000;
    progress.started = std::chrono::steady_clock::now();
    progress.shown = progress.started;
    progress.text = text;
    progress.width = text.size();
    return progress;
  }
};

// A row written while the line is shown: the line is erased before it and
// drawn again after it, so the row stands alone on the terminal.
TEST(Progress, RowsStandAlone) {
  SharedTerminal terminal;
  ASSERT_NE(terminal.line, nullptr);
  ASSERT_NE(terminal.rows, nullptr);
  Progress progress = terminal.with_line_shown("  1.0 MiB");

  progress_before_row(progress);
  ASSERT_GE(std::fputs("1 0 000000 2000 00\n", terminal.rows), 0);
  progress_after_row(progress);
  progress_before_row(progress);
  ASSERT_GE(std::fputs("2 8201 002000 2000 FF\n", terminal.rows), 0);
  progress_after_row(progress);
  clear_progress(progress);

  EXPECT_EQ(terminal.shown(),
            "\r         \r"
            "1 0 000000 2000 00\n"
            "\r  1.0 MiB"
            "\r         \r"
            "2 8201 002000 2000 FF\n"
            "\r  1.0 MiB"
            "\r         \r");
}

// Before the line is first shown, and once it is cleared, rows pass as they
// are; a rewrite due while a row is being written waits for its end.
TEST(Progress, RowsWithNoLineShown) {
  SharedTerminal terminal;
  ASSERT_NE(terminal.line, nullptr);
  ASSERT_NE(terminal.rows, nullptr);
  Progress progress = terminal.with_line_shown("");
  progress.shown = {};
  progress.width = 0;
  progress_before_row(progress);
  ASSERT_GE(std::fputs("row\n", terminal.rows), 0);
  progress_after_row(progress);
  EXPECT_EQ(terminal.shown(), "row\n");

  progress = terminal.with_line_shown("  1.0 MiB");
  progress.started -= std::chrono::seconds(10);
  progress.shown -= std::chrono::seconds(1);  // a rewrite is due
  progress_before_row(progress);
  show_progress(progress, 500);  // on a thread of the caller's, say
  ASSERT_GE(std::fputs("row\n", terminal.rows), 0);
  const std::string erased = "row\n\r         \r";
  EXPECT_EQ(terminal.shown(), erased + "row\n");
  progress_after_row(progress);
  const std::string after = terminal.shown().substr(erased.size() + 4);
  // The new text, 500 B of 1000 B: "  500 B of 1000 B" would need four
  // digits, so the total is 0.98 KiB.
  EXPECT_EQ(after.rfind("\r  500 B of 0.98 KiB  50%  ", 0), 0U) << after;
}

// Each rewrite reaches no further than the last column but one, even over a
// longer line drawn before on a terminal since made narrower.
TEST(Progress, RewritesStayWithinTheWidth) {
  SharedTerminal terminal;
  ASSERT_NE(terminal.line, nullptr);
  Progress progress = terminal.with_line_shown(std::string(100, 'x'));
  progress.started -= std::chrono::seconds(10);
  progress.shown -= std::chrono::seconds(1);
  show_progress(progress, 500);
  // A file tells no width: it is taken as 80 columns.
  const std::string shown = terminal.shown();
  ASSERT_EQ(shown.rfind("\r  500 B of 0.98 KiB  50%  ", 0), 0U) << shown;
  EXPECT_EQ(shown.size(), 1U + 79U);
  EXPECT_EQ(progress.width, progress.text.size());
}

#if !defined(_WIN32)

// A pseudo-terminal `columns` wide; the far side is what a program writes to.
struct PseudoTerminal {
  int near = -1;
  std::FILE* far = nullptr;

  explicit PseudoTerminal(unsigned short columns) {
    near = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (near < 0 || ::grantpt(near) != 0 || ::unlockpt(near) != 0) {
      return;
    }
    const winsize size{24, columns, 0, 0};
    (void)::ioctl(near, TIOCSWINSZ, &size);
    far = std::fopen(::ptsname(near), "w");
  }
  ~PseudoTerminal() {
    if (far != nullptr) std::fclose(far);
    if (near >= 0) ::close(near);
  }
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  std::string read_shown() const {
    std::string text;
    char buffer[1024];
    for (;;) {
      pollfd ready{near, POLLIN, 0};
      if (::poll(&ready, 1, 200) <= 0) {
        return text;
      }
      const ssize_t got = ::read(near, buffer, sizeof buffer);
      if (got <= 0) {
        return text;
      }
      text.append(buffer, static_cast<std::size_t>(got));
    }
  }
};

// On a real terminal 24 columns wide: the width is read from it, the line
// fits in 23, and rows make it give way only on that same terminal.
TEST(Progress, OnANarrowTerminal) {
  PseudoTerminal terminal(24);
  PseudoTerminal other(80);
  ASSERT_NE(terminal.far, nullptr);
  ASSERT_NE(other.far, nullptr);
  EXPECT_EQ(terminal_columns(terminal.far), 24U);
  EXPECT_TRUE(same_terminal(terminal.far, terminal.far));
  EXPECT_FALSE(same_terminal(terminal.far, other.far));
  EXPECT_EQ(start_progress(terminal.far, 1, other.far).rows, nullptr);

  Progress progress = start_progress(terminal.far, 6 * kGiB, terminal.far);
  EXPECT_EQ(progress.terminal, terminal.far);
  EXPECT_EQ(progress.rows, terminal.far);
  progress.started -= std::chrono::seconds(3);
  show_progress(progress, 3 * kGiB);
  EXPECT_EQ(terminal.read_shown(), "\r  3.0 GiB of 6.0 GiB");
}

#endif

}  // namespace
}  // namespace varnel
