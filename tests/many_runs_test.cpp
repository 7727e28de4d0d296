// varnel-check on record files of very many runs: records of one byte each,
// at falling addresses, so that no record continues the one before it. The
// report keeps the first 10,000 runs and counts the rest, the addresses used
// again are followed within a budget, and memory stays the same whatever the
// number of records.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/test_support.h"

#if !defined(_WIN32)
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace varnel {
namespace {

using namespace std::chrono_literals;
using test::Bytes;

// `count` records of one data byte, the first at address `count`, each next
// one an address lower. Record i (from 0) holds the byte d = 3 + 7i (mod
// 256); its data checksum is -d and its length 00 00 01, so that the header
// checksum is the complement of the three address bytes + (-d) + 1.
Bytes one_byte_records(std::size_t count) {
  Bytes records;
  records.reserve(count * 10);
  for (std::size_t i = 0; i < count; ++i) {
    const auto address = static_cast<std::uint32_t>(count - i);
    const auto data = static_cast<std::uint8_t>(3 + 7 * i);
    const auto data_sum = static_cast<std::uint8_t>(-data);
    const std::uint8_t header[8] = {0x0B,
                                    static_cast<std::uint8_t>(address >> 16),
                                    static_cast<std::uint8_t>(address >> 8),
                                    static_cast<std::uint8_t>(address),
                                    data_sum,
                                    0x00,
                                    0x00,
                                    0x01};
    unsigned sum = 0;
    for (std::size_t at = 1; at < 8; ++at) {
      sum += header[at];
    }
    records.insert(records.end(), header, header + 8);
    records.push_back(static_cast<std::uint8_t>(~sum));
    records.push_back(data);
  }
  return records;
}

// The report on one_byte_records(count) in "many.hy": every record a run of
// its own, the first 10,000 of them listed and the rest counted.
std::string expected_report(std::size_t count) {
  std::string report = "\"many.hy\": valid\nrecords: " + std::to_string(count) +
                       "\ndata bytes: " + std::to_string(count) + "\n";
  for (std::size_t run = 1; run <= count && run <= 10000; ++run) {
    char line[64];
    const std::size_t address = count - run + 1;
    (void)std::snprintf(line, sizeof line,
                        "run %zu: %06zX to %06zX (1 record)\n", run, address,
                        address);
    report += line;
  }
  if (count == 10001) {
    report += "... and 1 more run\n";
  } else if (count > 10001) {
    report += "... and " + std::to_string(count - 10000) + " more runs\n";
  }
  return report;
}

// No address is used twice, but past 20,000 runs (the spans of 10,000 runs
// that wrap) the search for them stops, and the report says so.
const std::string kStoppedLooking =
    "note: records after 20001 were not looked at for addresses used again: "
    "too many runs\n";

TEST(VarnelCheck, ReportKeepsTenThousandRunsAndCountsTheRest) {
  const struct {
    std::size_t runs;
    std::string note;
  } cases[] = {
      {10000, ""},
      {10001, ""},
      {4000000, kStoppedLooking},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.runs) + " runs");
    const test::ScratchDir dir;
    test::write_file(dir / "many.hy", one_byte_records(c.runs));
    const test::RunResult run =
        test::run_program(VARNEL_CHECK_BINARY, {"many.hy"}, dir.path);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(run.out == test::console_text(expected_report(c.runs) + c.note))
        << "the report differs; it ends:\n"
        << run.out.substr(run.out.size() > 400 ? run.out.size() - 400 : 0);

    // Restoring needs one run: the count says how many there are, all of
    // them, and nothing is written.
    if (c.runs > 10001) {
      continue;  // as for 10,001, at greater length
    }
    const test::RunResult restore = test::run_program(
        VARNEL_CHECK_BINARY, {"-o", "back.fls", "many.hy"}, dir.path);
    EXPECT_EQ(restore.exit_status, 1);
    EXPECT_EQ(restore.err,
              test::console_text("varnel-check: \"many.hy\": not restored: the "
                                 "records form " +
                                 std::to_string(c.runs) +
                                 " runs, not one\n(to write what the flash "
                                 "holds, use --flash-image back.fls)\n"));
    EXPECT_EQ(test::names_in(dir.path), std::vector<std::string>{"many.hy"});
  }
}

#ifdef VARNEL_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// 4,000,000 records of one byte (40 MB), each a run of its own, checked with
// the address space limited to 64 MiB, as `ulimit -v 65536` limits it: the
// whole report comes, and nothing runs out of memory.
TEST(VarnelCheck, MemoryStaysUnder64MiBWhateverTheRecords) {
  VARNEL_SKIP_ON_WINDOWS("an address-space limit is set by ulimit, on POSIX");
#if !defined(_WIN32)
  if (test::under_emulator()) {
    GTEST_SKIP() << "the emulator's own memory counts against the limit";
  }
  if (std::getenv("VARNEL_TEST_WRAPPER") != nullptr || kSanitized) {
    GTEST_SKIP() << "the program runs under a tool whose memory counts "
                    "against the limit";
  }
  const test::ScratchDir dir;
  const std::size_t count = 4000000;
  test::write_file(dir / "many.hy", one_byte_records(count));
  const test::RunResult run =
      test::run_program(VARNEL_CHECK_BINARY, {"many.hy"}, dir.path, [] {
        const rlimit limit{64 << 20, 64 << 20};
        if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(125);
      });
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(run.out == expected_report(count) + kStoppedLooking)
      << run.out.substr(run.out.size() > 400 ? run.out.size() - 400 : 0);
#endif
}

}  // namespace
}  // namespace varnel
