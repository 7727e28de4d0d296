// Running the real binaries as a user would: their standard output and
// standard error captured byte for byte. One branch for POSIX systems (fork
// and exec, the streams in files) and one for Windows (CreateProcessW, the
// streams through pipes).
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/test_support.h"

#if defined(_WIN32)
#include <windows.h>
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

void append_words(std::vector<std::string>& words, const char* text) {
  std::istringstream split(text);
  for (std::string word; split >> word;) {
    words.push_back(word);
  }
}

// The words of the command. VARNEL_TEST_WRAPPER runs the binary under another
// program, such as "valgrind -q --error-exitcode=99", whose words go first.
// A build for another architecture runs it under the emulator that runs the
// tests (qemu), given by the build as VARNEL_TEST_EMULATOR.
std::vector<std::string> command_words(const std::string& program,
                                       const std::vector<std::string>& args) {
  std::vector<std::string> words;
  if (const char* wrapper = std::getenv("VARNEL_TEST_WRAPPER")) {
    append_words(words, wrapper);
  }
  append_words(words, VARNEL_TEST_EMULATOR);
  words.push_back(program);
  words.insert(words.end(), args.begin(), args.end());
  return words;
}

}  // namespace

RunResult run_program(const std::string& program,
                      const std::vector<std::string>& args, const fs::path& cwd,
                      const std::function<void()>& in_child) {
  return wait_for(*start_program(program, args, cwd, in_child),
                  std::chrono::hours(1));
}

#if defined(_WIN32)

struct StartedProgram {
  HANDLE process = nullptr;
  std::thread drain_out;
  std::thread drain_err;
  std::string out;
  std::string err;
  bool waited = false;

  StartedProgram() = default;
  StartedProgram(const StartedProgram&) = delete;
  StartedProgram& operator=(const StartedProgram&) = delete;
  // A test that stops early leaves no program running behind it.
  ~StartedProgram() {
    if (!waited && process != nullptr) {
      (void)wait_for(*this, std::chrono::milliseconds(0));
    }
  }
};

namespace {

std::wstring wide(const std::string& utf8) {
  if (utf8.empty()) {
    return {};
  }
  const auto length = static_cast<int>(utf8.size());
  const int size = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS,
                                         utf8.data(), length, nullptr, 0);
  std::wstring text(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
  if (size <= 0 || ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length,
                                         text.data(), size) != size) {
    throw std::runtime_error("not UTF-8: " + utf8);
  }
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

// Reads `pipe` to its end into `text`, then closes it.
void drain(HANDLE pipe, std::string& text) {
  char buffer[4096];
  DWORD got = 0;
  while (::ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    text.append(buffer, got);
  }
  ::CloseHandle(pipe);
}

// An inheritable pipe whose reading end stays with this process.
void make_pipe(HANDLE& read_end, HANDLE& write_end) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  if (!::CreatePipe(&read_end, &write_end, &inherit, 0) ||
      !::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0)) {
    throw std::runtime_error("CreatePipe failed");
  }
}

BOOL WINAPI ignore_console_event(DWORD) { return TRUE; }

}  // namespace

std::shared_ptr<StartedProgram> start_program(
    const std::string& program, const std::vector<std::string>& args,
    const fs::path& cwd, const std::function<void()>& in_child) {
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
  ::CloseHandle(process.hThread);

  auto child = std::make_shared<StartedProgram>();
  child->process = process.hProcess;
  // Both pipes are drained at once, so that neither can fill and stall the
  // child while the other is read.
  child->drain_out = std::thread(drain, out_read, std::ref(child->out));
  child->drain_err = std::thread(drain, err_read, std::ref(child->err));
  return child;
}

RunResult wait_for(StartedProgram& program, std::chrono::milliseconds limit) {
  RunResult result;
  if (::WaitForSingleObject(program.process,
                            static_cast<DWORD>(limit.count())) !=
      WAIT_OBJECT_0) {
    ::TerminateProcess(program.process, 1);
    ::WaitForSingleObject(program.process, INFINITE);
    result.timed_out = true;
  }
  program.drain_out.join();
  program.drain_err.join();
  DWORD code = 0;
  if (::GetExitCodeProcess(program.process, &code)) {
    result.exit_status = static_cast<int>(code);
  }
  ::CloseHandle(program.process);
  program.waited = true;
  result.out = program.out;
  result.err = program.err;
  return result;
}

void interrupt(StartedProgram&, int) {
  // Ctrl-C reaches every process on the console, this one included, which
  // use_own_console has made deaf to it.
  if (!::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
    throw std::runtime_error("GenerateConsoleCtrlEvent failed");
  }
}

void use_own_console() {
  static const bool done = [] {
    (void)::FreeConsole();
    return ::AllocConsole() != 0 &&
           ::SetConsoleCtrlHandler(ignore_console_event, TRUE) != 0;
  }();
  if (!done) {
    throw std::runtime_error("cannot make a console of its own");
  }
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

std::function<void()> stdout_to(const fs::path&) {
  throw std::runtime_error("only POSIX systems prepare a child this way");
}

#else

struct StartedProgram {
  pid_t pid = -1;
  // Holds the captured streams, outside the program's directory, so tests
  // can check that the program created nothing there.
  ScratchDir capture;
  bool waited = false;

  StartedProgram() = default;
  StartedProgram(const StartedProgram&) = delete;
  StartedProgram& operator=(const StartedProgram&) = delete;
  // A test that stops early leaves no program running behind it.
  ~StartedProgram() {
    if (!waited && pid > 0) {
      ::kill(pid, SIGKILL);
      int status = 0;
      (void)::waitpid(pid, &status, 0);
    }
  }
};

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

std::shared_ptr<StartedProgram> start_program(
    const std::string& program, const std::vector<std::string>& args,
    const fs::path& cwd, const std::function<void()>& in_child) {
  auto child = std::make_shared<StartedProgram>();
  const fs::path out_path = child->capture / "stdout";
  const fs::path err_path = child->capture / "stderr";

  std::vector<std::string> words = command_words(program, args);
  std::vector<char*> argv;
  for (std::string& word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);

  std::fflush(nullptr);
  child->pid = ::fork();
  if (child->pid < 0) {
    throw std::runtime_error("fork failed");
  }
  if (child->pid == 0) {
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
  return child;
}

RunResult wait_for(StartedProgram& program, std::chrono::milliseconds limit) {
  RunResult result;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  for (;;) {
    const pid_t ended = ::waitpid(program.pid, &status, WNOHANG);
    if (ended == program.pid) {
      break;
    }
    if (ended < 0) {
      throw std::runtime_error("waitpid failed");
    }
    if (std::chrono::steady_clock::now() > deadline && !result.timed_out) {
      ::kill(program.pid, SIGKILL);
      result.timed_out = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  program.waited = true;
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  result.out = read_text(program.capture / "stdout");
  result.err = read_text(program.capture / "stderr");
  return result;
}

void interrupt(StartedProgram& program, int signal) {
  if (::kill(program.pid, signal) != 0) {
    throw std::runtime_error("kill failed");
  }
}

void use_own_console() {}

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

std::function<void()> stdout_to(const fs::path& path) {
  return [path] { redirect(STDOUT_FILENO, path, O_WRONLY); };
}

#endif

}  // namespace varnel::test
