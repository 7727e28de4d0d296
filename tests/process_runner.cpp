// Running the real binaries as a shell would: their standard output and
// standard error through pipes read while they run (or on a terminal), byte
// for byte. One branch for POSIX systems (fork and exec: a process group of
// its own, default signal actions, no other descriptor) and one for Windows
// (CreateProcessW).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "tests/test_support.h"

#if defined(_WIN32)
#include <windows.h>

#include <csignal>
#else
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>
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

// The words of the command: a program of this build gets the words of
// binary_words; any other (a shell, setpriv) runs as it is.
std::vector<std::string> command_words(const std::string& program,
                                       const std::vector<std::string>& args) {
  std::vector<std::string> words = {program};
  if (program == VARNEL_BINARY || program == VARNEL_CHECK_BINARY) {
    words = binary_words(program);
  }
  words.insert(words.end(), args.begin(), args.end());
  return words;
}

}  // namespace

bool under_emulator() { return std::string_view(VARNEL_TEST_EMULATOR) != ""; }

bool under_wine() {
#if defined(_WIN32)
  // Wine's ntdll says its version; Microsoft's has no such function.
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr &&
         ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

std::vector<std::string> binary_words(const std::string& program) {
  std::vector<std::string> words;
  if (const char* wrapper = std::getenv("VARNEL_TEST_WRAPPER")) {
    append_words(words, wrapper);
  }
  append_words(words, VARNEL_TEST_EMULATOR);
  words.push_back(program);
  return words;
}

RunResult run_program(const std::string& program,
                      const std::vector<std::string>& args, const fs::path& cwd,
                      const std::function<void()>& in_child) {
  // Far longer than any run of the tests takes, under an emulator or
  // valgrind too; a program that hangs is killed, and the test fails.
  return wait_for(*start_program(program, args, cwd, in_child),
                  std::chrono::minutes(10));
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

// Starts the program with its standard streams as `streams` says: a pipe
// read as it writes, the null device as input, a file, or no handle at all.
// When `output` is given, standard output goes into a pipe whose reading end
// is handed over there instead of being drained into the result.
std::shared_ptr<StartedProgram> start_with_streams(
    const std::string& program, const std::vector<std::string>& args,
    const fs::path& cwd, const StandardStreams& streams,
    HANDLE* output = nullptr) {
  std::wstring command_line;
  for (const std::string& word : command_words(program, args)) {
    command_line += (command_line.empty() ? L"" : L" ") + quoted(wide(word));
  }

  HANDLE out_read = nullptr;
  HANDLE out_write = nullptr;
  HANDLE err_read = nullptr;
  HANDLE err_write = nullptr;
  if (!streams.output_closed) {
    make_pipe(out_read, out_write);
  }
  if (!streams.error_closed) {
    make_pipe(err_read, err_write);
  }
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  const fs::path input =
      streams.input.empty() ? fs::path(L"NUL") : cwd / utf8_path(streams.input);
  HANDLE nothing = streams.input_closed
                       ? nullptr
                       : ::CreateFileW(input.c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE |
                                           FILE_SHARE_DELETE,
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
  for (HANDLE handle : {out_write, err_write, nothing}) {
    if (handle != nullptr) {
      ::CloseHandle(handle);
    }
  }
  if (!started) {
    for (HANDLE handle : {out_read, err_read}) {
      if (handle != nullptr) {
        ::CloseHandle(handle);
      }
    }
    throw std::runtime_error("CreateProcessW failed for " + program);
  }
  ::CloseHandle(process.hThread);

  auto child = std::make_shared<StartedProgram>();
  child->process = process.hProcess;
  // Both pipes are drained at once, so that neither can fill and stall the
  // child while the other is read.
  if (output != nullptr) {
    *output = out_read;
  } else if (out_read != nullptr) {
    child->drain_out =
        running_thread([out_read, &out = child->out] { drain(out_read, out); });
  }
  if (err_read != nullptr) {
    child->drain_err =
        running_thread([err_read, &err = child->err] { drain(err_read, err); });
  }
  return child;
}

}  // namespace

std::shared_ptr<StartedProgram> start_program(
    const std::string& program, const std::vector<std::string>& args,
    const fs::path& cwd, const std::function<void()>& in_child) {
  if (in_child) {
    throw std::runtime_error("Windows cannot prepare a child before it runs");
  }
  return start_with_streams(program, args, cwd, {});
}

RunResult run_with_streams(const std::string& program,
                           const std::vector<std::string>& args,
                           const fs::path& cwd,
                           const StandardStreams& streams) {
  return wait_for(*start_with_streams(program, args, cwd, streams),
                  std::chrono::minutes(10));
}

RunResult run_into_head(const std::string& program,
                        const std::vector<std::string>& args,
                        const fs::path& cwd, std::size_t lines,
                        std::chrono::milliseconds limit,
                        const std::function<void()>& in_child) {
  if (in_child) {
    throw std::runtime_error("Windows cannot prepare a child before it runs");
  }
  HANDLE output = nullptr;
  const auto child = start_with_streams(program, args, cwd, {}, &output);
  std::string text;
  char c = 0;
  DWORD got = 0;
  for (std::size_t seen = 0;
       seen < lines && ::ReadFile(output, &c, 1, &got, nullptr) && got == 1;) {
    text.push_back(c);
    seen += c == '\n' ? 1 : 0;
  }
  ::CloseHandle(output);  // the reader quits
  RunResult result = wait_for(*child, limit);
  result.out = text;
  return result;
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
  if (program.drain_out.joinable()) {
    program.drain_out.join();
  }
  if (program.drain_err.joinable()) {
    program.drain_err.join();
  }
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

void interrupt(StartedProgram&, int signal) {
  // Ctrl-C (or Ctrl-Break, for SIGBREAK) reaches every process on the
  // console, this one included, which use_own_console has made deaf to it.
  const DWORD event = signal == SIGBREAK ? CTRL_BREAK_EVENT : CTRL_C_EVENT;
  if (!::GenerateConsoleCtrlEvent(event, 0)) {
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

std::shared_ptr<StartedProgram> start_on_terminal(
    const std::string&, const std::vector<std::string>&, const fs::path&,
    unsigned short, const std::function<void()>&) {
  throw std::runtime_error("only POSIX systems open a pseudo-terminal");
}

void close_terminal(StartedProgram&) {
  throw std::runtime_error("only POSIX systems open a pseudo-terminal");
}

std::string shown_on_terminal(StartedProgram&) {
  throw std::runtime_error("only POSIX systems open a pseudo-terminal");
}

void type_on_terminal(StartedProgram&, std::string_view) {
  throw std::runtime_error("only POSIX systems open a pseudo-terminal");
}

int process_id(const StartedProgram& program) {
  return static_cast<int>(::GetProcessId(program.process));
}

void kill_now(StartedProgram& program) {
  if (!::TerminateProcess(program.process, 1)) {
    throw std::runtime_error("TerminateProcess failed");
  }
}

std::function<void()> with_environment(
    std::vector<std::pair<std::string, std::string>>) {
  throw std::runtime_error("only POSIX systems prepare a child this way");
}

std::function<void()> stdin_a_byte_at_a_time(const Bytes&) {
  throw std::runtime_error("only POSIX systems stage a pipe this way");
}

std::function<void()> stdin_without_end(const Bytes&) {
  throw std::runtime_error("only POSIX systems stage a pipe this way");
}

std::function<void()> stdout_to(const fs::path&) {
  throw std::runtime_error("only POSIX systems prepare a child this way");
}

#else

struct StartedProgram {
  pid_t pid = -1;  // also its process group, or its session on a terminal
  // The near side of the program's terminal, when it was started on one,
  // until it is closed.
  bool on_terminal = false;
  int terminal = -1;
  std::atomic<bool> stop_watching{false};
  std::mutex watched;  // over `out` while the terminal is watched
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
    if (!waited && pid > 0) {
      (void)wait_for(*this, std::chrono::milliseconds(0));
    }
  }
};

namespace {

// Reads `fd` to its end into `text`, then closes it.
void drain(int fd, std::string& text) {
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got > 0) {
      text.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(fd);
}

// Reads what the program's terminal shows until `stop`, or until the far
// side is gone (EIO): polling, so that the terminal can be closed meanwhile
// without a read left blocked on it.
void watch_terminal(int fd, std::string& text, std::mutex& watched,
                    const std::atomic<bool>& stop) {
  char buffer[4096];
  while (!stop) {
    pollfd ready{fd, POLLIN, 0};
    const int polled = ::poll(&ready, 1, 20);
    if (polled < 0 && errno != EINTR) {
      return;
    }
    if (polled <= 0) {
      continue;
    }
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got <= 0) {
      return;  // EIO once the program and all it started are gone
    }
    const std::lock_guard<std::mutex> lock(watched);
    text.append(buffer, static_cast<std::size_t>(got));
  }
}

// In the child: closes every descriptor from 3 on but `keep` (none if -1).
void close_all_but(int keep) {
  const auto close_from = [](unsigned first, unsigned last) {
    if (first > last) {
      return;
    }
    if (::close_range(first, last, 0) != 0) {
      for (unsigned fd = first; fd <= last && fd < 1024; ++fd) {
        ::close(static_cast<int>(fd));
      }
    }
  };
  if (keep < 3) {
    close_from(3, ~0U);
    return;
  }
  close_from(3, static_cast<unsigned>(keep) - 1);
  close_from(static_cast<unsigned>(keep) + 1, ~0U);
}

// Under qemu's user-mode emulation a child can hang for good between fork
// and exec: a lock of the emulator's own (the one over its look-ups of paths
// under -L, say) that another thread of the test program held at the fork
// stays held in the child, which then waits on it at its first look-up.
// (Seen with qemu 7.2 for i386, about one start in twenty of a test whose
// threads open FIFOs.) The child says when it has come as far as its exec,
// which looks up nothing: one that has not by then is killed before any of
// the program has run, and started again. Natively no start is waited for.
constexpr auto kExecLimit = std::chrono::seconds(30);
constexpr int kStartAttempts = 3;

// Starts the program as a shell starts it: in a process group of its own,
// every signal at its default action and none blocked, and no descriptor but
// standard input, output and error. `streams` sets those three up in the
// child; `in_child` then prepares the rest.
pid_t start_child(const std::vector<std::string>& words, const fs::path& cwd,
                  const std::function<void()>& streams,
                  const std::function<void()>& in_child) {
  std::vector<std::string> copies = words;
  std::vector<char*> argv;
  for (std::string& word : copies) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);

  // Natively a start is not waited for; under an emulator the child writes
  // a byte to this pipe just before its exec. (Not its end at the exec: a
  // writer that a child forks for its standard input holds a copy of that
  // as long as it writes.)
  const bool watched = under_emulator();
  for (int attempt = 1;; ++attempt) {
    int execed[2] = {-1, -1};
    if (watched && ::pipe2(execed, O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe failed");
    }
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
      throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
      for (int signal = 1; signal < NSIG; ++signal) {
        (void)std::signal(signal, SIG_DFL);
      }
      sigset_t none{};
      (void)::sigemptyset(&none);
      (void)::sigprocmask(SIG_SETMASK, &none, nullptr);
      streams();
      if (::chdir(cwd.c_str()) != 0) {
        ::_exit(126);
      }
      if (in_child) {
        in_child();
      }
      close_all_but(execed[1]);
      if (watched) {
        (void)!::write(execed[1], "x", 1);
      }
      ::execvp(argv[0], argv.data());
      ::_exit(127);
    }
    if (!watched) {
      return pid;
    }
    ::close(execed[1]);
    // A byte, or the end where the child ended before its exec.
    pollfd done{execed[0], POLLIN, 0};
    const auto limit =
        std::chrono::duration_cast<std::chrono::milliseconds>(kExecLimit);
    int polled = 0;
    do {
      polled = ::poll(&done, 1, static_cast<int>(limit.count()));
    } while (polled < 0 && errno == EINTR);
    ::close(execed[0]);
    if (polled != 0 || attempt == kStartAttempts) {
      return pid;
    }
    (void)::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

// A pipe whose ends are closed in every program started.
void make_pipe(int ends[2]) {
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
}

}  // namespace

std::shared_ptr<StartedProgram> start_program(
    const std::string& program, const std::vector<std::string>& args,
    const fs::path& cwd, const std::function<void()>& in_child) {
  auto child = std::make_shared<StartedProgram>();
  int out[2];
  int err[2];
  make_pipe(out);
  make_pipe(err);
  child->pid = start_child(
      command_words(program, args), cwd,
      [&out, &err] {
        const int nothing = ::open("/dev/null", O_RDONLY);
        if (nothing < 0 || ::dup2(nothing, STDIN_FILENO) < 0 ||
            ::dup2(out[1], STDOUT_FILENO) < 0 ||
            ::dup2(err[1], STDERR_FILENO) < 0 || ::setpgid(0, 0) != 0) {
          ::_exit(126);
        }
      },
      in_child);
  // As a shell does, in both: the group is there whichever comes first, so
  // that a signal to it can be sent at once.
  (void)::setpgid(child->pid, child->pid);
  ::close(out[1]);
  ::close(err[1]);
  // Both pipes are read as the program writes, as a shell's reader would.
  child->drain_out =
      running_thread([fd = out[0], &text = child->out] { drain(fd, text); });
  child->drain_err =
      running_thread([fd = err[0], &text = child->err] { drain(fd, text); });
  return child;
}

RunResult run_into_head(const std::string& program,
                        const std::vector<std::string>& args,
                        const fs::path& cwd, std::size_t lines,
                        std::chrono::milliseconds limit,
                        const std::function<void()>& in_child) {
  int ends[2];
  make_pipe(ends);  // close-on-exec: only the child's standard output writes
  const int write_end = ends[1];
  if (lines == 0) {
    // A reader gone before the program starts: nothing it writes can get
    // into the pipe first, however soon it writes.
    ::close(ends[0]);
    ends[0] = -1;
  }
  const auto child = start_program(program, args, cwd, [write_end, &in_child] {
    if (in_child) {
      in_child();
    }
    if (::dup2(write_end, STDOUT_FILENO) < 0) ::_exit(125);
  });
  ::close(ends[1]);
  std::string text;
  char c = 0;
  for (std::size_t seen = 0; seen < lines && ::read(ends[0], &c, 1) == 1;) {
    text.push_back(c);
    seen += c == '\n' ? 1 : 0;
  }
  if (ends[0] >= 0) {
    ::close(ends[0]);  // the reader quits
  }
  RunResult result = wait_for(*child, limit);
  result.out = text;
  return result;
}

std::shared_ptr<StartedProgram> start_on_terminal(
    const std::string& program, const std::vector<std::string>& args,
    const fs::path& cwd, unsigned short columns,
    const std::function<void()>& in_child) {
  auto child = std::make_shared<StartedProgram>();
  int near = -1;
  int far = -1;
  winsize size{};
  size.ws_row = 24;
  size.ws_col = columns;
  if (::openpty(&near, &far, nullptr, nullptr, &size) != 0) {
    throw std::runtime_error("openpty failed");
  }
  (void)::fcntl(near, F_SETFD, FD_CLOEXEC);
  child->pid = start_child(
      command_words(program, args), cwd,
      [far] {
        // A session of its own, with this terminal as its controlling one.
        if (::setsid() < 0 || ::ioctl(far, TIOCSCTTY, 0) != 0 ||
            ::dup2(far, STDIN_FILENO) < 0 || ::dup2(far, STDOUT_FILENO) < 0 ||
            ::dup2(far, STDERR_FILENO) < 0) {
          ::_exit(126);
        }
      },
      in_child);
  ::close(far);
  child->on_terminal = true;
  child->terminal = near;
  // The session is there before a signal can be sent to it.
  for (;;) {
    siginfo_t ended{};
    if (::getsid(child->pid) == child->pid ||
        ::waitid(P_PID, static_cast<id_t>(child->pid), &ended,
                 WEXITED | WNOHANG | WNOWAIT) != 0 ||
        ended.si_pid != 0) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  child->drain_out =
      running_thread([near, &text = child->out, &watched = child->watched,
                      &stop = child->stop_watching] {
        watch_terminal(near, text, watched, stop);
      });
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
  if (program.on_terminal) {
    if (program.terminal >= 0) {
      // What is still on its way to the terminal, then nothing more.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      program.stop_watching = true;
      program.drain_out.join();
      ::close(program.terminal);
      program.terminal = -1;
    }
  } else {
    program.drain_out.join();
    program.drain_err.join();
  }
  result.out = program.out;
  result.err = program.err;
  return result;
}

void interrupt(StartedProgram& program, int signal) {
  // As Ctrl-C reaches the whole foreground process group.
  if (::killpg(program.pid, signal) != 0) {
    throw std::runtime_error("killpg failed");
  }
}

void close_terminal(StartedProgram& program) {
  if (program.terminal < 0) {
    throw std::runtime_error("not started on a terminal");
  }
  program.stop_watching = true;
  program.drain_out.join();
  // The last of the near side: the terminal hangs up, and its session
  // leader, the program, gets SIGHUP.
  ::close(program.terminal);
  program.terminal = -1;
}

void use_own_console() {}

std::string shown_on_terminal(StartedProgram& program) {
  const std::lock_guard<std::mutex> lock(program.watched);
  return program.out;
}

void type_on_terminal(StartedProgram& program, std::string_view keys) {
  if (program.terminal < 0 ||
      ::write(program.terminal, keys.data(), keys.size()) !=
          static_cast<ssize_t>(keys.size())) {
    throw std::runtime_error("cannot type on the program's terminal");
  }
}

int process_id(const StartedProgram& program) { return program.pid; }

std::function<void()> stdin_from_pipe(const Bytes& data) {
  return [data] {
    int ends[2];
    if (::pipe(ends) != 0) ::_exit(125);
    // A writer of its own, so that data of any size goes through the pipe as
    // the program reads it; it ends when all is written or nobody reads.
    const pid_t writer = ::fork();
    if (writer < 0) ::_exit(125);
    if (writer == 0) {
      // Holding none of the program's output, so that its end is seen.
      ::close(ends[0]);
      ::close(STDOUT_FILENO);
      ::close(STDERR_FILENO);
      std::size_t done = 0;
      while (done < data.size()) {
        const ssize_t put =
            ::write(ends[1], data.data() + done, data.size() - done);
        if (put <= 0) ::_exit(1);
        done += static_cast<std::size_t>(put);
      }
      ::_exit(0);
    }
    ::close(ends[1]);
    if (::dup2(ends[0], STDIN_FILENO) < 0) ::_exit(125);
    ::close(ends[0]);
  };
}

std::function<void()> stdin_a_byte_at_a_time(const Bytes& data) {
  return [data] {
    int ends[2];
    if (::pipe(ends) != 0) ::_exit(125);
    const pid_t writer = ::fork();
    if (writer < 0) ::_exit(125);
    if (writer == 0) {
      ::close(ends[0]);
      ::close(STDOUT_FILENO);
      ::close(STDERR_FILENO);
      for (const std::uint8_t byte : data) {
        if (::write(ends[1], &byte, 1) != 1) ::_exit(1);
        // The pipe holds nothing more once the byte has been read; a reader
        // that is gone reads nothing more.
        for (int waiting = 1; waiting > 0;) {
          pollfd gone{ends[1], 0, 0};
          if (::ioctl(ends[1], FIONREAD, &waiting) != 0 ||
              ::poll(&gone, 1, 0) != 0) {
            ::_exit(waiting > 0 ? 1 : 0);
          }
          if (waiting > 0) ::usleep(20);
        }
      }
      ::_exit(0);
    }
    ::close(ends[1]);
    if (::dup2(ends[0], STDIN_FILENO) < 0) ::_exit(125);
    ::close(ends[0]);
  };
}

std::function<void()> stdin_without_end(const Bytes& data) {
  return [data] {
    int ends[2];
    if (::pipe(ends) != 0) ::_exit(125);
    const pid_t writer = ::fork();
    if (writer < 0) ::_exit(125);
    if (writer == 0) {
      // Holding nothing but its end of the pipe (none of the program's
      // output, none of the test's pipes), so that a reader that quits is
      // seen as gone.
      if (::dup2(ends[1], STDOUT_FILENO) < 0) ::_exit(1);
      ::close(STDERR_FILENO);
      if (::close_range(3, ~0U, 0) != 0) {
        for (int fd = 3; fd < 1024; ++fd) {
          ::close(fd);
        }
      }
      for (;;) {
        for (std::size_t done = 0; done < data.size();) {
          const ssize_t put =
              ::write(STDOUT_FILENO, data.data() + done, data.size() - done);
          if (put <= 0) ::_exit(0);  // nobody reads any more
          done += static_cast<std::size_t>(put);
        }
      }
    }
    ::close(ends[1]);
    if (::dup2(ends[0], STDIN_FILENO) < 0) ::_exit(125);
    ::close(ends[0]);
  };
}

void kill_now(StartedProgram& program) {
  if (::kill(program.pid, SIGKILL) != 0) {
    throw std::runtime_error("kill failed");
  }
}

std::function<void()> with_environment(
    std::vector<std::pair<std::string, std::string>> variables) {
  return [variables] {
    for (const auto& [name, value] : variables) {
      if (::setenv(name.c_str(), value.c_str(), 1) != 0) ::_exit(125);
    }
  };
}

RunResult run_with_streams(const std::string& program,
                           const std::vector<std::string>& args,
                           const fs::path& cwd,
                           const StandardStreams& streams) {
  // A shell's own redirections, after the name of the input is taken from
  // the arguments.
  std::string script = "input=$1; shift; exec \"$@\"";
  if (!streams.input.empty()) {
    script += " <\"$input\"";
  }
  if (streams.input_closed) {
    script += " <&-";
  }
  if (streams.output_closed) {
    script += " >&-";
  }
  if (streams.error_closed) {
    script += " 2>&-";
  }
  std::vector<std::string> words = {"-c", script, "sh", streams.input};
  for (const std::string& word : command_words(program, args)) {
    words.push_back(word);
  }
  return run_program("sh", words, cwd);
}

std::function<void()> stdout_to(const fs::path& path) {
  return [path] {
    const int fd = ::open(path.c_str(), O_WRONLY);
    if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0) {
      ::_exit(126);
    }
    ::close(fd);
  };
}

#endif

}  // namespace varnel::test
