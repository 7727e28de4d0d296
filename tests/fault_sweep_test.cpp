// The real binaries with each of their file operations failed in turn (open,
// size query, seek, read, write, flush, sync, permissions, close, rename), or
// interrupted just before each, through an LD_PRELOAD library that stands
// between the program and the C library.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/numbered_image.h"
#include "tests/test_support.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace varnel {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

const std::string kBanner = "Quenlo to Halvory Converter 0.9a by Orvek\n\n";

struct Operation {
  std::string op;
  std::string path;
};

struct SweepRun {
  test::RunResult result;
  long calls = 0;
  Operation failed;              // op "nothing" when no operation failed
  long transfers_after = 0;      // reads and writes of data after a signal
  std::vector<Operation> trace;  // every operation, when none failed
};

// Two batches: a full one and a single block, so reads and writes repeat.
const std::size_t kBlocks = 257;

// Where standard error goes: a pipe, or a terminal as at a console, where
// varnel-check measures the record file for its progress line.
enum class Errors { pipe, terminal };

#if !defined(_WIN32)

// What a terminal shows, without the carriage returns it adds to each line.
std::string read_terminal(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t got = 0; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<std::size_t>(got));
  }
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

#endif

SweepRun run_with_fault(const std::string& program,
                        const std::vector<std::string>& args,
                        const test::ScratchDir& dir, long fail_at,
                        const std::string& mode, Errors errors = Errors::pipe) {
  const fs::path log = dir / "sweep.log";
  fs::remove(log);
  const auto environment = test::with_environment({
      {"LD_PRELOAD", FAIL_NTH_IO},
      {"VARNEL_FAIL_AT", std::to_string(fail_at)},
      {"VARNEL_FAIL_MODE", mode},
      {"VARNEL_SWEEP_LOG", test::utf8_name(log)},
  });
  SweepRun run;
#if defined(_WIN32)
  (void)errors;
  run.result = test::run_program(program, args, dir.path, environment);
#else
  if (errors == Errors::pipe) {
    run.result = test::run_program(program, args, dir.path, environment);
  } else {
    int near = -1;
    int far = -1;
    EXPECT_EQ(::openpty(&near, &far, nullptr, nullptr, nullptr), 0);
    const auto child =
        test::start_program(program, args, dir.path, [&environment, far] {
          environment();
          if (::dup2(far, STDERR_FILENO) < 0) ::_exit(125);
        });
    ::close(far);
    std::string shown;
    std::thread watch =
        test::running_thread([near, &shown] { shown = read_terminal(near); });
    run.result = test::wait_for(*child, std::chrono::minutes(1));
    watch.join();
    ::close(near);
    run.result.err = shown;
  }
#endif
  std::ifstream in(log);
  std::string word;
  in >> word >> run.calls >> word >> run.failed.op;
  if (run.failed.op != "nothing") in >> run.failed.path;
  in >> word >> run.transfers_after >> word;
  for (Operation operation; in >> operation.op >> operation.path;) {
    run.trace.push_back(operation);
  }
  fs::remove(log);
  return run;
}

// The output reaches the disk before it takes its name, and its name after:
// the temporary file is synced before the rename, the folder after.
void expect_synced_around_the_rename(const std::vector<Operation>& trace) {
  const auto rename =
      std::find_if(trace.begin(), trace.end(),
                   [](const Operation& each) { return each.op == "rename"; });
  ASSERT_NE(rename, trace.end());
  EXPECT_TRUE(std::any_of(trace.begin(), rename,
                          [&rename](const Operation& each) {
                            return each.op == "fsync" &&
                                   each.path == rename->path;
                          }))
      << "the file was not synced before its rename";
  EXPECT_TRUE(std::any_of(rename, trace.end(), [](const Operation& each) {
    return each.op == "fsync" && each.path == ".";
  })) << "the folder was not synced after the rename";
}

