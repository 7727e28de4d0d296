#include "console/closed_pipe.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#endif

namespace varnel {

#if defined(_WIN32)

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
  // The C runtime turns the system's answer into errno values that other
  // failures give too (EINVAL): a write of nothing asks the pipe itself.
  DWORD written = 0;
  if (::WriteFile(handle, "", 0, &written, nullptr) != 0) {
    return false;
  }
  const DWORD error = ::GetLastError();
  return error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE;
}

#else

bool reader_gone(std::FILE* /*stream*/) { return false; }

#endif

}  // namespace varnel
