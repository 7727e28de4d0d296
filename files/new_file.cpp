#include "files/new_file.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#endif

namespace varnel {

std::FILE* create_new_file(const std::filesystem::path& path) {
#if defined(_WIN32)
  // The C runtime of Windows ignores fopen's "x" and would empty the file;
  // its own open takes the exclusive flag.
  const int fd =
      ::_wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY,
               _S_IREAD | _S_IWRITE);
  if (fd < 0) {
    return nullptr;
  }
  // A reserved name such as NUL.partial0 opens a device, not a new file.
  if (::GetFileType(reinterpret_cast<HANDLE>(::_get_osfhandle(fd))) !=
      FILE_TYPE_DISK) {
    (void)::_close(fd);  // nothing was written to it
    return nullptr;
  }
  std::FILE* file = ::_fdopen(fd, "wb");
  if (file == nullptr) {
    (void)::_close(fd);
  }
  return file;
#else
  return std::fopen(path.c_str(), "wbx");
#endif
}

}  // namespace varnel
