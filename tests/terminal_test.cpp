// Both programs on the user's terminal, as the user sees it: the progress
// line gone after Ctrl-C, with the cursor where the shell's prompt goes, and
// varnel's reason for a failure, there and only there. (Under Wine, the same
// on a Windows console is in wine_console_test.py.)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "tests/numbered_image.h"
#include "tests/test_support.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace varnel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Bytes;

constexpr auto kPatience = 60s;

#if !defined(_WIN32)

// What a terminal shows at the end of `raw`: its lines, with no blanks at
// their ends, and where the cursor stands. A carriage return takes the
// cursor back to the start of its line, a line feed to the start of the next
// (as ONLCR sends them together), and every other byte is written where the
// cursor is.
struct Screen {
  std::vector<std::string> lines{""};
  std::size_t row = 0;
  std::size_t column = 0;
};

Screen screen_of(const std::string& raw) {
  Screen screen;
  for (const char c : raw) {
    if (c == '\r') {
      screen.column = 0;
    } else if (c == '\n') {
      screen.lines.emplace_back();
      ++screen.row;
      screen.column = 0;
    } else {
      std::string& line = screen.lines[screen.row];
      if (line.size() <= screen.column) {
        line.resize(screen.column + 1, ' ');
      }
      line[screen.column++] = c;
    }
  }
  for (std::string& line : screen.lines) {
    line.erase(line.find_last_not_of(' ') + 1);
  }
  return screen;
}

// Waits until the program's terminal has shown `text` (after `from`, when
// given). False if it never does.
bool shows(test::StartedProgram& program, const std::string& text,
           const std::string& from = "") {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string shown = test::shown_on_terminal(program);
    const std::size_t start = from.empty() ? 0 : shown.find(from);
    if (start != std::string::npos &&
        shown.find(text, start) != std::string::npos) {
      return true;
    }
    std::this_thread::sleep_for(5ms);
  }
  return false;
}

// Ctrl-C typed on the program's terminal, with the terminal's echo of it in
// the order a person sees it: the program is stopped while the key goes in,
// so that "^C" is on the screen before the program, woken by the signal,
// writes anything more. (Left running, it could win that race, and then the
// echo would follow what it wrote.)
void press_ctrl_c(test::StartedProgram& program) {
  test::interrupt(program, SIGSTOP);
  siginfo_t stopped{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(test::process_id(program)),
                     &stopped, WSTOPPED | WNOWAIT),
            0);
  const std::size_t before = test::shown_on_terminal(program).size();
  test::type_on_terminal(program, "\x03");
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (test::shown_on_terminal(program).find("^C", before) ==
             std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  test::interrupt(program, SIGCONT);
}

// A FIFO end that closes with the test.
struct FifoEnd {
  int fd = -1;
  FifoEnd() = default;
  FifoEnd(const FifoEnd&) = delete;
  FifoEnd& operator=(const FifoEnd&) = delete;
  ~FifoEnd() {
    if (fd >= 0) ::close(fd);
  }
};

// The start of row `number` (from 1) of a listing of 8201-byte records:
// its number and its offset.
std::string row_start(std::size_t number) {
  const std::uint64_t offset = std::uint64_t{8201} * (number - 1);
  return std::to_string(number) + " " + std::to_string(offset) + " ";
}

// Nothing of the progress line, and no echo, anywhere on the screen; the
// cursor at the start of an empty line, where the shell's prompt goes.
void expect_clean_end(const Screen& screen) {
  for (const std::string& line : screen.lines) {
    EXPECT_EQ(line.find("^C"), std::string::npos) << line;
    EXPECT_EQ(line.find("B/s"), std::string::npos) << line;
  }
  EXPECT_EQ(screen.row + 1, screen.lines.size());
  EXPECT_EQ(screen.lines.back(), "");
  EXPECT_EQ(screen.column, 0U);
}

#endif

