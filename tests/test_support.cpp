#include "tests/test_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace varnel::test {

namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
  std::string pattern =
      (fs::temp_directory_path() / "varnel-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

void write_file(const fs::path& path, const Bytes& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  if (!file.flush()) {
    throw std::runtime_error("cannot write " + path.string());
  }
}

Bytes read_file(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    throw std::runtime_error("cannot read " + path.string());
  }
  return Bytes(std::istreambuf_iterator<char>(file), {});
}

Bytes block_with(
    std::initializer_list<std::pair<std::size_t, std::uint8_t>> set) {
  Bytes block(8192, 0);
  for (const auto& [index, value] : set) {
    block.at(index) = value;
  }
  return block;
}

Bytes block_filled(std::uint8_t value) { return Bytes(8192, value); }

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

namespace {

std::string read_text(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// Opens `path` on descriptor `target` in the child; exits the child on failure.
void redirect(int target, const fs::path& path, int flags) {
  const int fd = ::open(path.c_str(), flags, 0600);
  if (fd < 0 || ::dup2(fd, target) < 0) {
    ::_exit(126);
  }
  ::close(fd);
}

}  // namespace

RunResult run_binary(const std::vector<std::string>& args, const fs::path& cwd,
                     const std::function<void()>& in_child) {
  return run_program(VARNEL_BINARY, args, cwd, in_child);
}

RunResult run_program(const std::string& program,
                      const std::vector<std::string>& args, const fs::path& cwd,
                      const std::function<void()>& in_child) {
  // The captured streams live outside `cwd`, so tests can check that the
  // program created nothing there.
  const ScratchDir capture;
  const fs::path out_path = capture / "stdout";
  const fs::path err_path = capture / "stderr";

  // VARNEL_TEST_WRAPPER runs the binary under another program, such as
  // "valgrind -q --error-exitcode=99": its words go first.
  std::vector<std::string> words;
  if (const char* wrapper = std::getenv("VARNEL_TEST_WRAPPER")) {
    std::istringstream split(wrapper);
    for (std::string word; split >> word;) {
      words.push_back(word);
    }
  }
  words.push_back(program);
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);

  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    throw std::runtime_error("fork failed");
  }
  if (pid == 0) {
    redirect(STDIN_FILENO, "/dev/null", O_RDONLY);
    redirect(STDOUT_FILENO, out_path, O_WRONLY | O_CREAT | O_TRUNC);
    redirect(STDERR_FILENO, err_path, O_WRONLY | O_CREAT | O_TRUNC);
    if (::chdir(cwd.c_str()) != 0) {
      ::_exit(126);
    }
    if (in_child) {
      in_child();
    }
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) {
    throw std::runtime_error("waitpid failed");
  }
  RunResult result;
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = read_text(out_path);
  result.err = read_text(err_path);
  return result;
}

std::string banner_then(const std::string& message) {
  return "Quenlo to Halvory Converter 0.9a by Orvek\n\n" + message;
}

}  // namespace varnel::test
