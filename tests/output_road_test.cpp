// The road an output takes, where the system and other processes get in its
// way. What another process does between the moment a program looks at its
// destination and the moment it acts on it: a file put at the name, the
// destination swapped, a folder link turned elsewhere, a FIFO swapped for a
// link to a private file. Each is staged at that very moment through the
// fault sweep's LD_PRELOAD library, which runs a command just before a
// chosen file operation of the real program: no test waits for a window to
// come by chance. Where another user does it, the command runs as nobody.
// And folders that only take new names (chattr +a), and a system without
// /proc.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/numbered_image.h"
#include "tests/test_support.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace varnel {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

#if !defined(_WIN32)

using Environment = std::vector<std::pair<std::string, std::string>>;

struct Operation {
  std::string op;
  std::string path;
};

// The roads a new file takes: without a name where the file system makes
// one, named from the start where it does not (vfat, NFS), and named where
// the file system cannot exchange two names either (vfat before Linux 6.0).
struct Road {
  std::string why;
  Environment environment;
};

const std::vector<Road>& roads() {
  static const std::vector<Road> all = {
      {"a new file without a name", {}},
      {"a new file named from the start", {{"VARNEL_REFUSE_TMPFILE", "1"}}},
      {"no exchange of names",
       {{"VARNEL_REFUSE_TMPFILE", "1"}, {"VARNEL_REFUSE_EXCHANGE", "1"}}},
  };
  return all;
}

const std::string kBanner = "Quenlo to Halvory Converter 0.9a by Orvek\n\n";

// Runs `program` with the library loaded and `extra` in its environment.
test::RunResult run_with_library(const std::string& program,
                                 const std::vector<std::string>& args,
                                 const fs::path& folder,
                                 const Environment& extra) {
  Environment variables = {{"LD_PRELOAD", test::preload_path(FAIL_NTH_IO)}};
  variables.insert(variables.end(), extra.begin(), extra.end());
  return test::run_program(program, args, folder,
                           test::with_environment(variables));
}

// The file operations of an undisturbed run, in order.
std::vector<Operation> operations_of(const std::string& program,
                                     const std::vector<std::string>& args,
                                     const test::ScratchDir& dir,
                                     const fs::path& folder,
                                     const Environment& road) {
  const fs::path log = dir / "operations.log";
  Environment extra = road;
  extra.insert(extra.end(), {{"VARNEL_FAIL_AT", "0"},
                             {"VARNEL_SWEEP_LOG", test::utf8_name(log)}});
  (void)run_with_library(program, args, folder, extra);
  std::ifstream in(log);
  // The counts before the trace are of no use here.
  for (std::string word; in >> word && word != "trace";) {
  }
  std::vector<Operation> operations;
  for (Operation each; in >> each.op >> each.path;) {
    operations.push_back(each);
  }
  in.close();
  fs::remove(log);
  return operations;
}

// The place (from 1) of the first of `operations` that `which` picks after
// the `after`th; 0 when none does.
long place_of(const std::vector<Operation>& operations,
              const std::function<bool(const Operation&)>& which,
              long after = 0) {
  for (auto each = operations.begin() + after; each != operations.end();
       ++each) {
    if (which(*each)) {
      return static_cast<long>(each - operations.begin()) + 1;
    }
  }
  return 0;
}

bool is_temporary(const std::string& path) {
  return path.find(".partial-") != std::string::npos ||
         path.ends_with("(unnamed)");
}

// Just after the new file is sent to the disk: all that is left is to give
// it its name.
long naming_place(const std::vector<Operation>& operations) {
  const long synced = place_of(operations, [](const Operation& each) {
    return each.op == "fsync" && is_temporary(each.path);
  });
  return synced == 0 ? 0 : synced + 1;
}

// Runs `program` as run_with_library does, with `command` run through the
// shell just before its `at`th file operation.
test::RunResult run_racing(const std::string& program,
                           const std::vector<std::string>& args,
                           const fs::path& folder, const Environment& road,
                           long at, const std::string& command) {
  Environment extra = road;
  extra.insert(extra.end(), {{"VARNEL_RACE_AT", std::to_string(at)},
                             {"VARNEL_RACE_COMMAND", command}});
  return run_with_library(program, args, folder, extra);
}