// varnel interrupted at a terminal while its progress line shows: the line
// is erased, and so is the terminal's "^C" after it.
TEST(Terminal, CtrlCDuringAConversionLeavesAClearLine) {
  VARNEL_SKIP_ON_WINDOWS("pseudo-terminals are POSIX only");
#if !defined(_WIN32)
  const test::ScratchDir dir;
  test::write_file(dir / "in.fls", test::numbered_image(2048));  // 16 MiB
  ASSERT_EQ(::mkfifo((dir / "out.hy").c_str(), 0600), 0);
  const auto child = test::start_on_terminal(
      VARNEL_BINARY, {"0", "in.fls", "out.hy"}, dir.path, 60);
  // A slow reader of the record file, until the line shows; then none.
  FifoEnd reader;
  reader.fd = ::open((dir / "out.hy").c_str(), O_RDONLY);
  ASSERT_GE(reader.fd, 0);
  std::atomic<bool> enough{false};
  std::thread slow = test::running_thread([&reader, &enough] {
    std::vector<char> buffer(65536);
    while (!enough && ::read(reader.fd, buffer.data(), buffer.size()) > 0) {
      std::this_thread::sleep_for(10ms);
    }
  });
  const bool line_shown = shows(*child, " of 16.0 MiB");
  enough = true;
  slow.join();
  ASSERT_TRUE(line_shown) << test::shown_on_terminal(*child);
  press_ctrl_c(*child);
  const test::RunResult run = test::wait_for(*child, kPatience);

  EXPECT_EQ(run.signal, SIGINT);
  const Screen screen = screen_of(run.out);
  EXPECT_EQ(screen.lines,
            (std::vector<std::string>{
                "Quenlo to Halvory Converter 0.9a by Orvek", "", ""}))
      << run.out;
  expect_clean_end(screen);
#endif
}

// varnel-check --list at a terminal, its record file coming slowly through a
// FIFO, interrupted while its progress line shows after the last row: the
// rows stay, the line and the "^C" go.
TEST(Terminal, CtrlCDuringAListingLeavesAClearLine) {
  VARNEL_SKIP_ON_WINDOWS("pseudo-terminals are POSIX only");
#if !defined(_WIN32)
  const test::ScratchDir dir;
  ASSERT_NO_FATAL_FAILURE(test::make_records("0", 4096, "whole.hy", dir));
  const Bytes records = test::read_file(dir / "whole.hy");
  ASSERT_EQ(::mkfifo((dir / "fifo.hy").c_str(), 0600), 0);
  const auto child = test::start_on_terminal(
      VARNEL_CHECK_BINARY, {"--list", "fifo.hy"}, dir.path, 80);
  // Whole records, one every 2 ms, until the line shows: the program then
  // waits for more, with the line drawn after the last row.
  FifoEnd writer;
  writer.fd = ::open((dir / "fifo.hy").c_str(), O_WRONLY);
  ASSERT_GE(writer.fd, 0);
  std::atomic<bool> enough{false};
  std::size_t fed = 0;
  std::thread feeder = test::running_thread([&] {
    constexpr std::size_t kRecord = 8201;
    for (; !enough && fed < 4096; ++fed) {
      if (::write(writer.fd, records.data() + fed * kRecord, kRecord) !=
          static_cast<ssize_t>(kRecord)) {
        return;
      }
      std::this_thread::sleep_for(2ms);
    }
  });
  const bool line_shown = shows(*child, "B/s");
  enough = true;
  feeder.join();
  ASSERT_TRUE(line_shown) << test::shown_on_terminal(*child);
  ASSERT_LT(fed, 4096U) << "the whole file went through before the line";
  // The last row, and the line drawn again after it.
  const std::string last_row = row_start(fed);
  ASSERT_TRUE(shows(*child, "\r\n\r  ", last_row));
  press_ctrl_c(*child);
  const test::RunResult run = test::wait_for(*child, kPatience);

  EXPECT_EQ(run.signal, SIGINT);
  const Screen screen = screen_of(run.out);
  ASSERT_EQ(screen.lines.size(), 1 + fed + 1) << run.out;
  EXPECT_EQ(screen.lines.front(), "record offset address length checksum");
  EXPECT_EQ(screen.lines[fed].rfind(last_row, 0), 0U);
  expect_clean_end(screen);
#endif
}

