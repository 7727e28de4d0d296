// A reader gone from a pipe, on Windows: told by the error of the write.
#include <io.h>
#include <stdlib.h>
#include <windows.h>

#include "console/closed_pipe.h"

namespace varnel {

bool reader_gone(std::FILE* stream) {
  const int fd = ::_fileno(stream);
  if (fd < 0) {
    return false;
  }
  const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  if (handle == INVALID_HANDLE_VALUE ||
      ::GetFileType(handle) != FILE_TYPE_PIPE) {
    return false;
  }
  // The system's error of the write that failed, which the C runtime keeps
  // beside errno: errno itself is EINVAL for other failures too. Windows
  // says ERROR_NO_DATA; Wine, on a Unix pipe, ERROR_PIPE_NOT_CONNECTED. A
  // write of nothing cannot ask instead: Wine's pipes take it with no
  // reader.
  const unsigned long error = _doserrno;
  return error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED ||
         error == ERROR_BROKEN_PIPE;
}

}  // namespace varnel
