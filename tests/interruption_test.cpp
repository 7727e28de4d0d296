// Long runs as people live them: interrupted by Ctrl-C, by a closed terminal
// or a supervisor's SIGTERM, and watched on a terminal. The real binaries,
// real files, real signals.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/numbered_image.h"
#include "tests/test_support.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace varnel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Bytes;

// Long enough, at any speed, that an interruption lands in the middle of the
// run; sparse, so that it costs no disk until converted.
constexpr std::uint64_t kLargeImage = std::uint64_t{8} << 30;
constexpr auto kPatience = 60s;

struct Interruption {
  int signal;
  std::string name;
};

#if defined(_WIN32)
// Why Ctrl-Break cannot be sent to the programs here; nothing where it can.
// Wine 8 refuses to generate it (ERROR_INVALID_HANDLE). The event also
// reaches this process, which use_own_console has made deaf to it.
std::string why_no_ctrl_break() {
  test::use_own_console();
  if (::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, 0) != 0) {
    return "";
  }
  return "Ctrl-Break cannot be generated here: GenerateConsoleCtrlEvent("
         "CTRL_BREAK_EVENT) fails with error " +
         std::to_string(::GetLastError()) + " (Wine 8 generates Ctrl-C only)";
}
#endif

// What each platform can deliver: on Windows Ctrl-C, and Ctrl-Break where it
// can be generated (not under Wine); a console cannot be closed on a test's
// behalf.
std::vector<Interruption> interruptions() {
#if defined(_WIN32)
  if (why_no_ctrl_break().empty()) {
    return {{SIGINT, "Ctrl-C"}, {SIGBREAK, "Ctrl-Break"}};
  }
  return {{SIGINT, "Ctrl-C"}};
#else
  return {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};
#endif
}

// The program ended as an interrupted one does: by the signal's default
// action, or with the console's status for Ctrl-C.
void expect_ended_by(const test::RunResult& run, const Interruption& by) {
  EXPECT_FALSE(run.timed_out) << "still running: the interruption was lost";
#if defined(_WIN32)
  (void)by;
  EXPECT_EQ(static_cast<unsigned>(run.exit_status), 0xC000013AU);
#else
  EXPECT_EQ(run.signal, by.signal);
#endif
}

// A sparse image of `size` bytes whose last byte is 0x5A.
void make_sparse_image(const fs::path& path, std::uint64_t size) {
  { std::ofstream create(path, std::ios::binary); }
  fs::resize_file(path, size);
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
  file.seekp(static_cast<std::streamoff>(size - 1));
  file.put(0x5A);
  ASSERT_TRUE(file.flush());
}

void expect_sparse_image_unchanged(const fs::path& path, std::uint64_t size,
                                   fs::file_time_type written) {
  EXPECT_EQ(fs::file_size(path), size);
  EXPECT_EQ(fs::last_write_time(path), written);
  std::ifstream file(path, std::ios::binary);
  file.seekg(static_cast<std::streamoff>(size - 1));
  EXPECT_EQ(file.get(), 0x5A);
}

// Whether the temporary file of the output for `name` in `dir` holds data:
// on Linux a file without a name that `program` has open in `dir` (the
// system shows it as "DIR/#INODE (deleted)"); elsewhere one named
// "NAME.partial-" and a suffix.
bool temporary_holds_data(const fs::path& dir, const std::string& name,
                          const test::StartedProgram& program) {
  std::error_code error;
#if defined(__linux__)
  const std::string unnamed =
      test::utf8_name(fs::weakly_canonical(dir, error)) + "/#";
  const fs::path descriptors =
      "/proc/" + std::to_string(test::process_id(program)) + "/fd";
  for (const auto& entry : fs::directory_iterator(descriptors, error)) {
    const std::string to = fs::read_symlink(entry.path(), error).string();
    if (!error && to.rfind(unnamed, 0) == 0 &&
        to.find(" (deleted)") != std::string::npos &&
        fs::file_size(entry.path(), error) > 0 && !error) {
      return true;
    }
  }
#else
  (void)program;
#endif
  const std::string prefix = name + ".partial-";
  for (const auto& entry : fs::directory_iterator(dir, error)) {
    if (test::utf8_name(entry.path().filename()).rfind(prefix, 0) == 0 &&
        entry.file_size(error) > 0 && !error) {
      return true;
    }
  }
  return false;
}

