// varnel-check writing its listing or report for a reader that quits, as
// `| head -1` does: it stops at the first write that fails, reads nothing
// more, and leaves no image.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include "tests/test_support.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace varnel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Bytes;

// Far longer than any of these runs takes: a program that reads on for ever
// is killed then, and fails.
constexpr auto kLimit = 60s;

// One record of three data bytes 01 at 123456 (data checksum FD, header
// checksum 63), and the listing's first line.
const Bytes kRecord = {0x0B, 0x12, 0x34, 0x56, 0xFD, 0x00,
                       0x00, 0x03, 0x63, 0x01, 0x01, 0x01};
const std::string kColumns = "record offset address length checksum\n";

// `count` records of three data bytes 01, one run from address 0: record i
// at 3i. The data checksum is FD, the length 00 00 03, and the header
// checksum the complement of the address bytes + FD + 03.
Bytes one_run(std::size_t count) {
  Bytes records;
  for (std::size_t i = 0; i < count; ++i) {
    const auto address = static_cast<std::uint32_t>(3 * i);
    const auto high = static_cast<std::uint8_t>(address >> 16);
    const auto middle = static_cast<std::uint8_t>(address >> 8);
    const auto low = static_cast<std::uint8_t>(address);
    const auto sum = static_cast<std::uint8_t>(high + middle + low + 0xFD + 3);
    records.insert(records.end(),
                   {0x0B, high, middle, low, 0xFD, 0x00, 0x00, 0x03,
                    static_cast<std::uint8_t>(~sum), 0x01, 0x01, 0x01});
  }
  return records;
}

#if !defined(_WIN32)

// What `trap '' PIPE` leaves a program: a write to a pipe nobody reads fails
// instead of ending it.
void ignore_sigpipe() { (void)std::signal(SIGPIPE, SIG_IGN); }

#endif

// A listing of an endless input (a pipe whose writer never stops) into a
// reader that takes one line and quits, with SIGPIPE ignored: the program
// stops at the failed write, with the one line that says so and status 2,
// instead of reading on for ever; with -o, no image is left.
TEST(VarnelCheck, ListingForAReaderThatQuitsStopsAtOnce) {
  VARNEL_SKIP_ON_WINDOWS(
      "an endless pipe as standard input is staged on POSIX");
#if !defined(_WIN32)
  for (const bool restore : {false, true}) {
    SCOPED_TRACE(restore ? "with -o" : "a check");
    const test::ScratchDir dir;
    std::vector<std::string> args = {"--list", "-"};
    if (restore) {
      args = {"--list", "-o", "back.fls", "-"};
    }
    const auto endless_input = test::stdin_without_end(kRecord);
    const test::RunResult run = test::run_into_head(
        VARNEL_CHECK_BINARY, args, dir.path, 1, kLimit, [&endless_input] {
          ignore_sigpipe();
          endless_input();
        });
    EXPECT_FALSE(run.timed_out) << "read on after the listing failed";
    EXPECT_EQ(run.out, kColumns);
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.err, "varnel-check: error writing the report\n");
    EXPECT_EQ(test::names_in(dir.path), std::vector<std::string>{});
  }
#endif
}

// Several record files, their reports for a reader that is gone: the first
// report cannot be written, and the files after it are not even opened (here
// a FIFO that nobody writes, which would wait for ever).
TEST(VarnelCheck, ReportForAReaderThatIsGoneStopsTheOtherFiles) {
  VARNEL_SKIP_ON_WINDOWS("FIFOs and SIGPIPE are POSIX only");
#if !defined(_WIN32)
  const test::ScratchDir dir;
  test::write_file(dir / "a.hy", kRecord);
  ASSERT_EQ(::mkfifo((dir / "fifo.hy").c_str(), 0600), 0);
  const test::RunResult run =
      test::run_into_head(VARNEL_CHECK_BINARY, {"a.hy", "fifo.hy", "a.hy"},
                          dir.path, 0, kLimit, ignore_sigpipe);
  EXPECT_FALSE(run.timed_out) << "went on to the next file";
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(run.err, "varnel-check: error writing the report\n");
#endif
}

// A reader that quits early with nothing changed in the shell: on POSIX
// systems SIGPIPE ends the program, silently; on Windows, which has no such
// signal, the closed pipe ends it as quietly, with status 2. Either way no
// error line, and no image or temporary file.
TEST(VarnelCheck, ListingForAReaderThatQuitsEndsQuietly) {
  const Bytes records = one_run(100000);  // 2.4 MB of listing
  for (const bool restore : {false, true}) {
    SCOPED_TRACE(restore ? "with -o" : "a check");
    const test::ScratchDir dir;
    test::write_file(dir / "rec.hy", records);
    std::vector<std::string> args = {"--list", "rec.hy"};
    if (restore) {
      args = {"--list", "-o", "back.fls", "rec.hy"};
    }
    const test::RunResult run =
        test::run_into_head(VARNEL_CHECK_BINARY, args, dir.path, 1, kLimit);
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.out, test::console_text(kColumns));
#if defined(_WIN32)
    EXPECT_EQ(run.exit_status, 2);
#else
    EXPECT_EQ(run.signal, SIGPIPE);
#endif
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(test::names_in(dir.path), std::vector<std::string>{"rec.hy"});
  }
}

}  // namespace
}  // namespace varnel