// Puts `old_bytes` at `output` in `dir` when `existing`, and nothing there
// otherwise: how each run of a sweep starts.
void reset_output(const test::ScratchDir& dir, const std::string& output,
                  bool existing, const Bytes& old_bytes) {
  fs::remove(dir / output);
  if (existing) {
    test::write_file(dir / output, old_bytes);
  }
}

// "SIGINT before operation 7, fread rec.hy", from the trace of a run.
std::string signalled_before(const SweepRun& count, long at) {
  const Operation& operation = count.trace.at(static_cast<std::size_t>(at - 1));
  return "SIGINT before operation " + std::to_string(at) + ", " + operation.op +
         " " + operation.path;
}

// The place of the first operation `op` in `trace`, from 1.
long place_of(const std::vector<Operation>& trace, const std::string& op) {
  const auto found =
      std::find_if(trace.begin(), trace.end(),
                   [&op](const Operation& each) { return each.op == op; });
  EXPECT_NE(found, trace.end()) << op << " never happened";
  return static_cast<long>(found - trace.begin()) + 1;
}

// What the destination must hold after a run.
enum class Left {
  as_it_was,  // the old file, or nothing where there was none
  whole,      // the whole new file
  empty,      // an empty file, where there was none
};

struct Expected {
  std::string message;
  Left left;
};

bool is_temporary(const std::string& path) {
  return path.find(".partial-") != std::string::npos;
}

// Everything in the directory but `inputs`, the sweep's log and `output`:
// temporary files left behind.
std::vector<std::string> strays(const test::ScratchDir& dir,
                                const std::vector<std::string>& inputs,
                                const std::string& output) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(dir.path)) {
    const std::string name = test::utf8_name(entry.path().filename());
    if (name != output && name != "sweep.log" &&
        std::find(inputs.begin(), inputs.end(), name) == inputs.end()) {
      found.push_back(name);
    }
  }
  return found;
}

// Checks what `output` in `dir` holds against `left`.
void expect_left(const test::ScratchDir& dir, const std::string& output,
                 Left left, bool existing, const Bytes& old_bytes,
                 const Bytes& whole) {
  switch (left) {
    case Left::whole:
      EXPECT_TRUE(test::read_file(dir / output) == whole)
          << "not the whole new file";
      break;
    case Left::empty:
      EXPECT_EQ(test::read_file(dir / output), Bytes{});
      break;
    case Left::as_it_was:
      if (existing) {
        EXPECT_EQ(test::read_file(dir / output), old_bytes);
      } else {
        EXPECT_FALSE(fs::exists(dir / output));
      }
      break;
  }
}

const std::string kSizeMessage =
    "Source files of size that is not a multiple of 8192 bytes\n"
    "are not supported in this version.\n\n";
const std::string kSuccess = "Output written to \"out.hy\".\n\n";
const std::string kCannotCreate =
    "Cannot create destination file \"out.hy\".\n\n";
const std::string kWriteError =
    "Error writing destination file \"out.hy\".\n\n";

// The message each failed operation of varnel must give, and what it leaves.
Expected varnel_expects(const Operation& failed, const std::string& mode,
                        bool existing) {
  const std::string& op = failed.op;
  const std::string& path = failed.path;
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
                               : Expected{kSuccess, Left::whole};
    }
    return {kCannotCreate, Left::as_it_was};
  }
  if ((op == "open" || op == "fdopen") && is_temporary(path)) {
    // Once failed, the next name is tried.
    return mode == "persist" ? Expected{kCannotCreate, Left::as_it_was}
                             : Expected{kSuccess, Left::whole};
  }
  if (path == ".") {
    // The directory, synced after the rename: the new file is in place.
    return {kWriteError, Left::whole};
  }
  return {kWriteError, Left::as_it_was};
}

#ifdef VARNEL_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

#define SKIP_WITHOUT_PRELOAD()                                            \
  VARNEL_SKIP_ON_WINDOWS(                                                 \
      "the file operations are failed through LD_PRELOAD, which Windows " \
      "lacks");                                                           \
  if (kSanitized) {                                                       \
    GTEST_SKIP() << "the sanitizers' own interceptors must come first; "  \
                    "run without them";                                   \
  }

