// The real binaries with each of their file operations failed in turn (open,
// size query, seek, read, write, flush, sync, permissions, extended
// attributes, close, rename), or
// interrupted just before each, through an LD_PRELOAD library that stands
// between the program and the C library.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
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
#if defined(__linux__)
#include <sys/xattr.h>
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
  long late_writes = 0;          // writes to a file after its sync
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

using Environment = std::vector<std::pair<std::string, std::string>>;

// The two roads a new file takes: without a name where the file system can
// make one (here, mostly), and named from the start where it cannot (vfat,
// NFS), which refusing O_TMPFILE stages.
const Environment kUnnamedRoad = {};
const Environment kNamedRoad = {{"VARNEL_REFUSE_TMPFILE", "1"}};

// Runs `program` with its `fail_at`th file operation failed in `mode`, with
// errno `fail_errno` (EIO when 0), and `extra` in its environment.
SweepRun run_with_fault(const std::string& program,
                        const std::vector<std::string>& args,
                        const test::ScratchDir& dir, long fail_at,
                        const std::string& mode, Errors errors = Errors::pipe,
                        int fail_errno = 0, const Environment& extra = {}) {
  const fs::path log = dir / "sweep.log";
  fs::remove(log);
  std::vector<std::pair<std::string, std::string>> variables = {
      {"LD_PRELOAD", test::preload_path(FAIL_NTH_IO)},
      {"VARNEL_FAIL_AT", std::to_string(fail_at)},
      {"VARNEL_FAIL_MODE", mode},
      {"VARNEL_SWEEP_LOG", test::utf8_name(log)},
  };
  if (fail_errno != 0) {
    variables.emplace_back("VARNEL_FAIL_ERRNO", std::to_string(fail_errno));
  }
  variables.insert(variables.end(), extra.begin(), extra.end());
  const auto environment = test::with_environment(variables);
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
  // The library writes it in every run, at the program's end or at the
  // signal: without it the sweep would count nothing, and test nothing.
  EXPECT_TRUE(in.is_open()) << "the library was not loaded: no " << log;
  std::string word;
  in >> word >> run.calls >> word >> run.failed.op;
  if (run.failed.op != "nothing") in >> run.failed.path;
  in >> word >> run.transfers_after >> word >> run.late_writes >> word;
  for (Operation operation; in >> operation.op >> operation.path;) {
    run.trace.push_back(operation);
  }
  // The destination is where the system found it, by its full path: named
  // here from the folder, as the program was given it.
  const std::string folder = test::utf8_name(fs::canonical(dir.path));
  const auto from_folder = [&folder](std::string& path) {
    if (path == folder) {
      path = ".";
    } else if (path.rfind(folder + "/", 0) == 0) {
      path.erase(0, folder.size() + 1);
    }
  };
  from_folder(run.failed.path);
  for (Operation& operation : run.trace) {
    from_folder(operation.path);
  }
  fs::remove(log);
  return run;
}

// A file made without a name, as the library calls it: "FOLDER/(unnamed)".
bool is_unnamed(const std::string& path) {
  return path.size() >= 9 && path.compare(path.size() - 9, 9, "(unnamed)") == 0;
}

// A temporary file: one named "NAME.partial-" and a suffix, or one made
// without a name.
bool is_temporary(const std::string& path) {
  return path.find(".partial-") != std::string::npos || is_unnamed(path);
}

// Where in `trace` (from 1) the output takes its name `output` for good: at
// the link that gives a new file made without a name that name, at the
// rename of a named one, and where it replaces a file, at the removal of the
// old file under the temporary name the exchange gave it (a failure until
// then gives the old file its name back); the count of operations and one
// more when it never does. With `any_link`, at the first naming of all: what
// a signal just before it can no longer stop, as nothing is looked at
// between that and the end.
long publish_place(const std::vector<Operation>& trace,
                   const std::string& output, bool any_link = false) {
  long place = static_cast<long>(trace.size()) + 1;
  for (std::size_t i = 0; i < trace.size(); ++i) {
    const Operation& each = trace[i];
    const bool naming =
        each.op == "renameat2" || each.op == "renameat" ||
        (each.op == "linkat" && (any_link || each.path == output)) ||
        (!any_link && each.op == "unlinkat" && is_temporary(each.path));
    if (naming) {
      place = static_cast<long>(i) + 1;
      if (any_link) {
        break;
      }
    }
  }
  return place;
}