// Waits until the output for `name` in `dir` holds data, in its temporary
// file. False if it never does.
bool output_holds_data(const fs::path& dir, const std::string& name,
                       const test::StartedProgram& program) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (std::chrono::steady_clock::now() < deadline) {
    if (temporary_holds_data(dir, name, program)) {
      return true;
    }
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

// Interrupted once the record file holds data: only the banner was printed,
// no record file and no temporary file is left (through a link, nothing is
// made where it leads and the link stays), and the image is untouched.
TEST(Interruption, ConversionLeavesNoRecordFile) {
  test::use_own_console();
  const test::ScratchDir dir;
  make_sparse_image(dir / "big.fls", kLargeImage);
  const fs::file_time_type written = fs::last_write_time(dir / "big.fls");

  struct Destination {
    std::string name;  // given to varnel
    std::string file;  // where the records go
  };
  std::vector<Destination> destinations = {{"out.hy", "out.hy"}};
#if !defined(_WIN32)
  destinations.push_back({"link.hy", "target.hy"});
#endif
  for (const Interruption& by : interruptions()) {
    for (const Destination& to : destinations) {
      SCOPED_TRACE(by.name + ", to " + to.name);
      if (to.name != to.file) {
        fs::create_symlink(to.file, dir / to.name);
      }
      const auto child = test::start_program(
          VARNEL_BINARY, {"270000", "big.fls", to.name}, dir.path);
      ASSERT_TRUE(output_holds_data(dir.path, to.file, *child));
      test::interrupt(*child, by.signal);
      const test::RunResult run = test::wait_for(*child, kPatience);

      expect_ended_by(run, by);
      EXPECT_EQ(run.out, test::banner_then(""));
      EXPECT_EQ(run.err, "");
      std::vector<std::string> left = {"big.fls"};
      if (to.name != to.file) {
        left.push_back(to.name);
      }
      EXPECT_EQ(test::names_in(dir.path), left);
      if (to.name != to.file) {
        EXPECT_TRUE(fs::is_symlink(dir / to.name)) << "the link is left";
        fs::remove(dir / to.name);
      }
      expect_sparse_image_unchanged(dir / "big.fls", kLargeImage, written);
    }
  }
}

// Ended outright while they write, with nothing they could catch, both
// programs leave nothing: on Linux the file being written has no name yet;
// on Windows the system removes it as the program ends.
TEST(Interruption, KilledWhileWritingLeavesNothing) {
  const test::ScratchDir dir;
  make_sparse_image(dir / "big.fls", kLargeImage);
  const fs::file_time_type written = fs::last_write_time(dir / "big.fls");
  test::write_file(dir / "records.hy", test::zero_record_file());
  // 64 Ki blocks: 512 MiB of image to restore.
  make_sparse_image(dir / "image.fls", std::uint64_t{65536} * 8192);
  ASSERT_NO_FATAL_FAILURE(test::convert("0", "image.fls", "rec.hy", dir));
  fs::remove(dir / "image.fls");
  const std::vector<std::string> before = test::names_in(dir.path);
  const struct {
    std::string why;
    std::string program;
    std::vector<std::string> args;
    std::string output;
  } runs[] = {
      {"varnel, a new record file",
       VARNEL_BINARY,
       {"0", "big.fls", "new.hy"},
       "new.hy"},
      {"varnel over a record file",
       VARNEL_BINARY,
       {"0", "big.fls", "records.hy"},
       "records.hy"},
      {"varnel-check restoring an image",
       VARNEL_CHECK_BINARY,
       {"-o", "back.fls", "rec.hy"},
       "back.fls"},
  };
  // Where the file system makes no file without a name, the temporary file
  // has one from the start, and a kill may leave it (on Windows the system
  // removes it).
#if defined(_WIN32)
  const bool named_from_the_start = false;
#else
  const bool named_from_the_start = !test::makes_unnamed_files(dir);
#endif
  for (const auto& run : runs) {
    SCOPED_TRACE(run.why);
    const auto child = test::start_program(run.program, run.args, dir.path);
    ASSERT_TRUE(output_holds_data(dir.path, run.output, *child));
    test::kill_now(*child);
    (void)test::wait_for(*child, kPatience);
    std::vector<std::string> left = test::names_in(dir.path);
    if (named_from_the_start) {
      std::erase_if(left, [&](const std::string& name) {
        return name.starts_with(run.output + ".partial-") &&
               fs::remove(dir / name);
      });
    }
    EXPECT_EQ(left, before);
    EXPECT_EQ(test::read_file(dir / "records.hy"), test::zero_record_file());
  }
  expect_sparse_image_unchanged(dir / "big.fls", kLargeImage, written);
}

// varnel-check interrupted while it writes the image: neither the image nor
// its temporary file is left, only the record file.
TEST(Interruption, CheckLeavesNoImage) {
  test::use_own_console();
  const test::ScratchDir dir;
  // 64 Ki blocks: 512 MiB of image, more than is written before the poll
  // below sees the first of it.
  make_sparse_image(dir / "in.fls", std::uint64_t{65536} * 8192);
  ASSERT_NO_FATAL_FAILURE(test::convert("0", "in.fls", "rec.hy", dir));
  fs::remove(dir / "in.fls");
  const std::uintmax_t records = fs::file_size(dir / "rec.hy");

  for (const Interruption& by : interruptions()) {
    SCOPED_TRACE(by.name);
    const auto child = test::start_program(
        VARNEL_CHECK_BINARY, {"-o", "back.fls", "rec.hy"}, dir.path);
    ASSERT_TRUE(output_holds_data(dir.path, "back.fls", *child));
    test::interrupt(*child, by.signal);
    const test::RunResult run = test::wait_for(*child, kPatience);

    expect_ended_by(run, by);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(test::names_in(dir.path), std::vector<std::string>{"rec.hy"});
    EXPECT_EQ(fs::file_size(dir / "rec.hy"), records);
  }
}

// What the name of an output holds after a run killed outright, counted
// over several runs.
struct KillsSeen {
  int nothing = 0;
  int old = 0;
  int whole = 0;
  int named = 0;      // the whole new file left under its own name beside
  int exchanged = 0;  // the old file left under that name, the new one at
                      // the output's
};

// Makes the inputs of a run in its folder from an image of `blocks` blocks,
// and returns what the whole output of the run holds.
using MakeInputs = std::function<Bytes(std::size_t blocks)>;

// Starts `args` of `program` in `dir` 20 times, each killed outright at
// another moment spread over the time a whole run takes and a little more,
// with and without an old file at `output`, `old_bytes`. Nothing can be
// caught, and still the name holds what it held before or the whole of what
// `make_inputs` returns, never a part. On Linux nothing else is left: the
// temporary file has no name until it is whole; but a replacement takes a
// name of its own an instant before it is exchanged with the old file (no
// call links a file over another), and the old file is removed from that
// name an instant after: a kill in the first instant leaves the new file
// whole beside the old one, in the second the old file beside the new one.
// Elsewhere a temporary file may be left, and its name says whose it is.
void expect_whole_or_nothing(const std::string& program,
                             const std::vector<std::string>& args,
                             const test::ScratchDir& dir,
                             const std::string& output, const Bytes& old_bytes,
                             const MakeInputs& make_inputs) {
  constexpr int kMoments = 20;
  // An image of 64 MiB, 16 MiB under an emulator. Where a whole run still
  // takes long (a sanitized build, a slow machine) a smaller one, so that
  // the forty runs cut short, about 25 times a whole run, take a few seconds:
  // the moments are spread over the run all the same.
  constexpr auto kLongestRun = 200ms;
  constexpr std::size_t kFewestBlocks = 128;
  std::size_t blocks = test::under_emulator() ? 2048 : 8192;
  Bytes whole;
  std::chrono::steady_clock::duration took{};
  for (;;) {
    whole = make_inputs(blocks);
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(test::run_program(program, args, dir.path).exit_status, 0);
    took = std::chrono::steady_clock::now() - started;
    if (took <= kLongestRun * 2 || blocks == kFewestBlocks) {
      break;
    }
    const double shorter = std::chrono::duration<double>(kLongestRun) / took;
    blocks = std::max(
        kFewestBlocks,
        static_cast<std::size_t>(static_cast<double>(blocks) * shorter));
  }

  const std::vector<std::string> inputs = [&] {
    fs::remove(dir / output);
    return test::names_in(dir.path);
  }();
  // Where the file system makes no file without a name, the temporary file
  // has one from the start, and a kill may leave it, whole or not.
  [[maybe_unused]] const bool named_from_the_start =
      !test::makes_unnamed_files(dir);
  for (const bool existing : {false, true}) {
    SCOPED_TRACE(existing ? "over an old file" : "no file yet");
    KillsSeen seen;
    for (int moment = 0; moment < kMoments; ++moment) {
      SCOPED_TRACE("moment " + std::to_string(moment));
      for (const std::string& name : test::names_in(dir.path)) {
        if (std::find(inputs.begin(), inputs.end(), name) == inputs.end()) {
          fs::remove(dir / name);
        }
      }
      if (existing) {
        test::write_file(dir / output, old_bytes);
      }
      const auto child = test::start_program(program, args, dir.path);
      // From the start to a little past the time a whole run took.
      std::this_thread::sleep_for(took * moment * 5 / (4 * (kMoments - 1)));
      test::kill_now(*child);
      (void)test::wait_for(*child, kPatience);

      for (const std::string& name : test::names_in(dir.path)) {
        const bool input =
            std::find(inputs.begin(), inputs.end(), name) != inputs.end();
#if defined(__linux__)
        const bool temporary = name.starts_with(output + ".partial-");
        const bool named = existing && !input && temporary;
        const bool named_whole = named && test::read_file(dir / name) == whole;
        const bool named_old =
            named && test::read_file(dir / name) == old_bytes;
        EXPECT_TRUE(input || name == output || named_whole || named_old ||
                    (named_from_the_start && temporary))
            << name << " was left";
        if (named_whole) {
          EXPECT_TRUE(test::read_file(dir / output) == old_bytes)
              << "the new file named beside another than the old one";
          ++seen.named;
        }
        if (named_old) {
          EXPECT_TRUE(test::read_file(dir / output) == whole)
              << "the old file named beside another than the new one";
          ++seen.exchanged;
        }
#else
        EXPECT_TRUE(input || name == output ||
                    name.rfind(output + ".partial-", 0) == 0)
            << name;
#endif
      }
      if (!fs::exists(dir / output)) {
        EXPECT_FALSE(existing) << "the old file is gone";
        ++seen.nothing;
        continue;
      }
      const Bytes left = test::read_file(dir / output);
      if (existing && left == old_bytes) {
        ++seen.old;
      } else {
        EXPECT_EQ(left.size(), whole.size());
        EXPECT_TRUE(left == whole) << "neither the old file nor the new";
        ++seen.whole;
      }
    }
    std::printf(
        "killed at %d moments: %d left nothing, %d the old file (%d of "
        "them with the whole new file named beside it), %d the whole new "
        "file (%d of them with the old file named beside it)\n",
        kMoments, seen.nothing, seen.old, seen.named, seen.whole,
        seen.exchanged);
  }
}

// varnel killed outright while it converts an image.
TEST(Interruption, ConversionKilledOutrightLeavesOldOrWhole) {
  const test::ScratchDir dir;
  // varnel replaces only a record file.
  ASSERT_NO_FATAL_FAILURE(expect_whole_or_nothing(
      VARNEL_BINARY, {"0", "in.fls", "out.hy"}, dir, "out.hy",
      test::zero_record_file(), [&](std::size_t blocks) {
        test::make_records("0", blocks, "whole.hy", dir);
        Bytes whole = test::read_file(dir / "whole.hy");
        test::expect_numbered_records(whole, blocks);
        return whole;
      }));
}

// varnel-check killed outright while it restores the image of a record file.
TEST(Interruption, RestoreKilledOutrightLeavesOldOrWhole) {
  const test::ScratchDir dir;
  ASSERT_NO_FATAL_FAILURE(expect_whole_or_nothing(
      VARNEL_CHECK_BINARY, {"-o", "back.fls", "rec.hy"}, dir, "back.fls",
      {'o', 'l', 'd'}, [&](std::size_t blocks) {
        test::make_records("0", blocks, "rec.hy", dir);
        fs::remove(dir / "in.fls");
        return test::numbered_image(blocks);
      }));
}

#if !defined(_WIN32)

// Opens a FIFO as its reader or writer on a thread of its own: the open
// blocks until the other end is opened by the program.
struct FifoEnd {
  int fd = -1;
  ~FifoEnd() {
    if (fd >= 0) ::close(fd);
  }
};

void make_fifo(const fs::path& path) {
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
}

#endif

#if defined(_WIN32)

// varnel writing its records to a named pipe that this process serves and
// stops reading: the write blocks until `by` cancels it.
void blocked_pipe_write_gives_up(const Interruption& by) {
  test::use_own_console();
  const test::ScratchDir dir;
  test::write_file(dir / "in.fls", test::numbered_image(1024));  // 8 MiB
  const std::string name = "\\\\.\\pipe\\varnel-blocked-write-" +
                           std::to_string(::GetCurrentProcessId());
  HANDLE pipe =
      ::CreateNamedPipeA(name.c_str(), PIPE_ACCESS_INBOUND,
                         PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
  ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
  const auto child =
      test::start_program(VARNEL_BINARY, {"0", "in.fls", name}, dir.path);
  ASSERT_TRUE(::ConnectNamedPipe(pipe, nullptr) != 0 ||
              ::GetLastError() == ERROR_PIPE_CONNECTED);
  Bytes some(65536);
  DWORD got = 0;
  ASSERT_NE(::ReadFile(pipe, some.data(), static_cast<DWORD>(some.size()), &got,
                       nullptr),
            0);
  ASSERT_GT(got, 0U);
  std::this_thread::sleep_for(300ms);  // the pipe fills; the write blocks

  test::interrupt(*child, by.signal);
  const test::RunResult run = test::wait_for(*child, 10s);
  ::CloseHandle(pipe);
  expect_ended_by(run, by);
  EXPECT_EQ(run.out, test::banner_then(""));
}

#endif

// A write blocked on a destination nobody reads any more: the interruption
// cuts it short and the program ends, rather than writing again for ever.
// The FIFO (on Windows a named pipe) is no regular file, and stays.
TEST(Interruption, BlockedWriteGivesUp) {
#if defined(_WIN32)
  blocked_pipe_write_gives_up({SIGINT, "Ctrl-C"});
#else
  const test::ScratchDir dir;
  test::write_file(dir / "in.fls", test::numbered_image(1024));  // 8 MiB
  make_fifo(dir / "out.hy");
  const auto child =
      test::start_program(VARNEL_BINARY, {"0", "in.fls", "out.hy"}, dir.path);
  FifoEnd reader;
  reader.fd = ::open((dir / "out.hy").c_str(), O_RDONLY);
  ASSERT_GE(reader.fd, 0);
  Bytes some(65536);
  ASSERT_GT(::read(reader.fd, some.data(), some.size()), 0);
  std::this_thread::sleep_for(300ms);  // the pipe fills; the write blocks

  test::interrupt(*child, SIGINT);
  const test::RunResult run = test::wait_for(*child, 10s);
  expect_ended_by(run, {SIGINT, "SIGINT"});
  EXPECT_EQ(run.out, test::banner_then(""));
  EXPECT_TRUE(fs::is_fifo(dir / "out.hy"));
#endif
}

// The same for a read: varnel-check waits on a record file that a slow
// writer has stopped feeding.
TEST(Interruption, BlockedReadGivesUp) {
  VARNEL_SKIP_ON_WINDOWS("a FIFO as record file is POSIX only");
#if !defined(_WIN32)
  const test::ScratchDir dir;
  ASSERT_NO_FATAL_FAILURE(test::make_records("0", 100, "part.hy", dir));
  const Bytes records = test::read_file(dir / "part.hy");
  fs::remove(dir / "in.fls");
  fs::remove(dir / "part.hy");
  make_fifo(dir / "rec.hy");

  const auto child = test::start_program(
      VARNEL_CHECK_BINARY, {"-o", "back.fls", "rec.hy"}, dir.path);
  FifoEnd writer;
  writer.fd = ::open((dir / "rec.hy").c_str(), O_WRONLY);
  ASSERT_GE(writer.fd, 0);
  ASSERT_EQ(::write(writer.fd, records.data(), records.size()),
            static_cast<ssize_t>(records.size()));
  ASSERT_TRUE(output_holds_data(dir.path, "back.fls", *child));

  test::interrupt(*child, SIGTERM);
  const test::RunResult run = test::wait_for(*child, 10s);
  expect_ended_by(run, {SIGTERM, "SIGTERM"});
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(test::names_in(dir.path), std::vector<std::string>{"rec.hy"});
#endif
}

// Ctrl-Break as Ctrl-C: it cancels a blocked write, and the program ends.
TEST(Interruption, CtrlBreak) {
#if defined(_WIN32)
  if (const std::string why = why_no_ctrl_break(); !why.empty()) {
    GTEST_SKIP() << why;
  }
  blocked_pipe_write_gives_up({SIGBREAK, "Ctrl-Break"});
#else
  GTEST_SKIP() << "Ctrl-Break is an event of Windows consoles";
#endif
}

// Closing the console: the handler cancels the main thread's blocked I/O
// and waits while the program removes its unfinished file.
TEST(Interruption, ConsoleClosed) {
#if defined(_WIN32)
  GTEST_SKIP() << "Wine cannot close a console on a test's behalf: closing "
                  "the terminal a program runs on ends it by SIGHUP without "
                  "a CTRL_CLOSE_EVENT, ending its conhost sends none, and "
                  "GenerateConsoleCtrlEvent refuses CTRL_CLOSE_EVENT";
#else
  GTEST_SKIP() << "a closed console is an event of Windows; a closed "
                  "terminal here is SIGHUP, sent in the tests above";
#endif
}

#if !defined(_WIN32)

// Waits until the program is blocked opening a FIFO whose other end nobody
// has opened yet; false if it never is.
bool blocked_opening_fifo(const test::StartedProgram& program) {
  const fs::path wchan =
      "/proc/" + std::to_string(test::process_id(program)) + "/wchan";
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream in(wchan);
    std::string waiting;
    if (in >> waiting && waiting == "wait_for_partner") {
      return true;
    }
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

#endif

// Interrupted while it waits to open the destination (a FIFO with nobody at
// its other end): it ends by the signal, says nothing more, and changes
// nothing. (A FIFO as the source is not waited for: it has no size.)
TEST(Interruption, BeforeTheDestinationIsOpenedNothingChanges) {
  VARNEL_SKIP_ON_WINDOWS("FIFOs are POSIX only");
#if !defined(_WIN32)
  const test::ScratchDir dir;
  test::write_file(dir / "in.fls", test::numbered_image(1));
  make_fifo(dir / "out.hy");
  const std::vector<std::string> before = test::names_in(dir.path);
  const auto child =
      test::start_program(VARNEL_BINARY, {"0", "in.fls", "out.hy"}, dir.path);
  ASSERT_TRUE(blocked_opening_fifo(*child));
  test::interrupt(*child, SIGINT);
  const test::RunResult run = test::wait_for(*child, 10s);
  expect_ended_by(run, {SIGINT, "SIGINT"});
  EXPECT_EQ(run.out, test::banner_then(""));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(test::names_in(dir.path), before);
  EXPECT_EQ(test::read_file(dir / "in.fls"), test::numbered_image(1));
#endif
}

#if !defined(_WIN32)

// Reads everything from `fd` into `into`, `step` bytes at a time with a pause
// after each: a slow reader that stretches a short run past a second.
std::thread read_slowly(int fd, std::size_t step, Bytes& into) {
  return test::running_thread([fd, step, &into] {
    Bytes buffer(step);
    for (;;) {
      const ssize_t got = ::read(fd, buffer.data(), buffer.size());
      if (got <= 0) {
        return;
      }
      into.insert(into.end(), buffer.begin(), buffer.begin() + got);
      std::this_thread::sleep_for(10ms);
    }
  });
}

// All that is left to read on a descriptor that no writer holds any more.
std::string read_rest(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got <= 0) {
      return text;  // the end, or EIO once a terminal's other side is gone
    }
    text.append(buffer, static_cast<std::size_t>(got));
  }
}

// Standard error of the child: the far side of a pseudo-terminal, or of a
// pipe.
enum class StandardError { terminal, pipe };

struct Watched {
  test::RunResult run;
  std::string standard_error;
};

// Runs `program` with its standard error on a terminal or a pipe, and
// `in_child` to set up the rest in the child. `slow_side` runs meanwhile.
Watched run_watched(const std::string& program,
                    const std::vector<std::string>& args,
                    const test::ScratchDir& dir, StandardError to,
                    const std::function<void()>& in_child,
                    const std::function<void()>& slow_side) {
  int near = -1;
  int far = -1;
  if (to == StandardError::terminal) {
    EXPECT_EQ(::openpty(&near, &far, nullptr, nullptr, nullptr), 0);
  } else {
    int ends[2];
    EXPECT_EQ(::pipe(ends), 0);
    near = ends[0];
    far = ends[1];
  }
  const auto child =
      test::start_program(program, args, dir.path, [far, &in_child] {
        if (::dup2(far, STDERR_FILENO) < 0) ::_exit(125);
        in_child();
      });
  ::close(far);
  // What the child writes on its standard error is read as it comes, so
  // that it never waits on it.
  std::string standard_error;
  std::thread watch = test::running_thread(
      [near, &standard_error] { standard_error = read_rest(near); });
  slow_side();
  Watched watched;
  watched.run = test::wait_for(*child, kPatience);
  watch.join();
  ::close(near);
  watched.standard_error = standard_error;
  return watched;
}

#endif

// A conversion stretched past a second by a slow reader of its record file
// (a FIFO): on a terminal, standard error shows the progress line, which is
// gone again when the message comes; on a pipe it shows nothing at all.
// Standard output is the same either way.
TEST(Progress, ConversionOnATerminalOnly) {
  VARNEL_SKIP_ON_WINDOWS("pseudo-terminals are POSIX only");
#if !defined(_WIN32)
  for (const StandardError to :
       {StandardError::terminal, StandardError::pipe}) {
    SCOPED_TRACE(to == StandardError::terminal ? "terminal" : "pipe");
    const test::ScratchDir dir;
    test::write_file(dir / "in.fls", test::numbered_image(2048));  // 16 MiB
    make_fifo(dir / "out.hy");
    Bytes records;
    const Watched watched = run_watched(
        VARNEL_BINARY, {"0", "in.fls", "out.hy"}, dir, to, [] {},
        [&] {
          FifoEnd reader;
          reader.fd = ::open((dir / "out.hy").c_str(), O_RDONLY);
          ASSERT_GE(reader.fd, 0);
          // A pipe's 64 KiB every 10 ms: about 2.6 s for the record file.
          read_slowly(reader.fd, 64 * 1024, records).join();
        });
    EXPECT_EQ(watched.run.exit_status, 0);
    EXPECT_EQ(watched.run.out,
              test::banner_then("Output written to \"out.hy\".\n\n"));
    test::expect_numbered_records(records, 2048);

    const std::string& line = watched.standard_error;
    if (to == StandardError::pipe) {
      EXPECT_EQ(line, "");
      continue;
    }
    EXPECT_NE(line.find(" of 16.0 MiB  "), std::string::npos) << line;
    EXPECT_NE(line.find("%  "), std::string::npos) << line;
    EXPECT_NE(line.find("/s"), std::string::npos) << line;
    // Erased at the end: back to the start of the line, blanks over all of
    // the last text shown, back to the start.
    ASSERT_GE(line.size(), 3U);
    ASSERT_EQ(line.back(), '\r');
    const std::size_t before_blanks = line.rfind('\r', line.size() - 2);
    ASSERT_NE(before_blanks, std::string::npos);
    const std::string blanks =
        line.substr(before_blanks + 1, line.size() - before_blanks - 2);
    EXPECT_EQ(blanks.find_first_not_of(' '), std::string::npos);
    const std::size_t text_start = line.rfind('\r', before_blanks - 1);
    ASSERT_NE(text_start, std::string::npos);
    std::string shown =
        line.substr(text_start + 1, before_blanks - text_start - 1);
    shown.erase(shown.find_last_not_of(' ') + 1);
    EXPECT_NE(shown.find(" of 16.0 MiB  "), std::string::npos) << shown;
    EXPECT_GE(blanks.size(), shown.size());
  }
#endif
}

// varnel-check --list, stretched by a slow reader of its standard output.
TEST(Progress, CheckOnATerminalOnly) {
  VARNEL_SKIP_ON_WINDOWS("pseudo-terminals are POSIX only");
#if !defined(_WIN32)
  const test::ScratchDir dir;
  ASSERT_NO_FATAL_FAILURE(test::make_records("0", 4096, "rec.hy", dir));
  for (const StandardError to :
       {StandardError::terminal, StandardError::pipe}) {
    SCOPED_TRACE(to == StandardError::terminal ? "terminal" : "pipe");
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    // A pipe of one page, so that the reader's pace is the program's: 512
    // bytes every 10 ms, about 2.3 s for the 115 KiB of the listing.
    (void)::fcntl(ends[1], F_SETPIPE_SZ, 4096);
    Bytes listing;
    std::thread reader = read_slowly(ends[0], 512, listing);
    const int write_end = ends[1];
    const Watched watched = run_watched(
        VARNEL_CHECK_BINARY, {"--list", "rec.hy"}, dir, to,
        [write_end] {
          if (::dup2(write_end, STDOUT_FILENO) < 0) ::_exit(125);
        },
        [] {});
    ::close(ends[1]);
    reader.join();
    ::close(ends[0]);

    EXPECT_EQ(watched.run.exit_status, 0);
    EXPECT_EQ(watched.run.err, "");
    // Block k of the numbered image holds k's low byte first and its next
    // byte last; the last, k = 4095 = 0x0FFF, sums to 0xFF + 0x0F = 0x10E,
    // so its checksum is 0xF2. It starts at 4095 * 8201 = 33583095, at
    // 4095 * 0x2000 = 0x1FFE000, kept to 24 bits.
    const std::string text(listing.begin(), listing.end());
    EXPECT_EQ(text.rfind("record offset address length checksum\n"
                         "1 0 000000 2000 00\n"
                         "2 8201 002000 2000 FF\n",
                         0),
              0U);
    const std::string end =
        "4096 33583095 FFE000 2000 F2\n"
        "\"rec.hy\": valid\nrecords: 4096\ndata bytes: 33554432\n"
        "run 1: 000000 to FFFFFF (4096 records)\n"
        "note: records 2049 to 4096 use the addresses of records 1 to 2048 "
        "again: flashed, the later ones overwrite the earlier\n"
        "start address for varnel: 000000\n";
    ASSERT_GE(text.size(), end.size());
    EXPECT_EQ(text.substr(text.size() - end.size()), end);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 4096 + 6);

    const std::string& line = watched.standard_error;
    if (to == StandardError::pipe) {
      EXPECT_EQ(line, "");
    } else {
      // 4096 records of 8201 bytes: 32.04 MiB.
      EXPECT_NE(line.find(" of 32.0 MiB  "), std::string::npos) << line;
      EXPECT_EQ(line.back(), '\r') << "erased at the end";
    }
  }
#endif
}

