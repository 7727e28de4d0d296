// The console a stream writes to, on Windows.
#include <io.h>
#include <windows.h>

#include "console/terminal.h"

namespace varnel {

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

}  // namespace varnel
