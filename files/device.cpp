#include "files/device.h"

#include <system_error>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace varnel {

namespace fs = std::filesystem;

bool is_device(const fs::path& path) {
#if defined(_WIN32)
  // Names in the device namespace (\\.\pipe\..., \\.\COM1) are devices,
  // and opening one to ask could take it: a pipe's only instance, say.
  const std::wstring& name = path.native();
  if (name.rfind(L"\\\\.\\", 0) == 0) {
    return true;
  }
  // The reserved names of Windows are no files at all: the file system says
  // nothing is there, yet they open. Asking the opened handle tells.
  const HANDLE handle = ::CreateFileW(
      path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return false;
  }
  const DWORD type = ::GetFileType(handle);
  (void)::CloseHandle(handle);  // opened for no access: nothing to lose
  return type != FILE_TYPE_DISK;
#else
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  return fs::exists(status) && !fs::is_regular_file(status) &&
         !fs::is_directory(status);
#endif
}

}  // namespace varnel
