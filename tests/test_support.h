// Helpers shared by the tests: scratch directories, file contents, images
// with chosen bytes, and running the real programs.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

// Skips the current test on Windows, saying why: for what only a POSIX
// system can stage (fopencookie streams, rlimits, /dev/full, pipes as files).
#if defined(_WIN32)
#define VARNEL_SKIP_ON_WINDOWS(why) GTEST_SKIP() << (why)
#else
#define VARNEL_SKIP_ON_WINDOWS(why) static_cast<void>(0)
#endif

namespace varnel::test {

using Bytes = std::vector<std::uint8_t>;

// A path from a UTF-8 name, as the programs read their arguments: the names
// in the tests are UTF-8, whatever the platform's own encoding of paths.
std::filesystem::path utf8_path(std::string_view name);

// The name of a path as the programs print it: UTF-8.
std::string utf8_name(const std::filesystem::path& path);

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes out of scope.
struct ScratchDir {
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::filesystem::path path;
  std::filesystem::path operator/(std::string_view name) const {
    return path / utf8_path(name);
  }
};

// Writes `bytes` to `path`. A file it makes may be read by every user, as
// umask 022 would leave it, whatever the umask: the tests run programs as
// other users too. (A file that was there keeps its mode.)
void write_file(const std::filesystem::path& path, const Bytes& bytes);

// The names in `dir`, sorted, as UTF-8.
std::vector<std::string> names_in(const std::filesystem::path& dir);
Bytes read_file(const std::filesystem::path& path);

// Every file in `dir` and its bytes, by name: to show that a run changed
// none of them.
std::map<std::string, Bytes> contents_of(const ScratchDir& dir);

// A block of zeros with the given bytes set: {{index, value}, ...}.
Bytes block_with(
    std::initializer_list<std::pair<std::size_t, std::uint8_t>> set);
Bytes block_filled(std::uint8_t value);

// Concatenation of byte strings, to spell out an image or a record file.
Bytes concat(std::initializer_list<Bytes> parts);

// A record file of one block of zeros at address 0, spelled out from the
// format's worked record (header 0B 00 00 00 00 00 20 00 DF): an old record
// file for varnel to replace, as it replaces only record files.
Bytes zero_record_file();

struct RunResult {
  int exit_status = -1;    // -1 when the program did not exit normally
  int signal = 0;          // the signal that ended it (POSIX systems)
  bool timed_out = false;  // killed for running past its time
  std::string out;
  std::string err;
};

// Runs the varnel binary with `args` in directory `cwd`, standard input
// empty. On POSIX systems, `in_child` runs in the child just before exec (to
// set limits, signals, the environment or standard input); Windows has no
// such moment, and a test that needs one is skipped there. The environment
// variable VARNEL_TEST_WRAPPER, when set, names a program to run the binary
// under. In a build for another architecture the binary runs under that
// build's emulator: only this build's programs can be started this way.
RunResult run_binary(const std::vector<std::string>& args,
                     const std::filesystem::path& cwd,
                     const std::function<void()>& in_child = {});

// The words that run `program`, one of this build's (varnel or
// varnel-check): under VARNEL_TEST_WRAPPER's words when it is set (a program
// such as "valgrind -q --error-exitcode=99"), and in a build for another
// architecture under the emulator that runs the tests. For a shell script or
// setpriv that starts the program in turn.
std::vector<std::string> binary_words(const std::string& program);

// A copy of `program`, one of this build's, in `dir`, that any user may run,
// named from `dir` ("./varnel"): for running it as an unprivileged user from
// there. The build folder, and the folders above a scratch folder, may be
// where only their owner can reach them, as a folder made by mktemp -d is.
std::string copy_for_anyone(const std::string& program, const ScratchDir& dir);

// Why no program can run from `dir` (a file system mounted noexec), or
// nothing when one can: where copy_for_anyone's copy could not be started.
std::optional<std::string> no_programs_in(const ScratchDir& dir);

// Skips the current test, saying why, where no program copied into `dir`
// could run.
#define VARNEL_SKIP_WITHOUT_PROGRAMS_IN(dir)                            \
  if (const auto why_no_programs = ::varnel::test::no_programs_in(dir); \
      why_no_programs) {                                                \
    GTEST_SKIP() << *why_no_programs;                                   \
  }                                                                     \
  static_cast<void>(0)

// Why no device can be opened through a node made in `dir` (a file system
// mounted nodev), or nothing when one can.
std::optional<std::string> no_devices_in(const ScratchDir& dir);

// Why `dir` has no room for `bytes` more, saying what it needs them for, or
// nothing when it has.
std::optional<std::string> no_room_in(const ScratchDir& dir,
                                      std::uintmax_t bytes,
                                      std::string_view needed_for);

// Whether the file system of `dir` makes a file without a name (Linux's
// O_TMPFILE), as the programs do for their output where they can: where it
// cannot, their temporary file has a name from the start.
bool makes_unnamed_files(const ScratchDir& dir);

// The path that LD_PRELOAD may name `library` by, a shared library of this
// build: LD_PRELOAD splits its value at blanks and colons, which a clone's
// path may hold, and then names a link to it in a folder under the
// temporary directory, removed when the test program ends. Throws, saying
// why, when that folder's path holds one too.
std::string preload_path(const std::string& library);

// Whether this build's programs run under an emulator (a build for another
// architecture), where they take many times as long.
bool under_emulator();

// Whether the tests run under Wine, whose Windows differs from Microsoft's in
// ways a test has to name (a test skips, or looks past, what only Wine does).
bool under_wine();

// The same for any program, such as varnel-check.
RunResult run_program(const std::string& program,
                      const std::vector<std::string>& args,
                      const std::filesystem::path& cwd,
                      const std::function<void()>& in_child = {});

// Runs varnel-check with `args` in `dir`, as run_program does.
RunResult run_check(const std::vector<std::string>& args,
                    const ScratchDir& dir);

// Standard streams other than run_program gives (the null device as input,
// pipes for output and error).
struct StandardStreams {
  std::string input;  // a file in the program's folder, read as its input
  bool input_closed = false;
  bool output_closed = false;
  bool error_closed = false;
};

// Runs a program as run_program does, with its standard streams as
// `streams` says: on POSIX systems through sh, with its redirections
// (`<file`, `<&-`, `>&-`, `2>&-`); on Windows with the file, or no handle
// at all, as its standard handle. What a closed stream would have carried
// comes back empty.
RunResult run_with_streams(const std::string& program,
                           const std::vector<std::string>& args,
                           const std::filesystem::path& cwd,
                           const StandardStreams& streams);

// A program started by start_program and not yet waited for.
struct StartedProgram;

// Starts a program as run_program does, without waiting for it to end.
std::shared_ptr<StartedProgram> start_program(
    const std::string& program, const std::vector<std::string>& args,
    const std::filesystem::path& cwd,
    const std::function<void()>& in_child = {});

// Runs `program` as run_program does, with its standard output into a pipe
// that the test reads as `| head -n LINES` does: the first `lines` lines,
// then it closes its end (none: on POSIX systems the reader is gone before
// the program starts). What it read is the result's `out`. Past `limit` the
// program is killed. On POSIX systems `in_child` prepares the child as for
// run_program (to ignore SIGPIPE, say, as `trap '' PIPE` does).
RunResult run_into_head(const std::string& program,
                        const std::vector<std::string>& args,
                        const std::filesystem::path& cwd, std::size_t lines,
                        std::chrono::milliseconds limit,
                        const std::function<void()>& in_child = {});

// Starts a program on a pseudo-terminal `columns` wide that becomes its
// controlling terminal, as a shell in a terminal window starts it: standard
// input, output and error are that terminal, and what it shows is the
// result's `out` (each line ended by CR LF, as a terminal sends it). POSIX
// systems only.
std::shared_ptr<StartedProgram> start_on_terminal(
    const std::string& program, const std::vector<std::string>& args,
    const std::filesystem::path& cwd, unsigned short columns = 80,
    const std::function<void()>& in_child = {});

// What the terminal of a program started on one has shown so far, while it
// runs. POSIX systems only.
std::string shown_on_terminal(StartedProgram& program);

// Types `keys` on the terminal of a program started on one, as a user at
// its keyboard does ("\x03" is Ctrl-C). POSIX systems only.
void type_on_terminal(StartedProgram& program, std::string_view keys);

// Closes the terminal of a program started on one, as closing its window
// does: the program gets SIGHUP.
void close_terminal(StartedProgram& program);

// Waits for the program to end. Past `limit` it is killed, and the result
// says it timed out.
RunResult wait_for(StartedProgram& program, std::chrono::milliseconds limit);

// Interrupts the program: on POSIX systems sends it `signal`; on Windows
// sends Ctrl-C (Ctrl-Break for SIGBREAK) to the console, which this process
// must have made its own with use_own_console.
void interrupt(StartedProgram& program, int signal);

// The program's process ID (of its emulator or wrapper, if it runs under
// one).
int process_id(const StartedProgram& program);

// Ends the program at once, with nothing it could catch: SIGKILL on POSIX
// systems, TerminateProcess on Windows. A power cut, as the program sees it.
void kill_now(StartedProgram& program);

// Windows: gives this process a console of its own, which the programs it
// starts from now on share, and ignores Ctrl-C in it, so that interrupt can
// reach them. Elsewhere nothing.
void use_own_console();

// Starts `body` on a thread of its own, and returns once it runs. Under
// qemu's user-mode emulation a process that starts a program while one of
// its threads is still being set up can leave the new process hung before it
// runs anything: every thread of the tests that may be alive when a program
// starts is made this way.
std::thread running_thread(std::function<void()> body);

// Ways to prepare the child of run_program, on POSIX systems only.
// Standard input becomes a pipe that brings `data` and then ends.
std::function<void()> stdin_from_pipe(const Bytes& data);
// The same, a byte at a time: each byte is written once the one before it
// has been read, so that every read takes a single byte.
std::function<void()> stdin_a_byte_at_a_time(const Bytes& data);
// These variables are set, in addition to the inherited environment.
std::function<void()> with_environment(
    std::vector<std::pair<std::string, std::string>> variables);
// Standard input becomes a pipe that brings `data` over and over, for ever:
// an endless input, whose writer ends once nobody reads.
std::function<void()> stdin_without_end(const Bytes& data);
// Standard output goes to `path`, an existing file (such as /dev/full).
std::function<void()> stdout_to(const std::filesystem::path& path);

// `text` as a console program's output holds it: on Windows, where standard
// output and standard error are text streams, every line ends in CR LF.
std::string console_text(std::string_view text);

// The banner followed by one message, as the program prints them.
std::string banner_then(const std::string& message);

}  // namespace varnel::test