// The output reaches the disk before it takes a name, and its name after:
// the temporary file is synced before it is named or renamed, the folder
// after.
void expect_synced_around_publishing(const std::vector<Operation>& trace,
                                     const std::string& output) {
  const long published = publish_place(trace, output);
  ASSERT_LE(published, static_cast<long>(trace.size()));
  const auto named = trace.begin() + (publish_place(trace, output, true) - 1);
  EXPECT_TRUE(std::any_of(trace.begin(), named, [](const Operation& each) {
    return each.op == "fsync" && each.path != ".";
  })) << "the file was not synced before it took a name";
  EXPECT_TRUE(std::any_of(trace.begin() + published, trace.end(),
                          [](const Operation& each) {
                            return each.op == "fsync" && each.path == ".";
                          }))
      << "the folder was not synced after the file took its name";
}

// Everything the new file keeps of the old one is given to it before the
// sync that covers it: no owner, mode or attribute is set on the new file
// after its sync, under whatever name it has by then.
void expect_kept_before_the_sync(const std::vector<Operation>& trace) {
  const auto named = trace.begin() + (publish_place(trace, "", true) - 1);
  ASSERT_NE(named, trace.end()) << "the new file never took a name";
  // The new file: the last file synced before it took a name.
  const auto sync =
      std::find_if(std::make_reverse_iterator(named), trace.rend(),
                   [](const Operation& each) {
                     return each.op == "fsync" && each.path != ".";
                   });
  ASSERT_NE(sync, trace.rend())
      << "the file was not synced before it took a name";
  const std::string file = sync->path;
  const auto synced = sync.base() - 1;
  const auto is_kept_step = [](const Operation& each) {
    return each.op == "fchown" || each.op == "fchmod" ||
           each.op == "fsetxattr" || each.op == "fremovexattr";
  };
  EXPECT_TRUE(std::any_of(trace.begin(), synced, [&](const Operation& each) {
    return each.path == file && is_kept_step(each);
  })) << "nothing of the old file was given to the new one";
  EXPECT_TRUE(std::none_of(synced, trace.end(), is_kept_step))
      << "the old file's access was given after the sync";
}

// The sweep reaches every call that reads or sets what the new file keeps of
// an old one that has an extended attribute and no ACL: so each of them is
// failed in turn.
void expect_attribute_calls(const std::vector<Operation>& trace) {
  for (const char* op :
       {"flistxattr", "fgetxattr", "fsetxattr", "fremovexattr", "fchmod"}) {
    EXPECT_TRUE(
        std::any_of(trace.begin(), trace.end(),
                    [op](const Operation& each) { return each.op == op; }))
        << op << " never happened";
  }
}

// An extended attribute that the sweeps put on the old file, which the new
// one must keep.
constexpr char kAttributeName[] = "user.varnel-sweep";
constexpr char kAttributeValue[] = "kept";

// The value of the sweep's attribute on `path`, or "" when it has none.
std::string sweep_attribute(const fs::path& path) {
#if defined(__linux__)
  char value[64] = "";
  const ssize_t got =
      ::getxattr(path.c_str(), kAttributeName, value, sizeof value);
  return got > 0 ? std::string(value, static_cast<std::size_t>(got)) : "";
#else
  (void)path;
  return "";
#endif
}

// Puts `old_bytes` at `output` in `dir` when `existing`, and nothing there
// otherwise: how each run of a sweep starts. The old file gets the sweep's
// attribute where the file system holds such attributes: true then.
bool reset_output(const test::ScratchDir& dir, const std::string& output,
                  bool existing, const Bytes& old_bytes) {
  fs::remove(dir / output);
  // What a run before left, where it was allowed to.
  for (const auto& entry : fs::directory_iterator(dir.path)) {
    if (test::utf8_name(entry.path().filename()).find(".partial-") !=
        std::string::npos) {
      fs::remove(entry.path());
    }
  }
  if (!existing) {
    return false;
  }
  test::write_file(dir / output, old_bytes);
#if defined(__linux__)
  return ::setxattr((dir / output).c_str(), kAttributeName, kAttributeValue,
                    std::strlen(kAttributeValue), 0) == 0;
#else
  return false;
#endif
}

// Whatever `output` holds after a run, the old file or the new one, carries
// the attribute the old file had.
void expect_attribute_kept(const test::ScratchDir& dir,
                           const std::string& output, bool marked) {
  if (marked && fs::exists(dir / output)) {
    EXPECT_EQ(sweep_attribute(dir / output), kAttributeValue)
        << "the old file's extended attribute was lost";
  }
}

// "SIGINT before operation 7, fread rec.hy", from the trace of a run.
std::string signalled_before(const SweepRun& count, long at) {
  const Operation& operation = count.trace.at(static_cast<std::size_t>(at - 1));
  return "SIGINT before operation " + std::to_string(at) + ", " + operation.op +
         " " + operation.path;
}