// A reader that quits early, as `| head -1` does, while varnel-check lists
// the records of a file it checks, or restores: the listing meets a closed
// pipe. With
// SIGPIPE as a shell leaves it, the program dies by it, silently, as filters
// do; with SIGPIPE ignored (`trap '' PIPE`), the report cannot be written, so
// the status is 2. Either way no image and no temporary file is left.
TEST(Interruption, ReaderThatQuitsEarly) {
  VARNEL_SKIP_ON_WINDOWS("SIGPIPE is POSIX only");
#if !defined(_WIN32)
  const test::ScratchDir dir;
  // 4096 rows of the listing, far more than a pipe holds.
  ASSERT_NO_FATAL_FAILURE(test::make_records("0", 4096, "rec.hy", dir));
  fs::remove(dir / "in.fls");
  for (const bool restore : {false, true}) {
    for (const bool ignored : {false, true}) {
      SCOPED_TRACE(ignored ? "SIGPIPE ignored"
                           : "SIGPIPE as a shell leaves it");
      SCOPED_TRACE(restore ? "with -o" : "a check");
      std::vector<std::string> args = {"--list", "rec.hy"};
      if (restore) {
        args = {"--list", "-o", "back.fls", "rec.hy"};
      }
      int ends[2];
      // Close-on-exec: only the copy on the child's standard output writes.
      ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
      const int write_end = ends[1];
      const auto child = test::start_program(
          VARNEL_CHECK_BINARY, args, dir.path, [write_end, ignored] {
            if (ignored) {
              (void)std::signal(SIGPIPE, SIG_IGN);
            }
            if (::dup2(write_end, STDOUT_FILENO) < 0) ::_exit(125);
          });
      ::close(ends[1]);
      // The first line, and no more.
      std::string line;
      char c = 0;
      while (::read(ends[0], &c, 1) == 1 && c != '\n') {
        line.push_back(c);
      }
      ::close(ends[0]);
      const test::RunResult run = test::wait_for(*child, kPatience);

      EXPECT_EQ(line, "record offset address length checksum");
      EXPECT_FALSE(run.timed_out);
      if (ignored) {
        EXPECT_EQ(run.exit_status, 2);
        EXPECT_EQ(run.err, "varnel-check: error writing the report\n");
      } else {
        EXPECT_EQ(run.signal, SIGPIPE);
        EXPECT_EQ(run.err, "");
      }
      EXPECT_EQ(test::names_in(dir.path), std::vector<std::string>{"rec.hy"});
    }
  }
#endif
}

