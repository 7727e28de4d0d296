// Failures inside a conversion, after both files are open: each one gives its
// own message, never the success message, and no partial record file reaches
// the destination's name.
#include <gtest/gtest.h>

#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "cli/block_io.h"
#include "cli/conversion.h"
#include "cli/driver.h"
#include "files/output_file.h"
#include "tests/fake_stream.h"
#include "tests/test_support.h"

namespace varnel {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::FakeFile;
using test::FaultPlan;
using test::Op;

// Three blocks at 0xFFF000; the second crosses 0xFFFFFF and wraps to 0x001000.
const std::uint32_t kStart = 0xFFF000;
const Bytes kImage =
    test::concat({test::block_filled(0x00), test::block_with({{0, 0x01}}),
                  test::block_with({{8191, 0x80}})});
const Bytes kRecords = test::concat({
    {0x0B, 0xFF, 0xF0, 0x00, 0x00, 0x00, 0x20, 0x00, 0xF0},
    test::block_filled(0x00),
    {0x0B, 0x00, 0x10, 0x00, 0xFF, 0x00, 0x20, 0x00, 0xD0},
    test::block_with({{0, 0x01}}),
    {0x0B, 0x00, 0x30, 0x00, 0x80, 0x00, 0x20, 0x00, 0x2F},
    test::block_with({{8191, 0x80}}),
});

const std::string kSizeMessage =
    "Source files of size that is not a multiple of 8192 bytes\n"
    "are not supported in this version.\n\n";
const std::string kReadMessage = "Error reading source file \"in.fls\".\n\n";

std::string write_message(const test::ScratchDir& dir) {
  return "Error writing destination file \"" + test::utf8_name(dir / "out.hy") +
         "\".\n\n";
}

const char* const kNoFakeStreams =
    "in-memory streams are made with fopencookie, which only glibc has";

struct Conversion {
  std::string out;
  bool destination_left = false;
};

// Runs the open-files part of a run on two fake streams. The destination is
// a real output whose stream is swapped for the fake one, so that the test
// can see whether the (empty) new file reaches its name.
Conversion convert(FakeFile& src, FakeFile& dst, const test::ScratchDir& dir) {
  const fs::path dst_path = dir / "out.hy";
  const std::string dst_name = test::utf8_name(dst_path);
  Output output;
  const OutputRules rules{9, [](std::span<const std::uint8_t>) { return true; },
                          nullptr};
  EXPECT_TRUE(open_output(find_destination(dst_name.c_str()), rules, output))
      << output.error.message();
  output.file.reset(test::open_fake(dst, "wb"));
  std::FILE* out = std::tmpfile();
  convert_and_report(test::open_fake(src, "rb"), output, kStart,
                     allocate_records(kBatchBytes).records, "in.fls",
                     dst_name.c_str(), out);
  Conversion result;
  std::rewind(out);
  for (int c = std::fgetc(out); c != EOF; c = std::fgetc(out)) {
    result.out.push_back(static_cast<char>(c));
  }
  std::fclose(out);
  result.destination_left = fs::exists(dst_path);
  EXPECT_EQ(test::names_in(dir.path), result.destination_left
                                          ? std::vector<std::string>{"out.hy"}
                                          : std::vector<std::string>{})
      << "the temporary file was left";
  EXPECT_TRUE(src.closed) << "the source stream was not closed";
  EXPECT_TRUE(dst.closed) << "the destination stream was not closed";
  return result;
}

TEST(ConversionFaults, CleanRunWritesEveryRecord) {
  VARNEL_SKIP_ON_WINDOWS(kNoFakeStreams);
  const test::ScratchDir dir;
  FakeFile src{.data = kImage};
  FakeFile dst;
  const Conversion run = convert(src, dst, dir);
  EXPECT_EQ(run.out, "Output written to \"" + test::utf8_name(dir / "out.hy") +
                         "\".\n\n");
  EXPECT_EQ(dst.data, kRecords);
}

enum class Side { source, destination };

struct FaultCase {
  std::string why;
  Side side;
  Op op;
  int at;
  bool persists = false;
  bool short_count = false;
};

// Runs one case: the `at`-th call of kind `op` on one side fails.
Conversion convert_with_fault(const FaultCase& c, const test::ScratchDir& dir,
                              FakeFile& dst) {
  FaultPlan plan{.fail_at = c.at,
                 .only = c.op,
                 .persists = c.persists,
                 .short_count = c.short_count};
  FakeFile src{.data = kImage};
  (c.side == Side::source ? src : dst).plan = &plan;
  Conversion run = convert(src, dst, dir);
  EXPECT_TRUE(plan.failed_op.has_value()) << "the fault was never reached";
  return run;
}

TEST(ConversionFaults, SizeThatCannotBeTakenIsTheSizeMessage) {
  VARNEL_SKIP_ON_WINDOWS(kNoFakeStreams);
  const FaultCase cases[] = {
      {"seek to the end fails", Side::source, Op::seek, 1},
      {"position query fails", Side::source, Op::seek, 2},
      {"seek back to the start fails", Side::source, Op::seek, 3},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    FakeFile dst;
    const Conversion run = convert_with_fault(c, dir, dst);
    EXPECT_EQ(run.out, kSizeMessage);
    EXPECT_TRUE(dst.data.empty()) << "converted without a size";
    // A name where nothing was gets the empty file, as it always has.
    EXPECT_TRUE(run.destination_left);
  }
}

TEST(ConversionFaults, ReadAndWriteFailuresPublishNothing) {
  VARNEL_SKIP_ON_WINDOWS(kNoFakeStreams);
  const FaultCase cases[] = {
      {"the first read fails", Side::source, Op::read, 1},
      {"every read from the second on fails", Side::source, Op::read, 2, true},
      {"the source shrank: a short read, then its end", Side::source, Op::read,
       2, false, true},
      {"closing the source fails", Side::source, Op::close, 1},
      {"the first write fails", Side::destination, Op::write, 1},
      {"every write from the second on fails", Side::destination, Op::write, 2,
       true},
      {"a write moves only half its bytes", Side::destination, Op::write, 1,
       false, true},
      {"closing the destination fails", Side::destination, Op::close, 1},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    FakeFile dst;
    const Conversion run = convert_with_fault(c, dir, dst);
    EXPECT_EQ(run.out,
              c.side == Side::source ? kReadMessage : write_message(dir));
    EXPECT_FALSE(run.destination_left);
  }
}

// The last write of a run happens when the stream is flushed at its end: the
// data may all have been accepted, and still not reach the file.
TEST(ConversionFaults, FailedFinalFlushIsAWriteError) {
  VARNEL_SKIP_ON_WINDOWS(kNoFakeStreams);
  int writes = 0;
  {
    const test::ScratchDir dir;
    FaultPlan counter{.only = Op::write};
    FakeFile src{.data = kImage};
    FakeFile dst{.plan = &counter};
    ASSERT_EQ(convert(src, dst, dir).out.rfind("Output written", 0), 0U);
    writes = counter.calls;
  }
  const test::ScratchDir dir;
  FakeFile dst;
  const Conversion run = convert_with_fault(
      {"the last write", Side::destination, Op::write, writes}, dir, dst);
  EXPECT_EQ(run.out, write_message(dir));
  EXPECT_FALSE(run.destination_left);
}

// Every call on either stream, failed in turn: once, from then on, and as a
// short count. Each run either converts exactly or gives the one message that
// fits the call that failed, and leaves no partial record file.
TEST(ConversionFaults, EveryStreamCallFailedInTurn) {
  VARNEL_SKIP_ON_WINDOWS(kNoFakeStreams);
  int total = 0;
  {
    const test::ScratchDir dir;
    FaultPlan counter;
    FakeFile src{.data = kImage, .name = "src", .plan = &counter};
    FakeFile dst{.name = "dst", .plan = &counter};
    ASSERT_EQ(convert(src, dst, dir).out.rfind("Output written", 0), 0U);
    total = counter.calls;
  }
  ASSERT_GE(total, 8) << "seeks, reads, writes and closes of both streams";

  for (const char* mode : {"once", "persist", "short"}) {
    for (int at = 1; at <= total; ++at) {
      SCOPED_TRACE(std::string(mode) + ", call " + std::to_string(at));
      const test::ScratchDir dir;
      FaultPlan plan{.fail_at = at,
                     .persists = std::string(mode) == "persist",
                     .short_count = std::string(mode) == "short"};
      FakeFile src{.data = kImage, .name = "src", .plan = &plan};
      FakeFile dst{.name = "dst", .plan = &plan};
      const Conversion run = convert(src, dst, dir);

      if (!plan.failed_op) {
        // Nothing failed at this call (a short count applies to reads and
        // writes only): the conversion must be whole.
        EXPECT_EQ(run.out, "Output written to \"" +
                               test::utf8_name(dir / "out.hy") + "\".\n\n");
        EXPECT_EQ(dst.data, kRecords);
        continue;
      }
      if (plan.failed_op == Op::seek) {
        // The empty file is made unless closing it fails too; then that is
        // the problem reported, as the file is made before the size is
        // taken.
        EXPECT_EQ(run.out, plan.persists
                               ? "Cannot create destination file \"" +
                                     test::utf8_name(dir / "out.hy") + "\".\n\n"
                               : kSizeMessage);
        EXPECT_EQ(run.destination_left, !plan.persists);
      } else if (plan.failed_file == "src") {
        EXPECT_EQ(run.out, kReadMessage);
        EXPECT_FALSE(run.destination_left);
      } else {
        EXPECT_EQ(run.out, write_message(dir));
        EXPECT_FALSE(run.destination_left);
      }
    }
  }
}

// Real files take the descriptor route: a source that ends before the size
// measured for it (it shrank in between) must fail there too.
TEST(ConversionFaults, RealSourceShorterThanItsMeasuredSize) {
  const struct {
    std::string why;
    std::size_t bytes_present;
    std::uint64_t size_measured;
  } cases[] = {
      {"a whole block missing", 2 * 8192, 3 * 8192},
      {"the last block cut short", 2 * 8192 + 100, 3 * 8192},
      {"the second batch missing", kBatchBlocks * 8192,
       (kBatchBlocks + 1) * 8192},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    test::write_file(dir / "in.fls", Bytes(c.bytes_present, 0x42));
    std::FILE* src = std::fopen(test::utf8_name(dir / "in.fls").c_str(), "rb");
    std::FILE* dst = std::fopen(test::utf8_name(dir / "out.hy").c_str(), "wb");
    ASSERT_NE(src, nullptr);
    ASSERT_NE(dst, nullptr);
    EXPECT_EQ(write_records(src, dst, 0, c.size_measured,
                            allocate_records(kBatchBytes).records),
              Outcome::read_failed);
    std::fclose(src);
    std::fclose(dst);
  }
}

}  // namespace
}  // namespace varnel