TEST(FaultSweep, EveryFileOperationOfVarnelFailedInTurn) {
  SKIP_WITHOUT_PRELOAD();
  const test::ScratchDir dir;
  const Bytes image = test::numbered_image(kBlocks);
  test::write_file(dir / "in.fls", image);
  const Bytes old_bytes = {'o', 'l', 'd'};
  const std::vector<std::string> args = {"0", "in.fls", "out.hy"};

  // With no record file yet, and over an old one that every failure must
  // leave as it was.
  for (const bool existing : {false, true}) {
    SCOPED_TRACE(existing ? "over an old record file" : "no record file yet");
    const auto reset = [&] {
      reset_output(dir, "out.hy", existing, old_bytes);
    };
    reset();
    const SweepRun count = run_with_fault(VARNEL_BINARY, args, dir, 0, "once");
    ASSERT_EQ(count.result.out, kBanner + kSuccess);
    ASSERT_EQ(count.failed.op, "nothing");
    const Bytes whole = test::read_file(dir / "out.hy");
    test::expect_numbered_records(whole, kBlocks);
    // At least: 2 opens, 3 size steps, 2 batch reads, 2 batch writes, the
    // writeback, a flush, a sync, 2 closes and the rename.
    ASSERT_GE(count.calls, 16);

    int short_counts = 0;
    for (const std::string mode : {"once", "persist", "short"}) {
      for (long at = 1; at <= count.calls; ++at) {
        SCOPED_TRACE(mode + ", operation " + std::to_string(at));
        reset();
        const SweepRun run = run_with_fault(VARNEL_BINARY, args, dir, at, mode);
        EXPECT_EQ(run.result.exit_status, 0);
        EXPECT_EQ(run.result.err, "");
        EXPECT_EQ(test::read_file(dir / "in.fls"), image)
            << "the source was touched";
        EXPECT_EQ(strays(dir, {"in.fls"}, "out.hy"), std::vector<std::string>{})
            << "a temporary file was left";

        // A short read or write is no error: the program must carry on from
        // it. Operations that cannot come up short go through untouched.
        // Either way the conversion must be whole.
        Expected expected{kSuccess, Left::whole};
        if (mode != "short" && run.failed.op != "nothing") {
          expected = varnel_expects(run.failed, mode, existing);
        } else if (run.failed.op != "nothing") {
          ++short_counts;
        }
        SCOPED_TRACE("failed: " + run.failed.op + " " + run.failed.path);
        EXPECT_EQ(run.result.out, kBanner + expected.message);
        expect_left(dir, "out.hy", expected.left, existing, old_bytes, whole);
      }
    }
    // Two batch reads and two batch writes at the least.
    EXPECT_GE(short_counts, 4);
  }
}