#if !defined(_WIN32)

// What a terminal shows at the end of `raw`, as lines with no blanks at their
// ends: a carriage return takes the cursor back to the start of its line, a
// line feed to the next, and every other byte is written where the cursor is.
std::vector<std::string> screen_of(const std::string& raw) {
  std::vector<std::string> lines(1);
  std::size_t column = 0;
  for (const char c : raw) {
    if (c == '\r') {
      column = 0;
    } else if (c == '\n') {
      lines.emplace_back();
      column = 0;
    } else {
      std::string& line = lines.back();
      if (line.size() <= column) {
        line.resize(column + 1, ' ');
      }
      line[column++] = c;
    }
  }
  for (std::string& line : lines) {
    line.erase(line.find_last_not_of(' ') + 1);
  }
  while (!lines.empty() && lines.back().empty()) {
    lines.pop_back();
  }
  return lines;
}

// The lines of `text`, as they are written.
std::vector<std::string> lines_of(const std::string& text) {
  return screen_of(text);
}

// Feeds `records` into the FIFO at `path`, 64 KiB every 5 ms, as a slow
// network or flasher would.
std::thread feed_slowly(const fs::path& path, const Bytes& records) {
  return test::running_thread([path, &records] {
    FifoEnd writer;
    writer.fd = ::open(path.c_str(), O_WRONLY);
    if (writer.fd < 0) {
      return;
    }
    for (std::size_t at = 0; at < records.size();) {
      const std::size_t step =
          std::min<std::size_t>(65536, records.size() - at);
      const ssize_t put = ::write(writer.fd, records.data() + at, step);
      if (put <= 0) {
        return;
      }
      at += static_cast<std::size_t>(put);
      std::this_thread::sleep_for(5ms);
    }
  });
}

