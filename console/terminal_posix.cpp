// The terminal a stream writes to, on POSIX systems.
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "console/terminal.h"

namespace varnel {

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

}  // namespace varnel