// SIGINT just before each operation in turn: the program ends by it, says
// nothing more, reads and writes no more data, and publishes the record file
// only if the signal came once the rename was under way.
TEST(FaultSweep, VarnelInterruptedBeforeEveryOperation) {
  SKIP_WITHOUT_PRELOAD();
  const Bytes old_bytes = {'o', 'l', 'd'};
  const std::vector<std::string> args = {"0", "in.fls", "out.hy"};
  const struct {
    std::string why;
    Bytes image;
  } images[] = {
      {"two batches", test::numbered_image(kBlocks)},
      {"an empty image", {}},
      {"a size that is no whole number of blocks", Bytes(8193, 0x11)},
  };
  for (const auto& image : images) {
    for (const bool existing : {false, true}) {
      SCOPED_TRACE(image.why);
      SCOPED_TRACE(existing ? "over an old record file" : "no record file yet");
      const test::ScratchDir dir;
      test::write_file(dir / "in.fls", image.image);
      const auto reset = [&] {
        reset_output(dir, "out.hy", existing, old_bytes);
      };
      reset();
      // What an uninterrupted run leaves, and when it renames, if it does.
      const SweepRun count =
          run_with_fault(VARNEL_BINARY, args, dir, 0, "once");
      const bool finished_exists = fs::exists(dir / "out.hy");
      const Bytes finished =
          finished_exists ? test::read_file(dir / "out.hy") : Bytes{};
      const bool renames = std::any_of(
          count.trace.begin(), count.trace.end(),
          [](const Operation& each) { return each.op == "rename"; });
      const long rename_at =
          renames ? place_of(count.trace, "rename") : count.calls + 1;
      if (renames) {
        expect_synced_around_the_rename(count.trace);
      }

      for (long at = 1; at <= count.calls; ++at) {
        SCOPED_TRACE(signalled_before(count, at));
        reset();
        const SweepRun run =
            run_with_fault(VARNEL_BINARY, args, dir, at, "signal");
        EXPECT_EQ(run.result.signal, SIGINT);
        EXPECT_EQ(run.result.out, kBanner) << "said more after the signal";
        EXPECT_EQ(run.result.err, "");
        EXPECT_EQ(run.transfers_after, 0) << "data moved after the signal";
        EXPECT_EQ(strays(dir, {"in.fls"}, "out.hy"),
                  std::vector<std::string>{});
        if (at >= rename_at) {
          ASSERT_TRUE(finished_exists);
          EXPECT_TRUE(test::read_file(dir / "out.hy") == finished);
        } else if (existing) {
          EXPECT_EQ(test::read_file(dir / "out.hy"), old_bytes);
        } else {
          EXPECT_FALSE(fs::exists(dir / "out.hy"));
        }
      }
    }
  }
}

#if !defined(_WIN32)

// The message each failed operation of varnel-check restoring an image must
// give, its status, and what it leaves.
struct CheckExpected {
  int status;
  std::string err;  // the start of the line on standard error
  Left left;
};

CheckExpected check_expects(const Operation& failed, const std::string& mode,
                            bool seek_back) {
  const std::string& op = failed.op;
  const std::string& path = failed.path;
  const std::string reason = "Input/output error";
  const CheckExpected whole{0, "", Left::whole};
  if (path == "rec.hy") {
    if (op == "fopen") {
      return {2, "varnel-check: cannot open \"rec.hy\": " + reason,
              Left::as_it_was};
    }
    // Only ever read: a failed close loses nothing. The size is only for the
    // progress line: without it the file is read all the same, unless it
    // was moved to its end and cannot be taken back.
    if (op == "fclose") {
      // Every call after it fails too, the image's first.
      return mode == "persist"
                 ? CheckExpected{2,
                                 "varnel-check: error writing \"back.fls\": " +
                                     reason,
                                 Left::as_it_was}
                 : whole;
    }
    if ((op == "fseek" || op == "ftell") && !seek_back && mode != "persist") {
      return whole;
    }
    return {2, "varnel-check: error reading \"rec.hy\": " + reason,
            Left::as_it_was};
  }
  if (path == "back.fls") {
    // Opened only to learn whether it may be written, and closed unused: a
    // failed close changes nothing, but every call after it fails too, the
    // reads of the record file first.
    if (op == "fclose") {
      return mode == "persist"
                 ? CheckExpected{2,
                                 "varnel-check: error reading \"rec.hy\": " +
                                     reason,
                                 Left::as_it_was}
                 : whole;
    }
    return {2, "varnel-check: cannot create \"back.fls\": " + reason,
            Left::as_it_was};
  }
  if ((op == "open" || op == "fdopen") && is_temporary(path)) {
    return mode == "persist"
               ? CheckExpected{2,
                               "varnel-check: cannot create \"back.fls\": " +
                                   reason,
                               Left::as_it_was}
               : whole;
  }
  const std::string error =
      "varnel-check: error writing \"back.fls\": " + reason;
  if (path == ".") {
    return {2, error, Left::whole};
  }
  return {2, error, Left::as_it_was};
}