#endif

// Both commands as a user at a terminal sees them, with standard output and
// standard error on it: a run shorter than a second shows no progress line at
// all, only the messages.
TEST(Progress, ShortRunsShowNone) {
  VARNEL_SKIP_ON_WINDOWS("pseudo-terminals are POSIX only");
#if !defined(_WIN32)
  const test::ScratchDir dir;
  test::write_file(dir / "in.fls", test::numbered_image(2));
  const test::RunResult converted =
      test::wait_for(*test::start_on_terminal(
                         VARNEL_BINARY, {"0", "in.fls", "out.hy"}, dir.path),
                     kPatience);
  EXPECT_EQ(converted.exit_status, 0);
  EXPECT_EQ(converted.out,
            "Quenlo to Halvory Converter 0.9a by Orvek\r\n\r\n"
            "Output written to \"out.hy\".\r\n\r\n");
  const test::RunResult checked = test::wait_for(
      *test::start_on_terminal(VARNEL_CHECK_BINARY, {"out.hy"}, dir.path),
      kPatience);
  EXPECT_EQ(checked.exit_status, 0);
  EXPECT_EQ(checked.out,
            "\"out.hy\": valid\r\nrecords: 2\r\ndata bytes: 16384\r\n"
            "run 1: 000000 to 003FFF (2 records)\r\n"
            "start address for varnel: 000000\r\n");
#endif
}

