// The real binary with each of its file operations failed in turn (open, size
// query, seek, read, write, flush, sync, permissions, close, rename), through
// an LD_PRELOAD library that stands between the program and the C library.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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

// What the destination must hold after a run.
enum class Left {
  as_it_was,  // the old record file, or nothing where there was none
  records,    // the whole record file
  empty,      // an empty file, where there was none
};

struct Expected {
  std::string message;
  Left left;
};

const std::string kSizeMessage =
    "Source files of size that is not a multiple of 8192 bytes\n"
    "are not supported in this version.\n\n";
const std::string kSuccess = "Output written to \"out.hy\".\n\n";
const std::string kCannotCreate =
    "Cannot create destination file \"out.hy\".\n\n";

bool is_temporary(const std::string& path) {
  return path.find(".partial-") != std::string::npos;
}

// The message each failed operation must give, and what it leaves.
Expected expected_for(const std::string& op, const std::string& path,
                      const std::string& mode, bool existing) {
  if (path == "in.fls") {
    if (op == "fopen") {
      return {"Cannot open source file \"in.fls\".\n\n", Left::as_it_was};
    }
    if (op == "fseek" || op == "ftell") {
      // A name where nothing was gets its empty file, unless every step from
      // here on fails, the publishing ones included.
      return {kSizeMessage,
              existing || mode == "persist" ? Left::as_it_was : Left::empty};
    }
    return {"Error reading source file \"in.fls\".\n\n", Left::as_it_was};
  }
  if (path == "out.hy") {
    // Opened only to learn whether it may be written, and closed unused: a
    // failed close changes nothing, but every call after it fails too, the
    // source's size first.
    if (op == "fclose") {
      return mode == "persist" ? Expected{kSizeMessage, Left::as_it_was}
                               : Expected{kSuccess, Left::records};
    }
    return {kCannotCreate, Left::as_it_was};
  }
  if ((op == "open" || op == "fdopen") && is_temporary(path)) {
    // Once failed, the next name is tried.
    return mode == "persist" ? Expected{kCannotCreate, Left::as_it_was}
                             : Expected{kSuccess, Left::records};
  }
  if (path == ".") {
    // The directory, synced after the rename: the new file is in place.
    return {"Error writing destination file \"out.hy\".\n\n", Left::records};
  }
  return {"Error writing destination file \"out.hy\".\n\n", Left::as_it_was};
}

// Everything in the directory but the image, the sweep's log and the record
// file: temporary files left behind.
std::vector<std::string> strays(const test::ScratchDir& dir) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(dir.path)) {
    const std::string name = test::utf8_name(entry.path().filename());
    if (name != "in.fls" && name != "out.hy" && name != "sweep.log") {
      found.push_back(name);
    }
  }
  return found;
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
  const Bytes old_records = {'o', 'l', 'd'};

  // With no record file yet, and over an old one that every failure must
  // leave as it was.
  for (const bool existing : {false, true}) {
    SCOPED_TRACE(existing ? "over an old record file" : "no record file yet");
    const auto reset = [&] {
      fs::remove(dir / "out.hy");
      if (existing) {
        test::write_file(dir / "out.hy", old_records);
      }
    };
    reset();
    const SweepRun count = run_with_fault(dir, 0, "once");
    ASSERT_EQ(count.result.out, kBanner + kSuccess);
    ASSERT_EQ(count.failed_op, "nothing");
    // At least: 2 opens, 3 size steps, 2 batch reads, 2 batch writes, the
    // writeback, a flush, a sync, 2 closes and the rename.
    ASSERT_GE(count.calls, 16);

    int short_counts = 0;
    for (const std::string mode : {"once", "persist", "short"}) {
      for (long at = 1; at <= count.calls; ++at) {
        SCOPED_TRACE(mode + ", operation " + std::to_string(at));
        reset();
        const SweepRun run = run_with_fault(dir, at, mode);
        EXPECT_EQ(run.result.exit_status, 0);
        EXPECT_EQ(run.result.err, "");
        EXPECT_EQ(test::read_file(dir / "in.fls"), image)
            << "the source was touched";
        EXPECT_EQ(strays(dir), std::vector<std::string>{})
            << "a temporary file was left";

        // A short read or write is no error: the program must carry on from
        // it. Operations that cannot come up short go through untouched.
        // Either way the conversion must be whole.
        Expected expected{kSuccess, Left::records};
        if (mode != "short" && run.failed_op != "nothing") {
          expected =
              expected_for(run.failed_op, run.failed_path, mode, existing);
        } else if (run.failed_op != "nothing") {
          ++short_counts;
        }
        SCOPED_TRACE("failed: " + run.failed_op + " " + run.failed_path);
        EXPECT_EQ(run.result.out, kBanner + expected.message);
        switch (expected.left) {
          case Left::records:
            test::expect_numbered_records(test::read_file(dir / "out.hy"),
                                          kBlocks);
            break;
          case Left::empty:
            EXPECT_EQ(test::read_file(dir / "out.hy"), Bytes{});
            break;
          case Left::as_it_was:
            if (existing) {
              EXPECT_EQ(test::read_file(dir / "out.hy"), old_records);
            } else {
              EXPECT_FALSE(fs::exists(dir / "out.hy"));
            }
            break;
        }
      }
    }
    // Two batch reads and two batch writes at the least.
    EXPECT_GE(short_counts, 4);
  }
}

}  // namespace
}  // namespace varnel