// varnel-check writing an image to back.fls with `args`, every file
// operation failed in turn, with its standard error on a terminal so that it
// measures the record file too. The records are one run of three blocks at
// 000000, so that -o's image and the flash image are the same; `written` is
// the line that closes the report once it is written.
void sweep_image_writing(const std::vector<std::string>& args,
                         const std::string& written) {
  const test::ScratchDir dir;
  ASSERT_NO_FATAL_FAILURE(test::make_records("0", 3, "rec.hy", dir));
  fs::remove(dir / "in.fls");
  const Bytes image = test::numbered_image(3);
  const Bytes old_bytes = {'o', 'l', 'd'};
  const std::string report =
      "\"rec.hy\": valid\nrecords: 3\ndata bytes: 24576\n"
      "run 1: 000000 to 005FFF (3 records)\n"
      "start address for varnel: 000000\n";

  for (const bool existing : {false, true}) {
    SCOPED_TRACE(existing ? "over an old image" : "no image yet");
    const auto reset = [&] {
      reset_output(dir, "back.fls", existing, old_bytes);
    };
    reset();
    const SweepRun count = run_with_fault(VARNEL_CHECK_BINARY, args, dir, 0,
                                          "once", Errors::terminal);
    ASSERT_EQ(count.result.exit_status, 0);
    ASSERT_EQ(count.result.out, report + written);
    ASSERT_EQ(test::read_file(dir / "back.fls"), image);
    // The size taken (3), the record file read, the image written, flushed,
    // synced, closed and renamed.
    ASSERT_GE(count.calls, 12);

    for (const std::string mode : {"once", "persist", "short"}) {
      for (long at = 1; at <= count.calls; ++at) {
        SCOPED_TRACE(mode + ", operation " + std::to_string(at));
        reset();
        const SweepRun run = run_with_fault(VARNEL_CHECK_BINARY, args, dir, at,
                                            mode, Errors::terminal);
        SCOPED_TRACE("failed: " + run.failed.op + " " + run.failed.path);
        EXPECT_EQ(test::read_file(dir / "rec.hy").size(), 3U * 8201U);
        EXPECT_EQ(strays(dir, {"rec.hy"}, "back.fls"),
                  std::vector<std::string>{})
            << "a temporary file was left";
        CheckExpected expected{0, "", Left::whole};
        if (run.failed.op == "nothing") {
          // Nothing failed at this call: the restore must be whole.
        } else if (mode == "short") {
          // A read that comes up short is the end of the file: a record cut
          // short, but for the last read, which finds the end anyway. A write
          // that does is a failed write.
          const bool last_read = std::none_of(
              count.trace.begin() + at, count.trace.end(),
              [](const Operation& each) { return each.op == "fread"; });
          if (run.failed.op == "fwrite") {
            expected = {2, "varnel-check: error writing \"back.fls\"",
                        Left::as_it_was};
          } else if (!last_read) {
            expected = {1, "varnel-check: \"rec.hy\": record ",
                        Left::as_it_was};
          }
        } else {
          // The second seek of the record file takes it back to its start.
          const auto fseeks = std::count_if(
              count.trace.begin(), count.trace.begin() + (at - 1),
              [](const Operation& each) { return each.op == "fseek"; });
          expected = check_expects(run.failed, mode,
                                   run.failed.op == "fseek" && fseeks == 1);
        }
        EXPECT_EQ(run.result.exit_status, expected.status);
        EXPECT_EQ(run.result.err.rfind(expected.err, 0), 0U) << run.result.err;
        if (expected.status == 0) {
          EXPECT_EQ(run.result.out, report + written);
        } else {
          EXPECT_EQ(run.result.out.find("image written"), std::string::npos);
        }
        expect_left(dir, "back.fls", expected.left, existing, old_bytes, image);
      }
    }
  }
}

#endif

