// The real binary with each of its file operations failed in turn (open, size
// query, seek, read, write, flush, close), through an LD_PRELOAD library that
// stands between the program and the C library.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/numbered_image.h"
#include "tests/test_support.h"

namespace varnel {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

const std::string kBanner = "Quenlo to Halvory Converter 0.9a by Orvek\n\n";

struct SweepRun {
  test::RunResult result;
  long calls = 0;
  std::string failed_op;  // "nothing" when no operation failed
  std::string failed_path;
};

// Two batches: a full one and a single block, so reads and writes repeat.
const std::size_t kBlocks = 257;

SweepRun run_with_fault(const test::ScratchDir& dir, long fail_at,
                        const std::string& mode) {
  const fs::path log = dir / "sweep.log";
  SweepRun run;
  run.result = test::run_binary({"0", "in.fls", "out.hy"}, dir.path,
                                test::with_environment({
                                    {"LD_PRELOAD", FAIL_NTH_IO},
                                    {"VARNEL_FAIL_AT", std::to_string(fail_at)},
                                    {"VARNEL_FAIL_MODE", mode},
                                    {"VARNEL_SWEEP_LOG", test::utf8_name(log)},
                                }));
  std::ifstream in(log);
  std::string word;
  in >> word >> run.calls >> word >> run.failed_op;
  if (run.failed_op != "nothing") in >> run.failed_path;
  fs::remove(log);
  return run;
}

// The message each failed operation must give, and whether the record file
// is left (empty) afterwards.
struct Expected {
  std::string message;
  bool destination_left;
};

Expected expected_for(const std::string& op, const std::string& path) {
  const bool source = path == "in.fls";
  if (op == "fopen") {
    return {source ? "Cannot open source file \"in.fls\".\n\n"
                   : "Cannot create destination file \"out.hy\".\n\n",
            false};
  }
  if (op == "fseek" || op == "ftell") {
    return {
        "Source files of size that is not a multiple of 8192 bytes\n"
        "are not supported in this version.\n\n",
        true};
  }
  return {source ? "Error reading source file \"in.fls\".\n\n"
                 : "Error writing destination file \"out.hy\".\n\n",
          false};
}

TEST(FaultSweep, EveryFileOperationOfTheBinaryFailedInTurn) {
  VARNEL_SKIP_ON_WINDOWS(
      "the file operations are failed through LD_PRELOAD, which Windows lacks");
#ifdef VARNEL_SANITIZED
  GTEST_SKIP()
      << "the sanitizers' own interceptors must come first; run without them";
#endif
  const test::ScratchDir dir;
  const Bytes image = test::numbered_image(kBlocks);
  test::write_file(dir / "in.fls", image);

  const SweepRun count = run_with_fault(dir, 0, "once");
  ASSERT_EQ(count.result.out, kBanner + "Output written to \"out.hy\".\n\n");
  ASSERT_EQ(count.failed_op, "nothing");
  // At least: 2 opens, 3 size steps, 2 batch reads, 2 batch writes, a flush, 2
  // closes.
  ASSERT_GE(count.calls, 12);

  int short_counts = 0;
  for (const std::string mode : {"once", "persist", "short"}) {
    for (long at = 1; at <= count.calls; ++at) {
      SCOPED_TRACE(mode + ", operation " + std::to_string(at));
      fs::remove(dir / "out.hy");
      const SweepRun run = run_with_fault(dir, at, mode);
      EXPECT_EQ(run.result.exit_status, 0);
      EXPECT_EQ(run.result.err, "");
      EXPECT_EQ(test::read_file(dir / "in.fls"), image)
          << "the source was touched";

      // A short read or write is no error: the program must carry on from
      // it. Operations that cannot come up short go through untouched. Either
      // way the conversion must be whole.
      if (mode == "short" || run.failed_op == "nothing") {
        short_counts += run.failed_op != "nothing" ? 1 : 0;
        EXPECT_EQ(run.result.out,
                  kBanner + "Output written to \"out.hy\".\n\n");
        test::expect_numbered_records(test::read_file(dir / "out.hy"), kBlocks);
        continue;
      }
      SCOPED_TRACE("failed: " + run.failed_op + " " + run.failed_path);
      const Expected expected = expected_for(run.failed_op, run.failed_path);
      EXPECT_EQ(run.result.out, kBanner + expected.message);
      EXPECT_EQ(fs::exists(dir / "out.hy"), expected.destination_left);
      if (expected.destination_left) {
        EXPECT_EQ(fs::file_size(dir / "out.hy"), 0U);
      }
    }
  }
  // Two batch reads and two batch writes at the least.
  EXPECT_GE(short_counts, 4);
}

}  // namespace
}  // namespace varnel