// At a terminal, each of varnel's messages for a failure that has a reason
// is followed by one line on standard error with that reason, or with how to
// mend the slip. Standard output is byte for byte the same wherever it goes,
// and where standard error is no terminal nothing is added.
TEST(Terminal, VarnelSaysWhyAtATerminal) {
  VARNEL_SKIP_ON_WINDOWS("pseudo-terminals are POSIX only");
#if !defined(_WIN32)
  const std::string too_long(300, 'x');
  // A dump that this test holds open, which varnel reaches through the
  // test's descriptor: it would be written in place, so there is nothing to
  // remove first.
  const test::ScratchDir holder;
  test::write_file(holder / "held.fls", test::numbered_image(1));
  const int held = ::open((holder / "held.fls").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(held, 0);
  const std::string held_name =
      "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(held);
  const struct {
    std::string why;
    std::vector<std::string> args;
    std::string message;
    std::string reason;  // empty: none
  } cases[] = {
      {"a directory as the record file",
       {"0", "in.fls", "dd"},
       "Cannot create destination file \"dd\".",
       "varnel: \"dd\": Is a directory"},
      {"a folder that does not exist",
       {"0", "in.fls", "nodir/out.hy"},
       "Cannot create destination file \"nodir/out.hy\".",
       "varnel: \"nodir/out.hy\": No such file or directory"},
      {"a name too long",
       {"0", "in.fls", too_long},
       "Cannot create destination file \"" + too_long + "\".",
       "varnel: \"" + too_long + "\": File name too long"},
      {"a missing image",
       {"0", "missing.fls", "out.hy"},
       "Cannot open source file \"missing.fls\".",
       "varnel: \"missing.fls\": No such file or directory"},
      {"a directory as the image",
       {"0", "dd", "out.hy"},
       "Cannot open source file \"dd\".",
       "varnel: \"dd\": Is a directory"},
      {"a full disk",
       {"0", "in.fls", "/dev/full"},
       "Error writing destination file \"/dev/full\".",
       "varnel: \"/dev/full\": No space left on device"},
      {"a name with a line feed and a terminal sequence: escaped",
       {"0", "mis\n\x1B[2Jsing.fls", "out.hy"},
       "Cannot open source file \"mis\\n\\033[2Jsing.fls\".",
       "varnel: \"mis\\n\\033[2Jsing.fls\": No such file or directory"},
      // A file that is not varnel's kind: "File exists" would explain
      // nothing to someone who replaces record files every day.
      {"a dump where the record file goes",
       {"0", "in.fls", "dump.fls"},
       "Cannot create destination file \"dump.fls\".",
       "varnel: \"dump.fls\" is not a record file: not replaced (remove it "
       "first to replace it)"},
      {"a dump reached through a descriptor",
       {"0", "in.fls", held_name},
       "Cannot create destination file \"" + held_name + "\".",
       "varnel: \"" + held_name +
           "\" does not hold a record file: not written over"},
      {"an address written with 0x",
       {"0x270000", "in.fls", "out.hy"},
       "Error: Invalid starting address.",
       "varnel: \"0x270000\": \"x\" is not a hexadecimal digit: give the "
       "address as 270000"},
      {"an address with no form that varnel takes",
       {"27g000", "in.fls", "out.hy"},
       "Error: Invalid starting address.",
       "varnel: \"27g000\": \"g\" is not a hexadecimal digit: give the "
       "address in hexadecimal digits alone, as in 270000"},
      {"the image itself: the message says why",
       {"0", "in.fls", "in.fls"},
       "Cannot create destination file \"in.fls\": it is the source file.",
       ""},
      {"a wrong size: the message says why",
       {"0", "odd.fls", "out.hy"},
       "Source files of size that is not a multiple of 8192 bytes\n"
       "are not supported in this version.",
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    test::write_file(dir / "in.fls", test::numbered_image(1));
    test::write_file(dir / "odd.fls", Bytes(100, 0));
    test::write_file(dir / "dump.fls", test::numbered_image(1));
    fs::create_directory(dir / "dd");
    const std::string out = test::banner_then(c.message + "\n\n");
    const std::string reason = c.reason.empty() ? "" : c.reason + "\n";
    const auto on_terminal = [](const std::string& text) {
      std::string shown;
      for (const char ch : text) {
        shown += ch == '\n' ? "\r\n" : std::string(1, ch);
      }
      return shown;
    };

    // Both on the terminal: the reason follows the message.
    const test::RunResult both = test::wait_for(
        *test::start_on_terminal(VARNEL_BINARY, c.args, dir.path), kPatience);
    EXPECT_EQ(both.exit_status, 0);
    EXPECT_EQ(both.out, on_terminal(out + reason));

    // Standard output to a file, standard error on the terminal.
    test::write_file(dir / "messages.txt", {});
    const test::RunResult apart = test::wait_for(
        *test::start_on_terminal(VARNEL_BINARY, c.args, dir.path, 80,
                                 test::stdout_to(dir / "messages.txt")),
        kPatience);
    EXPECT_EQ(apart.exit_status, 0);
    EXPECT_EQ(apart.out, on_terminal(reason));
    const Bytes written = test::read_file(dir / "messages.txt");
    EXPECT_EQ(std::string(written.begin(), written.end()), out);

    // Through pipes, as a script runs it: nothing on standard error.
    const test::RunResult piped = test::run_binary(c.args, dir.path);
    EXPECT_EQ(piped.exit_status, 0);
    EXPECT_EQ(piped.out, out);
    EXPECT_EQ(piped.err, "");
  }
  EXPECT_TRUE(test::read_file(holder / "held.fls") == test::numbered_image(1));
  ::close(held);
#endif
}

}  // namespace
}  // namespace varnel