TEST(FaultSweep, EveryFileOperationOfARestoreFailedInTurn) {
  SKIP_WITHOUT_PRELOAD();
#if !defined(_WIN32)
  sweep_image_writing({"-o", "back.fls", "rec.hy"},
                      "image written to \"back.fls\"\n");
#endif
}

// The flash image is written once the records are read: a write that fails
// there leaves nothing, as a write during the walk does.
TEST(FaultSweep, EveryFileOperationOfAFlashImageFailedInTurn) {
  SKIP_WITHOUT_PRELOAD();
#if !defined(_WIN32)
  sweep_image_writing({"--flash-image", "back.fls", "rec.hy"},
                      "flash image written to \"back.fls\" (from 000000 to "
                      "005FFF, 1 run, 0 bytes filled)\n");
#endif
}

// SIGINT before each file operation of varnel-check writing an image to
// back.fls with `args`, from one run of three blocks at 000000.
void sweep_interrupted_image_writing(const std::vector<std::string>& args) {
  const test::ScratchDir dir;
  // Three records: each read of a header and of data in turn.
  ASSERT_NO_FATAL_FAILURE(test::make_records("0", 3, "rec.hy", dir));
  fs::remove(dir / "in.fls");
  const Bytes image = test::numbered_image(3);
  const Bytes old_bytes = {'o', 'l', 'd'};
  for (const bool existing : {false, true}) {
    SCOPED_TRACE(existing ? "over an old image" : "no image yet");
    const auto reset = [&] {
      reset_output(dir, "back.fls", existing, old_bytes);
    };
    reset();
    const SweepRun count =
        run_with_fault(VARNEL_CHECK_BINARY, args, dir, 0, "once");
    ASSERT_EQ(count.result.exit_status, 0);
    const long rename_at = place_of(count.trace, "rename");
    expect_synced_around_the_rename(count.trace);

    for (long at = 1; at <= count.calls; ++at) {
      SCOPED_TRACE(signalled_before(count, at));
      reset();
      const SweepRun run =
          run_with_fault(VARNEL_CHECK_BINARY, args, dir, at, "signal");
      EXPECT_EQ(run.result.signal, SIGINT);
      EXPECT_EQ(run.result.err, "");
      // The report is written before the image is published, and nothing
      // after an interruption.
      EXPECT_EQ(run.result.out.find("image written"), std::string::npos);
      EXPECT_EQ(run.transfers_after, 0) << "data moved after the signal";
      EXPECT_EQ(strays(dir, {"rec.hy"}, "back.fls"),
                std::vector<std::string>{});
      expect_left(dir, "back.fls",
                  at < rename_at ? Left::as_it_was : Left::whole, existing,
                  old_bytes, image);
    }
  }
}

TEST(FaultSweep, RestoreInterruptedBeforeEveryOperation) {
  SKIP_WITHOUT_PRELOAD();
  sweep_interrupted_image_writing({"-o", "back.fls", "rec.hy"});
}

TEST(FaultSweep, FlashImageInterruptedBeforeEveryOperation) {
  SKIP_WITHOUT_PRELOAD();
  sweep_interrupted_image_writing({"--flash-image", "back.fls", "rec.hy"});
}