// A conversion on the user's terminal, stretched past a second by a slow
// reader of its record file: the progress line comes and goes, and the
// terminal ends showing the messages alone.
TEST(Progress, ConversionOnTheUsersTerminal) {
  VARNEL_SKIP_ON_WINDOWS("pseudo-terminals are POSIX only");
#if !defined(_WIN32)
  const test::ScratchDir dir;
  test::write_file(dir / "in.fls", test::numbered_image(2048));  // 16 MiB
  make_fifo(dir / "out.hy");
  const auto child = test::start_on_terminal(
      VARNEL_BINARY, {"0", "in.fls", "out.hy"}, dir.path, 60);
  Bytes records;
  {
    FifoEnd reader;
    reader.fd = ::open((dir / "out.hy").c_str(), O_RDONLY);
    ASSERT_GE(reader.fd, 0);
    read_slowly(reader.fd, 64 * 1024, records).join();
  }
  const test::RunResult run = test::wait_for(*child, kPatience);
  EXPECT_EQ(run.exit_status, 0);
  test::expect_numbered_records(records, 2048);
  EXPECT_NE(run.out.find(" of 16.0 MiB  "), std::string::npos) << run.out;
  EXPECT_EQ(screen_of(run.out), (std::vector<std::string>{
                                    "Quenlo to Halvory Converter 0.9a by Orvek",
                                    "", "Output written to \"out.hy\"."}));
#endif
}

