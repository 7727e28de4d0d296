#include "console/terminal.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace varnel {

bool is_terminal(std::FILE* stream) {
#if defined(_WIN32)
  // _isatty says yes to NUL as well: only a console has a console mode.
  const int fd = ::_fileno(stream);
  if (fd < 0) {
    return false;
  }
  DWORD mode = 0;
  return ::GetConsoleMode(reinterpret_cast<HANDLE>(::_get_osfhandle(fd)),
                          &mode) != 0;
#else
  const int fd = ::fileno(stream);
  return fd >= 0 && ::isatty(fd) != 0;
#endif
}

}  // namespace varnel