// varnel-check comparing a record file with an image, each file operation
// failed in turn: a file that cannot be opened or read is named with its
// reason, a read cut short is the end of that file, and nothing else is
// said but the answer.
TEST(FaultSweep, EveryFileOperationOfACompareFailedInTurn) {
  SKIP_WITHOUT_PRELOAD();
#if !defined(_WIN32)
  const test::ScratchDir dir;
  ASSERT_NO_FATAL_FAILURE(test::make_records("0", 3, "rec.hy", dir));
  fs::rename(dir / "in.fls", dir / "img.fls");
  const std::vector<std::string> args = {"-c", "img.fls", "rec.hy"};
  const std::string answer =
      "\"rec.hy\": valid\nrecords: 3\ndata bytes: 24576\n"
      "run 1: 000000 to 005FFF (3 records)\n"
      "start address for varnel: 000000\n"
      "holds \"img.fls\" exactly\n";
  const SweepRun count =
      run_with_fault(VARNEL_CHECK_BINARY, args, dir, 0, "once");
  ASSERT_EQ(count.result.exit_status, 0);
  ASSERT_EQ(count.result.out, answer);
  // Both opened, read and closed.
  ASSERT_GE(count.calls, 6);

  for (const std::string mode : {"once", "persist", "short"}) {
    for (long at = 1; at <= count.calls; ++at) {
      SCOPED_TRACE(mode + ", operation " + std::to_string(at));
      const SweepRun run =
          run_with_fault(VARNEL_CHECK_BINARY, args, dir, at, mode);
      const std::string& op = run.failed.op;
      const std::string& path = run.failed.path;
      SCOPED_TRACE("failed: " + op + " " + path);
      int status = 0;
      std::string err;  // how the line on standard error starts
      if (op == "fopen") {
        status = 2;
        err = "varnel-check: cannot open \"" + path + "\": Input/output error";
      } else if (op == "fread" && mode != "short") {
        status = 2;
        err =
            "varnel-check: error reading \"" + path + "\": Input/output error";
      } else if (op == "fread") {
        // The end of that file, but for its last read, which finds the end
        // anyway: the image, 24 KiB, is read in one.
        const bool last_read =
            std::none_of(count.trace.begin() + at, count.trace.end(),
                         [&path](const Operation& each) {
                           return each.op == "fread" && each.path == path;
                         });
        if (!last_read) {
          status = 1;
          err = "varnel-check: \"rec.hy\": record ";
        }
      }
      // A close that fails loses nothing of a file only read.
      EXPECT_EQ(run.result.exit_status, status);
      EXPECT_EQ(run.result.err.rfind(err, 0), 0U) << run.result.err;
      EXPECT_EQ(run.result.err.empty(), err.empty()) << run.result.err;
      if (status == 0) {
        EXPECT_EQ(run.result.out, answer);
      } else {
        EXPECT_EQ(run.result.out.find("holds"), std::string::npos);
      }
      EXPECT_EQ(test::names_in(dir.path),
                (std::vector<std::string>{"img.fls", "rec.hy"}));
    }
  }
#endif
}

// SIGINT at the worst moment: after the program has looked for an
// interruption and found none, just before it waits on a FIFO that nobody
// writes to, or reads from. It must still end by it, at once.
TEST(FaultSweep, SignalJustBeforeABlockedWait) {
  SKIP_WITHOUT_PRELOAD();
#if !defined(_WIN32)
  const test::ScratchDir dir;
  test::write_file(dir / "in.fls", test::numbered_image(64));  // 512 KiB
  for (const bool writing : {true, false}) {
    SCOPED_TRACE(writing ? "varnel writing a FIFO nobody reads"
                         : "varnel-check reading a FIFO nobody writes to");
    fs::remove(dir / "fifo");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    const auto child = test::start_program(
        writing ? VARNEL_BINARY : VARNEL_CHECK_BINARY,
        writing ? std::vector<std::string>{"0", "in.fls", "fifo"}
                : std::vector<std::string>{"-o", "back.fls", "fifo"},
        dir.path,
        test::with_environment({{"LD_PRELOAD", FAIL_NTH_IO},
                                {"VARNEL_SIGNAL_WHEN_BLOCKED", "1"}}));
    // The other end, held open and never used.
    const int other =
        ::open((dir / "fifo").c_str(), writing ? O_RDONLY : O_WRONLY);
    ASSERT_GE(other, 0);
    const test::RunResult run = test::wait_for(*child, std::chrono::seconds(5));
    ::close(other);
    EXPECT_FALSE(run.timed_out) << "the signal was missed";
    EXPECT_EQ(run.signal, SIGINT);
    EXPECT_FALSE(fs::exists(dir / "back.fls"));
  }
#endif
}

}  // namespace
}  // namespace varnel
