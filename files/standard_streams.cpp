#include "files/standard_streams.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace varnel {

#if defined(_WIN32)

bool take_closed_standard_streams() {
  // The C runtime keeps descriptors 0, 1 and 2 taken even when the program
  // was started without a handle for them: no file it opens gets one of
  // those numbers. Windows handles are not numbered that way.
  return true;
}

#else

bool take_closed_standard_streams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
      continue;  // open
    }
    // The lowest free number is this one: those below it are open.
    const int null_device = ::open(
        "/dev/null", (fd == STDIN_FILENO ? O_WRONLY : O_RDONLY) | O_NOCTTY);
    if (null_device != fd) {
      if (null_device >= 0) {
        (void)::close(null_device);  // opened only to hold the number
      }
      return false;
    }
  }
  return true;
}

#endif

}  // namespace varnel