// What the destination must hold after a run.
enum class Left {
  as_it_was,  // the old file, or nothing where there was none
  whole,      // the whole new file
  empty,      // an empty file, where there was none
};

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

// Which temporary files a run may leave: where the system would not remove
// them, as when every call from some point on fails.
enum class Strays {
  none,
  old_or_whole,  // the old file, or the whole new one, nothing between
  any,           // a temporary file made before the failures began, with
                 // whatever it held by then
};

// No temporary file is left in `dir` (`inputs` and `output` are no such
// files) but what `allowed` allows.
void expect_no_strays(const test::ScratchDir& dir,
                      const std::vector<std::string>& inputs,
                      const std::string& output, Strays allowed,
                      const Bytes& old_bytes, const Bytes& whole) {
  const std::vector<std::string> left = strays(dir, inputs, output);
  if (allowed == Strays::none) {
    EXPECT_EQ(left, std::vector<std::string>{}) << "a temporary file was left";
    return;
  }
  for (const std::string& name : left) {
    EXPECT_NE(name.find(".partial-"), std::string::npos) << name << " was left";
    const Bytes bytes = test::read_file(dir / name);
    EXPECT_TRUE(allowed == Strays::any || bytes == old_bytes || bytes == whole)
        << name << " was left, neither the old file nor the new";
  }
}

