// run_program: the real binary started as a user would start it, its
// standard output and standard error captured byte for byte. One branch for
// POSIX systems (fork and exec, the streams in files) and one for Windows
// (CreateProcessW, the streams through pipes).
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "tests/test_support.h"

#if defined(_WIN32)
#include <windows.h>

#include <thread>
#else
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <iterator>
#endif

namespace varnel::test {

namespace fs = std::filesystem;

namespace {

// The words of the command: VARNEL_TEST_WRAPPER runs the binary under another
// program, such as "valgrind -q --error-exitcode=99", whose words go first.
std::vector<std::string> command_words(const std::string& program,
                                       const std::vector<std::string>& args) {
  std::vector<std::string> words;
  if (const char* wrapper = std::getenv("VARNEL_TEST_WRAPPER")) {
    std::istringstream split(wrapper);
    for (std::string word; split >> word;) {
      words.push_back(word);
    }
  }
  words.push_back(program);
  words.insert(words.end(), args.begin(), args.end());
  return words;
}

#if defined(_WIN32)

std::wstring wide(const std::string& utf8) {
  if (utf8.empty()) {
    return {};
  }
  const int size =
      ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                            static_cast<int>(utf8.size()), nullptr, 0);
  if (size <= 0) {
    throw std::runtime_error("not UTF-8: " + utf8);
  }
  std::wstring text(static_cast<std::size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                        text.data(), size);
  return text;
}

// One argument as the C runtime of the child splits the command line again:
// in double quotes, with the backslashes before a quote doubled.
std::wstring quoted(const std::wstring& word) {
  if (!word.empty() && word.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    return word;
  }
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : word) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    quoted.push_back(c);
    backslashes = 0;
  }
  quoted.append(2 * backslashes, L'\\');
  quoted.push_back(L'"');
  return quoted;
}

std::string read_all(HANDLE pipe) {
  std::string text;
  char buffer[4096];
  DWORD got = 0;
  while (::ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    text.append(buffer, got);
  }
  return text;
}

// An inheritable pipe whose reading end stays with this process.
void make_pipe(HANDLE& read_end, HANDLE& write_end) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  if (!::CreatePipe(&read_end, &write_end, &inherit, 0) ||
      !::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0)) {
    throw std::runtime_error("CreatePipe failed");
  }
}

#else

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

#endif

}  // namespace

#if defined(_WIN32)

RunResult run_program(const std::string& program,
                      const std::vector<std::string>& args, const fs::path& cwd,
                      const std::function<void()>& in_child) {
  if (in_child) {
    throw std::runtime_error("Windows cannot prepare a child before it runs");
  }
  std::wstring command_line;
  for (const std::string& word : command_words(program, args)) {
    command_line += (command_line.empty() ? L"" : L" ") + quoted(wide(word));
  }

  HANDLE out_read = nullptr;
  HANDLE out_write = nullptr;
  HANDLE err_read = nullptr;
  HANDLE err_write = nullptr;
  make_pipe(out_read, out_write);
  make_pipe(err_read, err_write);
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE nothing = ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ,
                                 &inherit, OPEN_EXISTING, 0, nullptr);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nothing;
  startup.hStdOutput = out_write;
  startup.hStdError = err_write;
  PROCESS_INFORMATION process{};
  const std::wstring directory = cwd.wstring();
  const bool started =
      ::CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE, 0,
                       nullptr, directory.c_str(), &startup, &process) != 0;
  // The child holds its own copies: the pipes end when it does.
  ::CloseHandle(out_write);
  ::CloseHandle(err_write);
  ::CloseHandle(nothing);
  if (!started) {
    ::CloseHandle(out_read);
    ::CloseHandle(err_read);
    throw std::runtime_error("CreateProcessW failed for " + program);
  }

  RunResult result;
  // Both pipes are drained at once, so that neither can fill and stall the
  // child while the other is read.
  std::thread drain_err([&] { result.err = read_all(err_read); });
  result.out = read_all(out_read);
  drain_err.join();
  ::CloseHandle(out_read);
  ::CloseHandle(err_read);

  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  if (::GetExitCodeProcess(process.hProcess, &code)) {
    result.exit_status = static_cast<int>(code);
  }
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return result;
}

std::function<void()> stdin_from_pipe(const Bytes&) {
  throw std::runtime_error("only POSIX systems stage a pipe this way");
}

std::function<void()> file_size_limit(std::uint64_t) {
  throw std::runtime_error("Windows has no file size limit");
}

std::function<void()> with_environment(
    std::vector<std::pair<std::string, std::string>>) {
  throw std::runtime_error("only POSIX systems prepare a child this way");
}

#else

RunResult run_program(const std::string& program,
                      const std::vector<std::string>& args, const fs::path& cwd,
                      const std::function<void()>& in_child) {
  // The captured streams live outside `cwd`, so tests can check that the
  // program created nothing there.
  const ScratchDir capture;
  const fs::path out_path = capture / "stdout";
  const fs::path err_path = capture / "stderr";

  std::vector<std::string> words = command_words(program, args);
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

std::function<void()> stdin_from_pipe(const Bytes& data) {
  return [data] {
    int ends[2];
    if (::pipe(ends) != 0) ::_exit(125);
    // The data must fit in the pipe's buffer (64 KiB on Linux): nobody reads
    // it before the program starts.
    if (::write(ends[1], data.data(), data.size()) !=
        static_cast<ssize_t>(data.size())) {
      ::_exit(125);
    }
    ::close(ends[1]);
    if (::dup2(ends[0], STDIN_FILENO) < 0) ::_exit(125);
    ::close(ends[0]);
  };
}

std::function<void()> file_size_limit(std::uint64_t bytes) {
  return [bytes] {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{bytes, bytes};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(125);
  };
}

std::function<void()> with_environment(
    std::vector<std::pair<std::string, std::string>> variables) {
  return [variables] {
    for (const auto& [name, value] : variables) {
      if (::setenv(name.c_str(), value.c_str(), 1) != 0) ::_exit(125);
    }
  };
}

#endif

}  // namespace varnel::test