// The words of setpriv that run a command as nobody; empty, with `skip`
// saying why, where that cannot be done here.
std::string as_nobody(std::string& skip) {
  const passwd* nobody = ::getpwnam("nobody");
  if (::geteuid() != 0) {
    skip = "only the superuser can stage what another user does";
  } else if (nobody == nullptr) {
    skip = "no user nobody";
  } else if (!fs::exists("/usr/bin/setpriv") && !fs::exists("/bin/setpriv")) {
    skip = "no setpriv to run a command as nobody";
  } else {
    return "setpriv --reuid=" + std::to_string(nobody->pw_uid) +
           " --regid=" + std::to_string(nobody->pw_gid) + " --clear-groups ";
  }
  return "";
}

// Reads, on a thread of its own, what the FIFO held open as `fifo` (by an
// O_PATH descriptor: whatever its name holds since) gets from its next
// writer, to the end.
struct FifoReader {
  Bytes got;
  std::atomic<bool> done{false};
  std::thread thread;
};

std::string link_to(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

void start_reading(FifoReader& reader, int fifo) {
  reader.thread = test::running_thread([&reader, fifo] {
    const int fd = ::open(link_to(fifo).c_str(), O_RDONLY);
    Bytes buffer(1 << 16);
    for (ssize_t got = 0;
         fd >= 0 && (got = ::read(fd, buffer.data(), buffer.size())) > 0;) {
      reader.got.insert(reader.got.end(), buffer.begin(), buffer.begin() + got);
    }
    if (fd >= 0) {
      ::close(fd);
    }
    reader.done = true;
  });
}

// Ends the reading: a writer that never came is stood in for.
void finish_reading(FifoReader& reader, int fifo) {
  while (!reader.done) {
    const int writer = ::open(link_to(fifo).c_str(), O_WRONLY | O_NONBLOCK);
    if (writer >= 0) {
      ::close(writer);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  reader.thread.join();
}

#endif

#ifdef VARNEL_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

#define SKIP_WITHOUT_LIBRARY()                                               \
  VARNEL_SKIP_ON_WINDOWS(                                                    \
      "the moments are staged through LD_PRELOAD, which Windows lacks");     \
  if (kSanitized) {                                                          \
    GTEST_SKIP() << "the sanitizers' own interceptors must come first; run " \
                    "without them";                                          \
  }

#if !defined(_WIN32)

// A block of 0x01 at address 0 and its record: 8192 ones sum to 0 modulo
// 256, so the header is the all-zero block's, 0B 00 00 00 00 00 20 00 DF.
const Bytes kImage = test::block_filled(0x01);
const Bytes kRecords =
    test::concat({{0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0xDF},
                  test::block_filled(0x01)});
// What a user means to keep: a dump.
const Bytes kDump(16384, 0x5A);

// The commands, each with the output it writes and what it says about it.
struct Command {
  std::string program;
  std::vector<std::string> args;
  std::string output;
  Bytes old_bytes;  // what it may replace
  Bytes made;       // what it makes
  std::string written;
  std::string not_written;  // on standard output, or error for varnel-check
};

std::vector<Command> commands() {
  return {
      {VARNEL_BINARY,
       {"0", "in.fls", "out.hy"},
       "out.hy",
       test::zero_record_file(),
       kRecords,
       kBanner + "Output written to \"out.hy\".\n\n",
       kBanner + "Error writing destination file \"out.hy\".\n\n"},
      {VARNEL_CHECK_BINARY,
       {"-q", "-o", "out.fls", "rec.hy"},
       "out.fls",
       Bytes(100, 'o'),
       kImage,
       "",
       "varnel-check: error writing \"out.fls\": File exists\n"},
  };
}

// The inputs of both commands in `dir`.
void make_inputs(const test::ScratchDir& dir) {
  test::write_file(dir / "in.fls", kImage);
  test::write_file(dir / "rec.hy", kRecords);
  test::write_file(dir / "dump", kDump);
}

// What each command says and leaves when a file takes the output's name
// before the new file is named there: the run ends with the write message,
// the file that came is left alone, and nothing else is left.
void expect_left_alone(const test::RunResult& run, const Command& command,
                       const test::ScratchDir& dir) {
  if (command.program == VARNEL_BINARY) {
    EXPECT_EQ(run.out, command.not_written);
  } else {
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.err, command.not_written);
  }
  EXPECT_TRUE(test::read_file(dir / command.output) == kDump)
      << "the file that came was written over";
  EXPECT_EQ(
      test::names_in(dir.path),
      (std::vector<std::string>{"dump", "in.fls", command.output, "rec.hy"}));
}

#endif

// A file put at a name where nothing was, once the new file is whole: it
// stays, and the run says it could not write.
TEST(Race, FileThatAppearsIsLeftAlone) {
  SKIP_WITHOUT_LIBRARY();
#if !defined(_WIN32)
  for (const Road& road : roads()) {
    for (const Command& command : commands()) {
      SCOPED_TRACE(road.why + ", " + command.program);
      const test::ScratchDir dir;
      make_inputs(dir);
      const long at = naming_place(operations_of(
          command.program, command.args, dir, dir.path, road.environment));
      ASSERT_GT(at, 0) << "the new file was never synced";
      fs::remove(dir / command.output);
      const test::RunResult run =
          run_racing(command.program, command.args, dir.path, road.environment,
                     at, "cp dump " + command.output);
      expect_left_alone(run, command, dir);
    }
  }
#endif
}

// An old file that another takes the place of during the run (`mv dump
// out.hy`): the newcomer stays. Where the file system exchanges names, the
// exchange finds it and gives it its name back; elsewhere the name is
// compared just before the rename.
TEST(Race, DestinationSwappedDuringTheRun) {
  SKIP_WITHOUT_LIBRARY();
#if !defined(_WIN32)
  for (const Road& road : roads()) {
    for (const Command& command : commands()) {
      SCOPED_TRACE(road.why + ", " + command.program);
      const test::ScratchDir dir;
      make_inputs(dir);
      test::write_file(dir / command.output, command.old_bytes);
      const long at = naming_place(operations_of(
          command.program, command.args, dir, dir.path, road.environment));
      ASSERT_GT(at, 0) << "the new file was never synced";
      test::write_file(dir / command.output, command.old_bytes);
      const test::RunResult run = run_racing(
          command.program, command.args, dir.path, road.environment, at,
          "cp dump dump.again && mv dump.again " + command.output);
      expect_left_alone(run, command, dir);
    }
  }
#endif
}

// The output named through a link to a folder (cur/out.hy, cur -> a), and
// the link turned to another folder during the run (ln -sfn b cur): the new
// file goes where the name led when it was looked up, and the other folder's
// file stays.
TEST(Race, FolderLinkTurnedDuringTheRun) {
  SKIP_WITHOUT_LIBRARY();
#if !defined(_WIN32)
  for (const Road& road : roads()) {
    for (const Command& command : commands()) {
      SCOPED_TRACE(road.why + ", " + command.program);
      const test::ScratchDir dir;
      make_inputs(dir);
      fs::create_directory(dir / "a");
      fs::create_directory(dir / "b");
      test::write_file(dir / "b" / command.output, kDump);
      std::vector<std::string> args = command.args;
      std::replace(args.begin(), args.end(), command.output,
                   "cur/" + command.output);
      fs::create_directory_symlink("a", dir / "cur");
      const long at = naming_place(operations_of(command.program, args, dir,
                                                 dir.path, road.environment));
      ASSERT_GT(at, 0) << "the new file was never synced";
      fs::remove(dir / "a" / command.output);
      const test::RunResult run =
          run_racing(command.program, args, dir.path, road.environment, at,
                     "ln -sfn b cur");
      EXPECT_EQ(run.exit_status, 0) << run.err;
      EXPECT_TRUE(test::read_file(dir / "a" / command.output) == command.made);
      EXPECT_TRUE(test::read_file(dir / "b" / command.output) == kDump)
          << "the other folder's file was written over";
      EXPECT_EQ(test::names_in(dir / "a"),
                std::vector<std::string>{command.output});
      EXPECT_EQ(test::names_in(dir / "b"),
                std::vector<std::string>{command.output});
    }
  }
#endif
}

// A FIFO at the name, swapped during the run, just before it is opened to be
// written, for a link to a private file of root's, by nobody in a folder of
// nobody's: root's run writes the FIFO it found, through what it holds of
// it, and the file stays as it was.
TEST(Race, FifoSwappedForALinkToAPrivateFile) {
  SKIP_WITHOUT_LIBRARY();
#if !defined(_WIN32)
  std::string skip;
  const std::string nobody = as_nobody(skip);
  if (nobody.empty()) {
    GTEST_SKIP() << skip;
  }
  const test::ScratchDir dir;
  make_inputs(dir);
  const Bytes secret = {'s', 'e', 'c', 'r', 'e', 't', '\n'};
  test::write_file(dir / "secret", secret);
  ASSERT_EQ(::chmod((dir / "secret").c_str(), 0600), 0);
  fs::create_directory(dir / "theirs");
  const passwd* user = ::getpwnam("nobody");
  ASSERT_EQ(::chown((dir / "theirs").c_str(), user->pw_uid, user->pw_gid), 0);
  ASSERT_EQ(::mkfifo((dir / "theirs/out.hy").c_str(), 0666), 0);
  fs::create_symlink("../secret", dir / "theirs/evil");
  ASSERT_EQ(::lchown((dir / "theirs/evil").c_str(), user->pw_uid, user->pw_gid),
            0);
  const std::vector<std::string> args = {"0", "in.fls", "theirs/out.hy"};
  // The FIFO, held from the start: whatever the name holds later, this is
  // the FIFO varnel found.
  const int fifo = ::open((dir / "theirs/out.hy").c_str(), O_PATH);
  ASSERT_GE(fifo, 0);
  FifoReader clean;
  start_reading(clean, fifo);
  const std::vector<Operation> operations =
      operations_of(VARNEL_BINARY, args, dir, dir.path, {});
  finish_reading(clean, fifo);
  ASSERT_TRUE(clean.got == kRecords);
  // The last look at the name before the first write.
  const long written = place_of(operations, [](const Operation& each) {
    return each.op == "write" || each.op == "fwrite";
  });
  long opened = 0;
  for (long at = 1; at < written; ++at) {
    const Operation& each = operations[static_cast<std::size_t>(at - 1)];
    if ((each.op == "open" || each.op == "fopen") &&
        each.path == "theirs/out.hy") {
      opened = at;
    }
  }
  ASSERT_GT(opened, 0);
  FifoReader racing;
  start_reading(racing, fifo);
  const test::RunResult run =
      run_racing(VARNEL_BINARY, args, dir.path, {}, opened,
                 nobody + "mv -T theirs/evil theirs/out.hy");
  finish_reading(racing, fifo);
  (void)::close(fifo);
  EXPECT_TRUE(racing.got == kRecords) << "the records did not go through it";
  EXPECT_EQ(run.out, kBanner + "Output written to \"theirs/out.hy\".\n\n");
  EXPECT_EQ(test::read_file(dir / "secret"), secret)
      << "root's private file was written";
  EXPECT_TRUE(fs::is_symlink(dir / "theirs/out.hy"));
#endif
}

// A record file at the name, swapped for a FIFO that nobody writes to after
// it was looked at: never read, the run refused at once, and the FIFO left.
TEST(Race, FifoSwappedInIsNeverRead) {
  SKIP_WITHOUT_LIBRARY();
#if !defined(_WIN32)
  const test::ScratchDir dir;
  make_inputs(dir);
  test::write_file(dir / "out.hy", test::zero_record_file());
  const std::vector<std::string> args = {"0", "in.fls", "out.hy"};
  const std::vector<Operation> operations =
      operations_of(VARNEL_BINARY, args, dir, dir.path, {});
  // The second look: the first finds what is there, the second opens it to
  // read its first bytes.
  const long first = place_of(operations, [](const Operation& each) {
    return each.op == "open" && each.path == "out.hy";
  });
  const long second = place_of(
      operations,
      [](const Operation& each) {
        return each.op == "open" && each.path == "out.hy";
      },
      first);
  ASSERT_GT(second, 0);
  test::write_file(dir / "out.hy", test::zero_record_file());
  Environment extra = {{"LD_PRELOAD", test::preload_path(FAIL_NTH_IO)},
                       {"VARNEL_RACE_AT", std::to_string(second)},
                       {"VARNEL_RACE_COMMAND", "rm out.hy && mkfifo out.hy"}};
  const auto child = test::start_program(VARNEL_BINARY, args, dir.path,
                                         test::with_environment(extra));
  const test::RunResult run = test::wait_for(*child, std::chrono::seconds(30));
  EXPECT_FALSE(run.timed_out) << "it waited on the FIFO";
  EXPECT_EQ(run.out,
            kBanner + "Cannot create destination file \"out.hy\".\n\n");
  EXPECT_TRUE(fs::is_fifo(dir / "out.hy"));
#endif
}

// The file read to judge the destination is the one looked at: another
// record file put in its place in between is refused at once, before
// anything is made, not converted for and then found out.
TEST(Race, FileReadIsTheFileLookedAt) {
  SKIP_WITHOUT_LIBRARY();
#if !defined(_WIN32)
  for (const Command& command : commands()) {
    SCOPED_TRACE(command.program);
    const test::ScratchDir dir;
    make_inputs(dir);
    test::write_file(dir / command.output, command.old_bytes);
    const std::vector<Operation> operations =
        operations_of(command.program, command.args, dir, dir.path, {});
    const auto looks_at = [&command](const Operation& each) {
      return each.op == "open" && each.path == command.output;
    };
    const long second =
        place_of(operations, looks_at, place_of(operations, looks_at));
    ASSERT_GT(second, 0);
    test::write_file(dir / command.output, command.old_bytes);
    test::write_file(dir / "other", command.old_bytes);
    const test::RunResult run =
        run_racing(command.program, command.args, dir.path, {}, second,
                   "mv other " + command.output);
    if (command.program == VARNEL_BINARY) {
      EXPECT_EQ(run.out,
                kBanner + "Cannot create destination file \"out.hy\".\n\n");
    } else {
      EXPECT_EQ(run.exit_status, 2);
      EXPECT_EQ(run.err,
                "varnel-check: cannot create \"out.fls\": Resource "
                "temporarily unavailable\n");
    }
    EXPECT_TRUE(test::read_file(dir / command.output) == command.old_bytes);
    EXPECT_EQ(
        test::names_in(dir.path),
        (std::vector<std::string>{"dump", "in.fls", command.output, "rec.hy"}));
  }
#endif
}

// A temporary file with a name of its own is no more open to others while
// it is written than the file it replaces: a private dump stays private,
// even in the instant before it takes its name, and after a kill.
TEST(Race, TemporaryIsNoMoreOpenThanTheOldFile) {
  SKIP_WITHOUT_LIBRARY();
#if !defined(_WIN32)
  for (const Command& command : commands()) {
    SCOPED_TRACE(command.program);
    const test::ScratchDir dir;
    make_inputs(dir);
    const Environment named = roads()[1].environment;
    test::write_file(dir / command.output, command.old_bytes);
    ASSERT_EQ(::chmod((dir / command.output).c_str(), 0600), 0);
    const std::vector<Operation> operations =
        operations_of(command.program, command.args, dir, dir.path, named);
    // varnel writes its batches with write, varnel-check its image with
    // writev.
    const long writes = place_of(operations, [](const Operation& each) {
      return (each.op == "write" || each.op == "writev" ||
              each.op == "fwrite") &&
             is_temporary(each.path);
    });
    ASSERT_GT(writes, 0);
    test::write_file(dir / command.output, command.old_bytes);
    const test::RunResult run =
        run_racing(command.program, command.args, dir.path, named, writes,
                   "stat -c %a " + command.output + ".partial-* > mode.txt");
    EXPECT_EQ(run.exit_status, 0) << run.err;
    const Bytes mode = test::read_file(dir / "mode.txt");
    EXPECT_EQ(std::string(mode.begin(), mode.end()), "600\n");
  }
#endif
}

#if !defined(_WIN32)

// Runs `words` (a program of the system's) in `dir`; its status, or -1.
int run_tool(const std::vector<std::string>& words, const fs::path& dir) {
  const test::RunResult run = test::run_program(
      words.front(), std::vector<std::string>(words.begin() + 1, words.end()),
      dir);
  return run.exit_status;
}

// Whether a file without a name can be made in `folder`.
bool makes_unnamed_files(const fs::path& folder) {
  const int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY, 0600);
  if (fd < 0) {
    return false;
  }
  ::close(fd);
  return true;
}

#endif

// A folder that only takes new names (chattr +a): no name can be taken away
// there, neither a temporary file's nor the old file's. Where the road would
// need one taken away (a file to replace, or a new file that has to be named
// from the start) the output is refused before anything is made, and nothing
// is left; a new file made without a name only takes its name, and is made.
TEST(AppendOnlyFolder, RefusedBeforeAnythingIsMade) {
  SKIP_WITHOUT_LIBRARY();
#if !defined(_WIN32)
  const test::ScratchDir dir;
  make_inputs(dir);
  fs::create_directory(dir / "log");
  test::write_file(dir / "log/old.hy", test::zero_record_file());
  test::write_file(dir / "log/old.fls", Bytes(100, 'o'));
  if (run_tool({"chattr", "+a", "log"}, dir.path) != 0) {
    GTEST_SKIP() << "chattr +a cannot be set here (it needs the superuser and "
                    "a file system that has the flag)";
  }
  const bool unnamed = makes_unnamed_files(dir / "log");
  const std::string refused_old =
      kBanner + "Cannot create destination file \"log/old.hy\".\n\n";
  const struct {
    std::string why;
    std::string program;
    std::vector<std::string> args;
    Environment road;
    std::string out;
    std::string err;
    std::vector<std::string> left;
  } cases[] = {
      {"varnel over a record file",
       VARNEL_BINARY,
       {"0", "in.fls", "log/old.hy"},
       {},
       refused_old,
       "",
       {"old.fls", "old.hy"}},
      {"varnel-check over an image",
       VARNEL_CHECK_BINARY,
       {"-q", "-o", "log/old.fls", "rec.hy"},
       {},
       "",
       "varnel-check: cannot create \"log/old.fls\": Operation not "
       "permitted\n",
       {"old.fls", "old.hy"}},
      {"varnel to a new name, named from the start",
       VARNEL_BINARY,
       {"0", "in.fls", "log/new.hy"},
       roads()[1].environment,
       kBanner + "Cannot create destination file \"log/new.hy\".\n\n",
       "",
       {"old.fls", "old.hy"}},
      {"varnel to a new name, made without one",
       VARNEL_BINARY,
       {"0", "in.fls", "log/new.hy"},
       {},
       kBanner + "Output written to \"log/new.hy\".\n\n",
       "",
       {"new.hy", "old.fls", "old.hy"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    if (c.road.empty() && c.left.size() == 3 && !unnamed) {
      continue;  // no file without a name here: the case above is the road
    }
    const test::RunResult run =
        run_with_library(c.program, c.args, dir.path, c.road);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(test::names_in(dir / "log"), c.left);
    EXPECT_EQ(test::read_file(dir / "log/old.hy"), test::zero_record_file());
  }
  ASSERT_EQ(run_tool({"chattr", "-a", "log"}, dir.path), 0);
#endif
}

#if !defined(_WIN32)

// The words that run `words` in a mount namespace of their own whose /proc
// is an empty tmpfs, as in a chroot or a small container; empty, with `skip`
// saying why, where none can be made here.
std::vector<std::string> without_proc(const std::vector<std::string>& words,
                                      const test::ScratchDir& dir,
                                      std::string& skip) {
  const std::vector<std::string> shell = {
      "unshare",
      "--mount",
      "sh",
      "-c",
      "mount -t tmpfs none /proc && test ! -e /proc/self && exec \"$@\"",
      "sh"};
  if (test::under_emulator()) {
    skip = "an emulator needs /proc to run the programs";
    return {};
  }
  std::vector<std::string> probe = shell;
  probe.emplace_back("true");
  if (run_tool(probe, dir.path) != 0) {
    skip =
        "no mount namespace of its own can be made here (unshare --mount, "
        "which needs the superuser)";
    return {};
  }
  std::vector<std::string> all = shell;
  all.insert(all.end(), words.begin(), words.end());
  return all;
}

#endif

// Where /proc is not mounted, every output still reaches its name: a file
// made without a name could not be named through /proc, so it is named from
// the start instead.
TEST(NoProc, EveryOutputReachesItsName) {
  VARNEL_SKIP_ON_WINDOWS("/proc is Linux's");
  if (kSanitized) {
    GTEST_SKIP() << "the sanitizers' own runtime reads /proc";
  }
#if !defined(_WIN32)
  for (const Command& command : commands()) {
    for (const bool existing : {false, true}) {
      SCOPED_TRACE(command.program);
      SCOPED_TRACE(existing ? "over an old file" : "a new file");
      const test::ScratchDir dir;
      make_inputs(dir);
      if (existing) {
        test::write_file(dir / command.output, command.old_bytes);
      }
      std::vector<std::string> words = test::binary_words(command.program);
      words.insert(words.end(), command.args.begin(), command.args.end());
      std::string skip;
      const std::vector<std::string> all = without_proc(words, dir, skip);
      if (all.empty()) {
        GTEST_SKIP() << skip;
      }
      const test::RunResult run = test::run_program(
          all.front(), std::vector<std::string>(all.begin() + 1, all.end()),
          dir.path);
      EXPECT_EQ(run.out, command.written);
      EXPECT_EQ(run.err, "");
      EXPECT_TRUE(test::read_file(dir / command.output) == command.made);
      EXPECT_EQ(test::names_in(dir.path),
                (std::vector<std::string>{"dump", "in.fls", command.output,
                                          "rec.hy"}));
    }
  }
#endif
}

// Where /proc is not mounted, a FIFO found is opened to be written by its
// name, the only way left, and used only if it is still the FIFO found: a
// file put in its place just before is left as it was.
TEST(NoProc, FifoTakenByAFileIsNotWritten) {
  SKIP_WITHOUT_LIBRARY();
#if !defined(_WIN32)
  const test::ScratchDir dir;
  make_inputs(dir);
  ASSERT_EQ(::mkfifo((dir / "out.hy").c_str(), 0600), 0);
  const std::vector<std::string> args = {"0", "in.fls", "out.hy"};
  const fs::path log = dir / "operations.log";
  // The library is loaded into varnel alone, not into the shell or mount.
  const auto words = [&](const Environment& variables) {
    std::vector<std::string> all = {"env"};
    for (const auto& [name, value] : variables) {
      all.push_back(name + "=" + value);
    }
    all.emplace_back("LD_PRELOAD=" + test::preload_path(FAIL_NTH_IO));
    for (const std::string& word : test::binary_words(VARNEL_BINARY)) {
      all.push_back(word);
    }
    all.insert(all.end(), args.begin(), args.end());
    return all;
  };
  std::string skip;
  const std::vector<std::string> traced =
      without_proc(words({{"VARNEL_FAIL_AT", "0"},
                          {"VARNEL_SWEEP_LOG", test::utf8_name(log)}}),
                   dir, skip);
  if (traced.empty()) {
    GTEST_SKIP() << skip;
  }
  const int fifo = ::open((dir / "out.hy").c_str(), O_PATH);
  ASSERT_GE(fifo, 0);
  FifoReader clean;
  start_reading(clean, fifo);
  (void)run_tool(traced, dir.path);
  finish_reading(clean, fifo);
  ASSERT_TRUE(clean.got == kRecords);
  std::vector<Operation> operations;
  {
    std::ifstream in(log);
    for (std::string word; in >> word && word != "trace";) {
    }
    for (Operation each; in >> each.op >> each.path;) {
      operations.push_back(each);
    }
  }
  // The last open of the name before the first write: by its name.
  const long written = place_of(
      operations, [](const Operation& each) { return each.op == "write"; });
  long opened = 0;
  for (long at = 1; at < written; ++at) {
    const Operation& each = operations[static_cast<std::size_t>(at - 1)];
    if (each.op == "open" && each.path == "out.hy") {
      opened = at;
    }
  }
  ASSERT_GT(opened, 0);
  const std::vector<std::string> racing = without_proc(
      words({{"VARNEL_RACE_AT", std::to_string(opened)},
             {"VARNEL_RACE_COMMAND", "mv out.hy fifo && cp dump out.hy"}}),
      dir, skip);
  FifoReader reader;
  start_reading(reader, fifo);
  const test::RunResult run = test::run_program(
      racing.front(),
      std::vector<std::string>(racing.begin() + 1, racing.end()), dir.path);
  finish_reading(reader, fifo);
  ::close(fifo);
  EXPECT_EQ(run.out,
            kBanner + "Cannot create destination file \"out.hy\".\n\n");
  EXPECT_TRUE(test::read_file(dir / "out.hy") == kDump)
      << "the file put in the FIFO's place was written";
  EXPECT_TRUE(reader.got.empty());
#endif
}

// An image of the wrong size where nothing was: varnel makes its empty
// record file before it measures the image, so where that file cannot be
// made (the disk is full just as it takes its name), the create message is
// due, not the size message. Nothing is left.
TEST(EmptyRecordFile, ThatCannotBeMadeIsReportedFirst) {
  SKIP_WITHOUT_LIBRARY();
#if !defined(_WIN32)
  const std::vector<std::string> args = {"0", "in.fls", "out.hy"};
  for (const Road& road : roads()) {
    SCOPED_TRACE(road.why);
    const test::ScratchDir dir;
    test::write_file(dir / "in.fls", Bytes(8193, 0x11));
    const long at = naming_place(
        operations_of(VARNEL_BINARY, args, dir, dir.path, road.environment));
    ASSERT_GT(at, 0) << "the empty file was never synced";
    ASSERT_TRUE(fs::remove(dir / "out.hy"));
    Environment extra = road.environment;
    extra.insert(extra.end(), {{"VARNEL_FAIL_AT", std::to_string(at)},
                               {"VARNEL_FAIL_ERRNO", "28"}});  // ENOSPC
    const test::RunResult run =
        run_with_library(VARNEL_BINARY, args, dir.path, extra);
    EXPECT_EQ(run.out,
              kBanner + "Cannot create destination file \"out.hy\".\n\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(test::names_in(dir.path), std::vector<std::string>{"in.fls"});
  }
#endif
}

#if defined(_WIN32)

// Puts `bytes` at `path` where nothing is there yet: false where something
// is.
bool put_new_file(const fs::path& path, const Bytes& bytes) {
  const HANDLE made = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (made == INVALID_HANDLE_VALUE) {
    return false;
  }
  DWORD put = 0;
  const bool written =
      ::WriteFile(made, bytes.data(), static_cast<DWORD>(bytes.size()), &put,
                  nullptr) != 0 &&
      put == bytes.size();
  ::CloseHandle(made);
  return written;
}

#endif

// Windows: while varnel writes its new file (found out by the temporary
// file it makes beside it), a dump takes the output's name: where nothing
// was, or in place of the old record file, which is moved away first. The
// dump stays, and the run says it could not write. Each step that another
// process takes is made so that the test knows it came before varnel named
// its file (the old file moved away still holds the old records; the dump
// is made only where nothing has the name); where varnel was quicker, the
// run is tried again with a larger image.
TEST(Race, DestinationTakenOnWindows) {
#if !defined(_WIN32)
  GTEST_SKIP() << "staged above through LD_PRELOAD; this is Windows' own way";
#else
  const Bytes dump(16384, 0x5A);
  for (const bool existing : {false, true}) {
    SCOPED_TRACE(existing ? "in place of the old file" : "where nothing was");
    const test::ScratchDir dir;
    bool staged = false;
    for (std::size_t blocks = 1024; !staged && blocks <= 16384; blocks *= 4) {
      SCOPED_TRACE(std::to_string(blocks) + " blocks");
      for (const char* name : {"out.hy", "moved.hy"}) {
        fs::remove(dir / name);
      }
      if (existing) {
        test::write_file(dir / "out.hy", test::zero_record_file());
      }
      test::write_file(dir / "in.fls", Bytes(blocks * 8192, 0x01));
      const auto child = test::start_program(
          VARNEL_BINARY, {"0", "in.fls", "out.hy"}, dir.path);
      const auto deadline =
          std::chrono::steady_clock::now() + std::chrono::seconds(60);
      bool writing = false;
      while (!writing && std::chrono::steady_clock::now() < deadline) {
        const std::vector<std::string> names = test::names_in(dir.path);
        writing = std::any_of(names.begin(), names.end(),
                              [](const std::string& name) {
                                return name.starts_with("out.hy.partial-");
                              });
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      staged =
          writing &&
          (!existing ||
           (::MoveFileExW((dir / "out.hy").c_str(), (dir / "moved.hy").c_str(),
                          0) != 0 &&
            test::read_file(dir / "moved.hy") == test::zero_record_file())) &&
          put_new_file(dir / "out.hy", dump);
      const test::RunResult run =
          test::wait_for(*child, std::chrono::seconds(120));
      if (staged) {
        EXPECT_EQ(run.out,
                  test::banner_then(
                      "Error writing destination file \"out.hy\".\n\n"));
        EXPECT_TRUE(test::read_file(dir / "out.hy") == dump)
            << "the file that came was written over";
        std::vector<std::string> names = {"in.fls", "out.hy"};
        if (existing) {
          names.insert(names.begin() + 1, "moved.hy");
        }
        EXPECT_EQ(test::names_in(dir.path), names);
      }
    }
    if (!staged) {
      GTEST_SKIP() << "varnel named its file before another could take the "
                      "name, every time";
    }
  }
#endif
}

}  // namespace
}  // namespace varnel