// varnel-check --list on the user's terminal, its record file coming slowly
// through a FIFO: each row of the listing stands on a line of its own, with
// the progress line erased before it and drawn again after, at most ten
// times a second; at the end the terminal shows the listing and the report
// alone.
TEST(Progress, ListingRowsStandAloneOnTheTerminal) {
  VARNEL_SKIP_ON_WINDOWS("pseudo-terminals are POSIX only");
#if !defined(_WIN32)
  const test::ScratchDir dir;
  ASSERT_NO_FATAL_FAILURE(test::make_records("0", 4096, "whole.hy", dir));
  const Bytes records = test::read_file(dir / "whole.hy");
  // What a pipe gets for the same file, which a test above works out by hand,
  // with the FIFO's name.
  std::string listing =
      test::run_program(VARNEL_CHECK_BINARY, {"--list", "whole.hy"}, dir.path)
          .out;
  listing.replace(listing.find("\"whole.hy\""), 10, "\"fifo.hy\"");
  const std::vector<std::string> expected = lines_of(listing);
  ASSERT_EQ(expected.size(), 1U + 4096 + 6);
  EXPECT_EQ(expected[4096], "4096 33583095 FFE000 2000 F2");
  make_fifo(dir / "fifo.hy");

  const auto started = std::chrono::steady_clock::now();
  const auto child = test::start_on_terminal(
      VARNEL_CHECK_BINARY, {"--list", "fifo.hy"}, dir.path, 80);
  std::thread writer = feed_slowly(dir / "fifo.hy", records);
  writer.join();
  const test::RunResult run = test::wait_for(*child, kPatience);
  const std::chrono::duration<double> took =
      std::chrono::steady_clock::now() - started;
  EXPECT_EQ(run.exit_status, 0);

  // A pipe has no size: bytes and rate alone.
  const std::size_t drawn = [&run] {
    std::size_t count = 0;
    for (std::size_t at = run.out.find("MiB/s"); at != std::string::npos;
         at = run.out.find("MiB/s", at + 1)) {
      ++count;
    }
    return count;
  }();
  EXPECT_GT(drawn, 0U) << "no progress line: the run was too quick";
  EXPECT_EQ(run.out.find("B of "), std::string::npos);
  // Each row is followed by the line drawn again; new text at most ten times
  // a second.
  std::set<std::string> texts;
  for (std::size_t at = run.out.find("  "); at != std::string::npos;
       at = run.out.find("\r  ", at + 1)) {
    const std::size_t end = run.out.find_first_of("\r\n", at + 1);
    texts.insert(run.out.substr(at, end - at));
  }
  EXPECT_LE(static_cast<double>(texts.size()), 10 * took.count() + 2);
  EXPECT_EQ(screen_of(run.out), expected);
#endif
}

