#include "console/terminal.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace varnel {

#if defined(_WIN32)

namespace {

HANDLE handle_of(std::FILE* stream) {
  const int fd = ::_fileno(stream);
  return fd < 0 ? INVALID_HANDLE_VALUE
                : reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
}

}  // namespace

bool is_terminal(std::FILE* stream) {
  // _isatty says yes to NUL as well: only a console has a console mode.
  DWORD mode = 0;
  return ::GetConsoleMode(handle_of(stream), &mode) != 0;
}

bool same_terminal(std::FILE* a, std::FILE* b) {
  return is_terminal(a) && is_terminal(b);
}

std::size_t terminal_columns(std::FILE* stream) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (::GetConsoleScreenBufferInfo(handle_of(stream), &info) == 0 ||
      info.srWindow.Right < info.srWindow.Left) {
    return 0;
  }
  return static_cast<std::size_t>(info.srWindow.Right - info.srWindow.Left) + 1;
}

#else

bool is_terminal(std::FILE* stream) {
  const int fd = ::fileno(stream);
  return fd >= 0 && ::isatty(fd) != 0;
}

bool same_terminal(std::FILE* a, std::FILE* b) {
  if (!is_terminal(a) || !is_terminal(b)) {
    return false;
  }
  struct stat first {};
  struct stat second {};
  return ::fstat(::fileno(a), &first) == 0 &&
         ::fstat(::fileno(b), &second) == 0 && first.st_rdev == second.st_rdev;
}

std::size_t terminal_columns(std::FILE* stream) {
  const int fd = ::fileno(stream);
  winsize size{};
  if (fd < 0 || ::ioctl(fd, TIOCGWINSZ, &size) != 0) {
    return 0;
  }
  return size.ws_col;
}

#endif

}  // namespace varnel
