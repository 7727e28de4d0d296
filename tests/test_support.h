// Helpers shared by the tests: scratch directories, file contents, images
// with chosen bytes, and running the real programs.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
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

void write_file(const std::filesystem::path& path, const Bytes& bytes);
Bytes read_file(const std::filesystem::path& path);

// A block of zeros with the given bytes set: {{index, value}, ...}.
Bytes block_with(
    std::initializer_list<std::pair<std::size_t, std::uint8_t>> set);
Bytes block_filled(std::uint8_t value);

// Concatenation of byte strings, to spell out an image or a record file.
Bytes concat(std::initializer_list<Bytes> parts);

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

// The same for any program, such as varnel-check.
RunResult run_program(const std::string& program,
                      const std::vector<std::string>& args,
                      const std::filesystem::path& cwd,
                      const std::function<void()>& in_child = {});

// A program started by start_program and not yet waited for.
struct StartedProgram;

// Starts a program as run_program does, without waiting for it to end.
std::shared_ptr<StartedProgram> start_program(
    const std::string& program, const std::vector<std::string>& args,
    const std::filesystem::path& cwd,
    const std::function<void()>& in_child = {});

// Waits for the program to end. Past `limit` it is killed, and the result
// says it timed out.
RunResult wait_for(StartedProgram& program, std::chrono::milliseconds limit);

// Interrupts the program: on POSIX systems sends it `signal`; on Windows
// sends Ctrl-C to the console, which this process must have made its own
// with use_own_console.
void interrupt(StartedProgram& program, int signal);

// Windows: gives this process a console of its own, which the programs it
// starts from now on share, and ignores Ctrl-C in it, so that interrupt can
// reach them. Elsewhere nothing.
void use_own_console();

// Ways to prepare the child of run_program, on POSIX systems only.
// Standard input becomes a pipe that holds `data` and then ends.
std::function<void()> stdin_from_pipe(const Bytes& data);
// No file can grow past `bytes`; SIGXFSZ is ignored, so a write fails instead.
std::function<void()> file_size_limit(std::uint64_t bytes);
// These variables are set, in addition to the inherited environment.
std::function<void()> with_environment(
    std::vector<std::pair<std::string, std::string>> variables);
// Standard output goes to `path`, an existing file (such as /dev/full).
std::function<void()> stdout_to(const std::filesystem::path& path);

// `text` as a console program's output holds it: on Windows, where standard
// output and standard error are text streams, every line ends in CR LF.
std::string console_text(std::string_view text);

// The banner followed by one message, as the program prints them.
std::string banner_then(const std::string& message);

}  // namespace varnel::test
