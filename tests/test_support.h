// Helpers shared by the tests: scratch directories, file contents, images
// with chosen bytes, and running the real varnel binary.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace varnel::test {

using Bytes = std::vector<std::uint8_t>;

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes out of scope.
struct ScratchDir {
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::filesystem::path path;
  std::filesystem::path operator/(const std::string& name) const {
    return path / name;
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
  int exit_status = -1;  // -1 when the program did not exit normally
  std::string out;
  std::string err;
};

// Runs the varnel binary with `args` in directory `cwd`, standard input from
// /dev/null unless `in_child` replaces it. `in_child` runs in the child just
// before exec (to set limits or signals). The environment variable
// VARNEL_TEST_WRAPPER, when set, names a program to run the binary under.
RunResult run_binary(const std::vector<std::string>& args,
                     const std::filesystem::path& cwd,
                     const std::function<void()>& in_child = {});

// The same for any program, such as varnel-check.
RunResult run_program(const std::string& program,
                      const std::vector<std::string>& args,
                      const std::filesystem::path& cwd,
                      const std::function<void()>& in_child = {});

// The banner followed by one message, as the program prints them.
std::string banner_then(const std::string& message);

}  // namespace varnel::test