// A signal ignored when the program starts, as nohup ignores SIGHUP, stays
// ignored: the conversion goes on to the end.
TEST(Interruption, SignalIgnoredAtStartStaysIgnored) {
  VARNEL_SKIP_ON_WINDOWS("signals are POSIX only");
#if !defined(_WIN32)
  const test::ScratchDir dir;
  test::write_file(dir / "in.fls", test::numbered_image(2048));  // 16 MiB
  make_fifo(dir / "out.hy");
  const auto child =
      test::start_program(VARNEL_BINARY, {"0", "in.fls", "out.hy"}, dir.path,
                          [] { (void)std::signal(SIGHUP, SIG_IGN); });
  Bytes records;
  {
    FifoEnd reader;
    reader.fd = ::open((dir / "out.hy").c_str(), O_RDONLY);
    ASSERT_GE(reader.fd, 0);
    std::thread slow = read_slowly(reader.fd, 64 * 1024, records);
    std::this_thread::sleep_for(500ms);
    test::interrupt(*child, SIGHUP);
    slow.join();
  }
  const test::RunResult run = test::wait_for(*child, kPatience);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.out, test::banner_then("Output written to \"out.hy\".\n\n"));
  test::expect_numbered_records(records, 2048);
#endif
}

// The terminal closed under a running program: it gets SIGHUP from the
// terminal itself, and leaves nothing behind.
TEST(Interruption, TerminalClosed) {
  VARNEL_SKIP_ON_WINDOWS("pseudo-terminals are POSIX only");
#if !defined(_WIN32)
  const test::ScratchDir dir;
  make_sparse_image(dir / "big.fls", kLargeImage);
  const auto child = test::start_on_terminal(
      VARNEL_BINARY, {"270000", "big.fls", "out.hy"}, dir.path);
  ASSERT_TRUE(output_holds_data(dir.path, "out.hy", *child));
  test::close_terminal(*child);
  const test::RunResult run = test::wait_for(*child, kPatience);
  EXPECT_EQ(run.signal, SIGHUP);
  EXPECT_EQ(test::names_in(dir.path), std::vector<std::string>{"big.fls"});
#endif
}

// Runs blocked on a FIFO, a write nobody reads or a read nobody feeds, each
// sent a signal at a random moment of its start: every one ends by that
// first signal within a second, however the signal and the wait meet.
TEST(Interruption, EverySignalEndsABlockedRun) {
  VARNEL_SKIP_ON_WINDOWS("FIFOs and signals are POSIX only");
#if !defined(_WIN32)
  const test::ScratchDir dir;
  test::write_file(dir / "in.fls", test::numbered_image(1024));  // 8 MiB
  ASSERT_NO_FATAL_FAILURE(test::convert("0", "in.fls", "part.hy", dir));
  const Bytes records = test::read_file(dir / "part.hy");
  std::mt19937 random(std::random_device{}());
  const int signals[] = {SIGINT, SIGTERM, SIGHUP};
  for (int run_number = 0; run_number < 50; ++run_number) {
    const bool writer = run_number % 2 == 0;
    const int signal = signals[random() % 3];
    const auto delay = std::chrono::microseconds(random() % 300000);
    SCOPED_TRACE(
        std::string(writer ? "varnel writing" : "varnel-check reading") +
        ", signal " + std::to_string(signal) + " after " +
        std::to_string(delay.count()) + " us");
    fs::remove(dir / "fifo");
    make_fifo(dir / "fifo");
    std::shared_ptr<test::StartedProgram> child;
    FifoEnd other;
    if (writer) {
      child =
          test::start_program(VARNEL_BINARY, {"0", "in.fls", "fifo"}, dir.path);
      other.fd = ::open((dir / "fifo").c_str(), O_RDONLY);  // and never read
    } else {
      child = test::start_program(VARNEL_CHECK_BINARY,
                                  {"-o", "back.fls", "fifo"}, dir.path);
      other.fd = ::open((dir / "fifo").c_str(), O_WRONLY);
      // Some records, then nothing more.
      ASSERT_EQ(::write(other.fd, records.data(), 65536), 65536);
    }
    ASSERT_GE(other.fd, 0);
    std::this_thread::sleep_for(delay);
    test::interrupt(*child, signal);
    const test::RunResult run = test::wait_for(*child, 1s);
    EXPECT_FALSE(run.timed_out) << "still running a second after the signal";
    EXPECT_EQ(run.signal, signal);
    EXPECT_FALSE(fs::exists(dir / "back.fls"));
    for (const std::string& name : test::names_in(dir.path)) {
      EXPECT_EQ(name.find(".partial-"), std::string::npos) << name;
    }
  }
#endif
}

}  // namespace
}  // namespace varnel