// Which temporary files failing every call from the `at`th of `trace` on, in
// `mode`, may leave, where `expected` says what the failure itself may.
Strays strays_allowed(const std::vector<Operation>& trace, long at,
                      const std::string& mode, bool expected) {
  const bool named_before = std::any_of(
      trace.begin(), trace.begin() + (at - 1), [](const Operation& each) {
        return (each.op == "open" || each.op == "linkat") &&
               each.path.find(".partial-") != std::string::npos;
      });
  if (mode == "persist" && named_before) {
    return Strays::any;
  }
  return expected ? Strays::old_or_whole : Strays::none;
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

// What a failed operation leads to, told the same way for both programs.
enum class Outcome {
  success,
  no_source,    // the input cannot be opened
  no_size,      // varnel: its size cannot be told
  read_error,   // the input cannot be read
  refused,      // the output cannot be made
  write_error,  // the output cannot be written or named
};

struct RoadExpected {
  Outcome outcome;
  Left left;
  // Temporary names that the system would not let go may be left (see
  // expect_no_strays).
  bool strays = false;
};

// How many of the operations of `trace` before the `at`th are `which`.
template <typename Which>
long count_before(const std::vector<Operation>& trace, long at, Which which) {
  return static_cast<long>(
      std::count_if(trace.begin(), trace.begin() + (at - 1), which));
}

// What failing `failed`, the `at`th operation of `trace` (a run that failed
// nothing), in `mode` does on the output's road (`output` its name); nothing
// for an operation that is not of that road.
std::optional<RoadExpected> road_expects(const std::vector<Operation>& trace,
                                         long at, const Operation& failed,
                                         const std::string& mode,
                                         const std::string& output) {
  const bool persist = mode == "persist";
  const RoadExpected refused{Outcome::refused, Left::as_it_was};
  const RoadExpected whole{Outcome::success, Left::whole};
  const RoadExpected write_error{Outcome::write_error, Left::as_it_was};
  // Where every call fails from here on, the new file's name cannot be
  // removed either.
  const RoadExpected write_error_left{Outcome::write_error, Left::as_it_was,
                                      persist};
  const std::string& op = failed.op;
  const std::string& path = failed.path;
  if (at > publish_place(trace, output)) {
    // Once the file has its name, a failure is said, and it stays.
    return RoadExpected{Outcome::write_error, Left::whole};
  }
  if (path == "." && op == "open" &&
      count_before(trace, at, [](const Operation& each) {
        return each.op == "open" && each.path == ".";
      }) == 1) {
    // Asked whether names can be taken away in the folder: untold, they can.
    return persist ? refused : whole;
  }
  if (path == output && op == "linkat") {
    return write_error;  // a new file takes its own name, or fails
  }
  if (path == output && op == "fstatat") {
    return write_error_left;  // what holds the name, just before the rename
  }
  if (path == "." || path == output) {
    return refused;  // the destination looked at, never written
  }
  if (!is_temporary(path)) {
    return std::nullopt;
  }
  if (op == "open" || op == "faccessat" || op == "linkat") {
    // A file without a name that cannot be made, or named later (no
    // /proc), or a name that cannot be had: a named file is made, or the
    // next name tried.
    return persist ? (op == "linkat" ? write_error : refused) : whole;
  }
  if (op == "fdopen") {
    return refused;
  }
  if (op == "fstat" && count_before(trace, at, [](const Operation& each) {
                         return each.op == "fflush" && is_temporary(each.path);
                       }) == 0) {
    // Whether its writes can wait (varnel): untold, each write waits first.
    return persist ? write_error : whole;
  }
  if (op == "renameat2" || op == "renameat") {
    return write_error_left;
  }
  if (op == "fstatat" || op == "unlinkat") {
    // The old file, exchanged, looked at and removed: until then a failure
    // gives it its name back, unless that fails too.
    return persist ? RoadExpected{Outcome::write_error, Left::whole, true}
                   : write_error;
  }
  return write_error;  // writing the new file, keeping, syncing
}

const std::string kSizeMessage =
    "Source files of size that is not a multiple of 8192 bytes\n"
    "are not supported in this version.\n\n";
const std::string kSuccess = "Output written to \"out.hy\".\n\n";
const std::string kCannotCreate =
    "Cannot create destination file \"out.hy\".\n\n";
const std::string kWriteError =
    "Error writing destination file \"out.hy\".\n\n";

struct Expected {
  std::string message;
  Left left;
  bool strays = false;
};

// The message each failed operation of varnel must give, and what it leaves.
Expected varnel_expects(const std::vector<Operation>& trace, long at,
                        const Operation& failed, const std::string& mode,
                        bool existing) {
  const std::string& op = failed.op;
  if (const std::optional<RoadExpected> road =
          road_expects(trace, at, failed, mode, "out.hy")) {
    switch (road->outcome) {
      case Outcome::success:
        return {kSuccess, road->left, road->strays};
      case Outcome::refused:
        return {kCannotCreate, road->left, road->strays};
      default:
        return {kWriteError, road->left, road->strays};
    }
  }
  if (failed.path != "in.fls") {
    ADD_FAILURE() << "an operation of no file of varnel's";
    return {"", Left::as_it_was};
  }
  if (op == "fopen" || op == "open" || op == "fdopen") {
    return {"Cannot open source file \"in.fls\".\n\n", Left::as_it_was};
  }
  const bool first_look = count_before(trace, at, [](const Operation& each) {
                            return each.op == "fstat" && each.path == "in.fls";
                          }) == 0;
  if (op == "fstat" && first_look) {
    // Its size cannot be told. A name where nothing was gets its empty
    // file, unless every step from here on fails, the publishing ones
    // included: that is then the problem reported, as the file is made
    // before the size is taken.
    if (!existing && mode == "persist") {
      return {kCannotCreate, Left::as_it_was};
    }
    return {kSizeMessage, existing ? Left::as_it_was : Left::empty};
  }
  if (op == "fstat" && mode != "persist") {
    // Whether its reads can wait: untold, each read waits first.
    return {kSuccess, Left::whole};
  }
  return {"Error reading source file \"in.fls\".\n\n", Left::as_it_was};
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

// Every file operation of varnel failed in turn, on the `road` its new file
// takes.
void sweep_varnel(const Environment& road) {
  const test::ScratchDir dir;
  const Bytes image = test::numbered_image(kBlocks);
  test::write_file(dir / "in.fls", image);
  const Bytes old_bytes =
      test::zero_record_file();  // varnel replaces only these
  const std::vector<std::string> args = {"0", "in.fls", "out.hy"};

  // With no record file yet, and over an old one that every failure must
  // leave as it was.
  for (const bool existing : {false, true}) {
    SCOPED_TRACE(existing ? "over an old record file" : "no record file yet");
    bool marked = false;
    const auto reset = [&] {
      marked = reset_output(dir, "out.hy", existing, old_bytes);
    };
    reset();
    const SweepRun count = run_with_fault(VARNEL_BINARY, args, dir, 0, "once",
                                          Errors::pipe, 0, road);
    ASSERT_EQ(count.result.out, kBanner + kSuccess);
    ASSERT_EQ(count.failed.op, "nothing");
    const Bytes whole = test::read_file(dir / "out.hy");
    test::expect_numbered_records(whole, kBlocks);
    expect_attribute_kept(dir, "out.hy", marked);
    if (existing) {
      expect_kept_before_the_sync(count.trace);
      if (marked) {
        expect_attribute_calls(count.trace);
      }
    }
    // At least: 2 opens, 2 batch reads, the read that finds the end, 2 batch
    // writes, the writeback, a flush, a sync, 2 closes and the rename.
    ASSERT_GE(count.calls, 16);

    int short_counts = 0;
    for (const std::string mode : {"once", "persist", "short"}) {
      for (long at = 1; at <= count.calls; ++at) {
        SCOPED_TRACE(mode + ", operation " + std::to_string(at));
        reset();
        const SweepRun run = run_with_fault(VARNEL_BINARY, args, dir, at, mode,
                                            Errors::pipe, 0, road);
        EXPECT_EQ(run.result.exit_status, 0);
        EXPECT_EQ(run.result.err, "");
        EXPECT_EQ(test::read_file(dir / "in.fls"), image)
            << "the source was touched";

        // A short read or write is no error: the program must carry on from
        // it. Operations that cannot come up short go through untouched.
        // Either way the conversion must be whole.
        Expected expected{kSuccess, Left::whole};
        if (mode != "short" && run.failed.op != "nothing") {
          expected =
              varnel_expects(count.trace, at, run.failed, mode, existing);
        } else if (run.failed.op != "nothing") {
          ++short_counts;
        }
        SCOPED_TRACE("failed: " + run.failed.op + " " + run.failed.path);
        EXPECT_EQ(run.result.out, kBanner + expected.message);
        expect_left(dir, "out.hy", expected.left, existing, old_bytes, whole);
        expect_no_strays(dir, {"in.fls"}, "out.hy",
                         strays_allowed(count.trace, at, mode, expected.strays),
                         old_bytes, whole);
        expect_attribute_kept(dir, "out.hy", marked);
      }
    }
    // Two batch reads and two batch writes at the least.
    EXPECT_GE(short_counts, 4);
  }
}

TEST(FaultSweep, EveryFileOperationOfVarnelFailedInTurn) {
  SKIP_WITHOUT_PRELOAD();
  sweep_varnel(kUnnamedRoad);
}

TEST(FaultSweep, EveryFileOperationOfVarnelFailedInTurnOnTheNamedRoad) {
  SKIP_WITHOUT_PRELOAD();
  sweep_varnel(kNamedRoad);
}

// SIGINT just before each operation in turn: the program ends by it, says
// nothing more, reads and writes no more data, and publishes the record file
// only if the signal came once the rename was under way.
void sweep_interrupted_varnel(const Environment& road) {
  const Bytes old_bytes =
      test::zero_record_file();  // varnel replaces only these
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
      const SweepRun count = run_with_fault(VARNEL_BINARY, args, dir, 0, "once",
                                            Errors::pipe, 0, road);
      const bool finished_exists = fs::exists(dir / "out.hy");
      const Bytes finished =
          finished_exists ? test::read_file(dir / "out.hy") : Bytes{};
      const long rename_at = publish_place(count.trace, "out.hy", true);
      if (rename_at <= count.calls) {
        expect_synced_around_publishing(count.trace, "out.hy");
      }

      for (long at = 1; at <= count.calls; ++at) {
        SCOPED_TRACE(signalled_before(count, at));
        reset();
        const SweepRun run = run_with_fault(VARNEL_BINARY, args, dir, at,
                                            "signal", Errors::pipe, 0, road);
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

TEST(FaultSweep, VarnelInterruptedBeforeEveryOperation) {
  SKIP_WITHOUT_PRELOAD();
  sweep_interrupted_varnel(kUnnamedRoad);
}

TEST(FaultSweep, VarnelInterruptedBeforeEveryOperationOnTheNamedRoad) {
  SKIP_WITHOUT_PRELOAD();
  sweep_interrupted_varnel(kNamedRoad);
}

#if !defined(_WIN32)

// The message each failed operation of varnel-check restoring an image must
// give, its status, and what it leaves.
struct CheckExpected {
  int status;
  std::string err;  // the start of the line on standard error
  Left left;
  bool strays = false;
};

CheckExpected check_expects(const std::vector<Operation>& trace, long at,
                            const Operation& failed, const std::string& mode,
                            bool seek_back) {
  const std::string& op = failed.op;
  const std::string& path = failed.path;
  const bool persist = mode == "persist";
  const std::string reason = "Input/output error";
  const std::string write_error =
      "varnel-check: error writing \"back.fls\": " + reason;
  if (const std::optional<RoadExpected> road =
          road_expects(trace, at, failed, mode, "back.fls")) {
    switch (road->outcome) {
      case Outcome::success:
        return {0, "", road->left, road->strays};
      case Outcome::refused:
        return {2, "varnel-check: cannot create \"back.fls\": " + reason,
                road->left, road->strays};
      default:
        return {2, write_error, road->left, road->strays};
    }
  }
  const CheckExpected whole{0, "", Left::whole};
  if (path != "rec.hy") {
    ADD_FAILURE() << "an operation of no file of varnel-check's";
    return whole;
  }
  if (op == "fopen") {
    return {2, "varnel-check: cannot open \"rec.hy\": " + reason,
            Left::as_it_was};
  }
  // Only ever read: a failed close loses nothing. The size is only for the
  // progress line: without it the file is read all the same, unless it was
  // moved to its end and cannot be taken back. Where whether its reads can
  // wait cannot be told, each read waits first, on its descriptor (where
  // this library counts none). Where every call fails from here on, the
  // image's are the first to fail that count.
  if (op == "fclose" || op == "fstat" || (op == "fseek" && !seek_back)) {
    return persist ? CheckExpected{2, write_error, Left::as_it_was} : whole;
  }
  if (op == "ftell" && !persist) {
    return whole;
  }
  return {2, "varnel-check: error reading \"rec.hy\": " + reason,
          Left::as_it_was};
}

// varnel-check writing an image to back.fls with `args`, every file
// operation failed in turn, with its standard error on a terminal so that it
// measures the record file too. The records are one run of three blocks at
// 000000, so that -o's image and the flash image are the same; `written` is
// the line that closes the report once it is written.
void sweep_image_writing(const std::vector<std::string>& args,
                         const std::string& written, const Environment& road) {
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
    bool marked = false;
    const auto reset = [&] {
      marked = reset_output(dir, "back.fls", existing, old_bytes);
    };
    reset();
    const SweepRun count = run_with_fault(VARNEL_CHECK_BINARY, args, dir, 0,
                                          "once", Errors::terminal, 0, road);
    ASSERT_EQ(count.result.exit_status, 0);
    ASSERT_EQ(count.result.out, report + written);
    ASSERT_EQ(test::read_file(dir / "back.fls"), image);
    expect_attribute_kept(dir, "back.fls", marked);
    if (existing) {
      expect_kept_before_the_sync(count.trace);
      if (marked) {
        expect_attribute_calls(count.trace);
      }
    }
    // The size taken (3), the record file read, the image written, flushed,
    // synced, closed and renamed.
    ASSERT_GE(count.calls, 12);

    for (const std::string mode : {"once", "persist", "short"}) {
      for (long at = 1; at <= count.calls; ++at) {
        SCOPED_TRACE(mode + ", operation " + std::to_string(at));
        reset();
        const SweepRun run = run_with_fault(VARNEL_CHECK_BINARY, args, dir, at,
                                            mode, Errors::terminal, 0, road);
        SCOPED_TRACE("failed: " + run.failed.op + " " + run.failed.path);
        EXPECT_EQ(test::read_file(dir / "rec.hy").size(), 3U * 8201U);
        CheckExpected expected{0, "", Left::whole};
        if (run.failed.op == "nothing") {
          // Nothing failed at this call: the restore must be whole.
        } else if (mode == "short") {
          // A read that comes up short is the end of the file: a record cut
          // short, but for the last read, which finds the end anyway. A
          // stream's write that does is a failed write; a vectored write
          // that does is written on from where it stopped. The old image's
          // first bytes are read on to its end.
          const bool last_read = std::none_of(
              count.trace.begin() + at, count.trace.end(),
              [](const Operation& each) { return each.op == "fread"; });
          if (run.failed.op == "fwrite") {
            expected = {2, "varnel-check: error writing \"back.fls\"",
                        Left::as_it_was};
          } else if (run.failed.op == "fread" && !last_read) {
            expected = {1, "varnel-check: \"rec.hy\": record ",
                        Left::as_it_was};
          }
        } else {
          // The second seek of the record file takes it back to its start.
          const auto fseeks = std::count_if(
              count.trace.begin(), count.trace.begin() + (at - 1),
              [](const Operation& each) { return each.op == "fseek"; });
          expected = check_expects(count.trace, at, run.failed, mode,
                                   run.failed.op == "fseek" && fseeks == 1);
        }
        expect_no_strays(dir, {"rec.hy"}, "back.fls",
                         strays_allowed(count.trace, at, mode, expected.strays),
                         old_bytes, image);
        EXPECT_EQ(run.result.exit_status, expected.status);
        EXPECT_EQ(run.result.err.rfind(expected.err, 0), 0U) << run.result.err;
        if (expected.status == 0) {
          EXPECT_EQ(run.result.out, report + written);
        } else {
          EXPECT_EQ(run.result.out.find("image written"), std::string::npos);
        }
        expect_left(dir, "back.fls", expected.left, existing, old_bytes, image);
        expect_attribute_kept(dir, "back.fls", marked);
      }
    }
  }
}

#endif

TEST(FaultSweep, EveryFileOperationOfARestoreFailedInTurn) {
  SKIP_WITHOUT_PRELOAD();
#if !defined(_WIN32)
  sweep_image_writing({"-o", "back.fls", "rec.hy"},
                      "image written to \"back.fls\"\n", kUnnamedRoad);
#endif
}

TEST(FaultSweep, EveryFileOperationOfARestoreFailedInTurnOnTheNamedRoad) {
  SKIP_WITHOUT_PRELOAD();
#if !defined(_WIN32)
  sweep_image_writing({"-o", "back.fls", "rec.hy"},
                      "image written to \"back.fls\"\n", kNamedRoad);
#endif
}

// The flash image is written once the records are read: a write that fails
// there leaves nothing, as a write during the walk does.
TEST(FaultSweep, EveryFileOperationOfAFlashImageFailedInTurn) {
  SKIP_WITHOUT_PRELOAD();
#if !defined(_WIN32)
  sweep_image_writing({"--flash-image", "back.fls", "rec.hy"},
                      "flash image written to \"back.fls\" (from 000000 to "
                      "005FFF, 1 run, 0 bytes filled)\n",
                      kUnnamedRoad);
#endif
}

// SIGINT before each file operation of varnel-check writing an image to
// back.fls with `args`, from one run of three blocks at 000000.
void sweep_interrupted_image_writing(const std::vector<std::string>& args,
                                     const Environment& road) {
  const test::ScratchDir dir;
  // 130 records, more than the 1 MiB read at a time: the image's first
  // batch is written between two reads.
  ASSERT_NO_FATAL_FAILURE(test::make_records("0", 130, "rec.hy", dir));
  fs::remove(dir / "in.fls");
  const Bytes image = test::numbered_image(130);
  const Bytes old_bytes = {'o', 'l', 'd'};
  for (const bool existing : {false, true}) {
    SCOPED_TRACE(existing ? "over an old image" : "no image yet");
    const auto reset = [&] {
      reset_output(dir, "back.fls", existing, old_bytes);
    };
    reset();
    const SweepRun count = run_with_fault(VARNEL_CHECK_BINARY, args, dir, 0,
                                          "once", Errors::pipe, 0, road);
    ASSERT_EQ(count.result.exit_status, 0);
    const long rename_at = publish_place(count.trace, "back.fls", true);
    expect_synced_around_publishing(count.trace, "back.fls");

    for (long at = 1; at <= count.calls; ++at) {
      SCOPED_TRACE(signalled_before(count, at));
      reset();
      const SweepRun run = run_with_fault(VARNEL_CHECK_BINARY, args, dir, at,
                                          "signal", Errors::pipe, 0, road);
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

// Nothing is written to the output after it is sent to the disk: what a
// write after the sync adds (the last bytes a buffered stream still holds,
// written by its close) could be lost in a power cut, under a name that
// says the file is whole. A restored image of 5000 bytes, no multiple of
// 4096, leaves part of a buffer; so does a record file of 8201 bytes.
TEST(FaultSweep, NothingIsWrittenAfterTheSync) {
  SKIP_WITHOUT_PRELOAD();
  const test::ScratchDir dir;
  // One record of 5000 bytes at 0, its last byte 01: the data sum is 1, so
  // the data checksum is FF; bytes 1 to 7 are 00 00 00 FF 00 13 88, which sum
  // to 9A, so the header checksum is 9A ^ FF = 65.
  Bytes data(5000, 0x00);
  data.back() = 0x01;
  test::write_file(
      dir / "rec.hy",
      test::concat(
          {{0x0B, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x13, 0x88, 0x65}, data}));
  test::write_file(dir / "in.fls", test::block_filled(0x01));
  const struct {
    std::string why;
    std::string program;
    std::vector<std::string> args;
    std::string output;
    Bytes whole;
  } cases[] = {
      {"varnel-check restoring 5000 bytes",
       VARNEL_CHECK_BINARY,
       {"-o", "back.fls", "rec.hy"},
       "back.fls",
       data},
      // A block of 01 at 0: the sum is 0, the header the all-zero block's.
      {"varnel writing one record",
       VARNEL_BINARY,
       {"0", "in.fls", "out.hy"},
       "out.hy",
       test::concat({{0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0xDF},
                     test::block_filled(0x01)})},
  };
  for (const auto& c : cases) {
    for (const Environment& road : {kUnnamedRoad, kNamedRoad}) {
      SCOPED_TRACE(c.why);
      SCOPED_TRACE(road.empty() ? "unnamed road" : "named road");
      const SweepRun run = run_with_fault(c.program, c.args, dir, 0, "once",
                                          Errors::pipe, 0, road);
      EXPECT_EQ(run.result.err, "");
      EXPECT_EQ(test::read_file(dir / c.output), c.whole);
      EXPECT_TRUE(std::any_of(
          run.trace.begin(), run.trace.end(),
          [](const Operation& each) { return each.op == "fsync"; }));
      EXPECT_EQ(run.late_writes, 0) << "written to after its sync";
    }
  }
}

// A temporary name that is taken (EEXIST, as when another user made it
// first) is left to its owner, and another is tried, on both roads: when the
// file is made under it, and when a file made without a name takes it. One
// name taken, two in a row, and every one, when the write fails and nothing
// changes.
TEST(FaultSweep, TakenNamesAreTriedNoMore) {
  SKIP_WITHOUT_PRELOAD();
  const test::ScratchDir dir;
  test::write_file(dir / "in.fls", test::numbered_image(3));
  const std::vector<std::string> args = {"0", "in.fls", "out.hy"};
  const Bytes old_records = test::zero_record_file();
  const struct {
    std::string why;
    Environment road;
    std::string op;  // the operation that takes a temporary name
    std::string refused;
  } roads[] = {
      {"a file named from the start", kNamedRoad, "open", kCannotCreate},
      {"a name given to a file made without one", kUnnamedRoad, "linkat",
       kWriteError},
  };
  for (const auto& road : roads) {
    SCOPED_TRACE(road.why);
    test::write_file(dir / "out.hy", old_records);
    const SweepRun count = run_with_fault(VARNEL_BINARY, args, dir, 0, "once",
                                          Errors::pipe, 0, road.road);
    ASSERT_EQ(count.result.out, kBanner + kSuccess);
    const Bytes whole = test::read_file(dir / "out.hy");
    const auto taken = std::find_if(
        count.trace.begin(), count.trace.end(), [&](const Operation& each) {
          return each.op == road.op &&
                 each.path.find(".partial-") != std::string::npos;
        });
    if (taken == count.trace.end()) {
      ASSERT_EQ(road.op, "linkat");
      GTEST_SKIP() << "this file system names no file made without a name";
    }
    const long at = static_cast<long>(taken - count.trace.begin()) + 1;
    const struct {
      std::string mode;
      int in_a_row;
      bool written;
    } takes[] = {{"once", 1, true}, {"once", 2, true}, {"persist", 1, false}};
    for (const auto& take : takes) {
      SCOPED_TRACE(take.mode + ", " + std::to_string(take.in_a_row) +
                   " in a row");
      test::write_file(dir / "out.hy", old_records);
      Environment environment = road.road;
      environment.emplace_back("VARNEL_FAIL_COUNT",
                               std::to_string(take.in_a_row));
      const SweepRun run =
          run_with_fault(VARNEL_BINARY, args, dir, at, take.mode, Errors::pipe,
                         EEXIST, environment);
      EXPECT_EQ(run.failed.op, road.op);
      EXPECT_EQ(run.result.out,
                kBanner + (take.written ? kSuccess : road.refused));
      EXPECT_TRUE(test::read_file(dir / "out.hy") ==
                  (take.written ? whole : old_records));
      EXPECT_EQ(strays(dir, {"in.fls"}, "out.hy"), std::vector<std::string>{});
    }
  }
}

TEST(FaultSweep, RestoreInterruptedBeforeEveryOperation) {
  SKIP_WITHOUT_PRELOAD();
  sweep_interrupted_image_writing({"-o", "back.fls", "rec.hy"}, kUnnamedRoad);
}

TEST(FaultSweep, RestoreInterruptedBeforeEveryOperationOnTheNamedRoad) {
  SKIP_WITHOUT_PRELOAD();
  sweep_interrupted_image_writing({"-o", "back.fls", "rec.hy"}, kNamedRoad);
}

TEST(FaultSweep, FlashImageInterruptedBeforeEveryOperation) {
  SKIP_WITHOUT_PRELOAD();
  sweep_interrupted_image_writing({"--flash-image", "back.fls", "rec.hy"},
                                  kUnnamedRoad);
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
      } else if (op == "fstat" && mode == "persist" &&
                 std::none_of(count.trace.begin() + at, count.trace.end(),
                              [](const Operation& each) {
                                return each.op == "fstat";
                              })) {
        // Whether their reads can wait cannot be told from here on: each
        // read of a file asked about from here waits first, on its
        // descriptor (where this library counts none); the first read of the
        // other, asked about before, through its stream fails.
        status = 2;
        err = "varnel-check: error reading \"";
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
        test::with_environment({{"LD_PRELOAD", test::preload_path(FAIL_NTH_IO)},
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
