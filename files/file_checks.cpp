#include "files/file_checks.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <system_error>

#include "files/argument_path.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace varnel {

namespace fs = std::filesystem;

namespace {

// What tells a file from every other, asked of the file itself rather than
// of its name: names differ where the file is one.
struct FileIdentity {
  std::uint64_t kind = 0;
  std::uint64_t volume = 0;
  std::uint64_t index = 0;

  bool operator==(const FileIdentity&) const = default;
};

#if defined(_WIN32)

// The volume's serial number and the file's index on it. Two drive letters
// of one folder (subst, a mapped drive, a UNC path) give other names and
// other drive numbers, never another volume or index.
std::optional<FileIdentity> identity_of(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION information{};
  if (handle == INVALID_HANDLE_VALUE ||
      ::GetFileType(handle) != FILE_TYPE_DISK ||
      ::GetFileInformationByHandle(handle, &information) == 0) {
    return std::nullopt;  // a device, a pipe: no file on a volume
  }
  return FileIdentity{0, information.dwVolumeSerialNumber,
                      (std::uint64_t{information.nFileIndexHigh} << 32) |
                          information.nFileIndexLow};
}

std::optional<FileIdentity> identity_of(const fs::path& path) {
  // Names of the device namespace (\\.\pipe\...) are no files, and opening
  // one to ask could take it: a pipe's only instance, say.
  if (path.empty() || path.native().rfind(L"\\\\.\\", 0) == 0) {
    return std::nullopt;
  }
  // Opened for no access, shared every way: nothing is taken from others.
  const HANDLE handle = ::CreateFileW(
      path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return std::nullopt;
  }
  const std::optional<FileIdentity> identity = identity_of(handle);
  (void)::CloseHandle(handle);  // opened only to ask
  return identity;
}

std::optional<FileIdentity> standard_input_identity() {
  const intptr_t handle = ::_get_osfhandle(0);
  return handle == -1 ? std::nullopt
                      : identity_of(reinterpret_cast<HANDLE>(handle));
}

#else

// A device is the device it stands for, whatever node names it: its type
// and number. Anything else is its inode on its file system.
FileIdentity identity_of(const struct stat& status) {
  if (S_ISBLK(status.st_mode) || S_ISCHR(status.st_mode)) {
    return {status.st_mode & S_IFMT, 0, status.st_rdev};
  }
  return {0, status.st_dev, status.st_ino};
}

std::optional<FileIdentity> identity_of(const fs::path& path) {
  struct stat status {};
  if (path.empty() || ::stat(path.c_str(), &status) != 0) {
    return std::nullopt;
  }
  return identity_of(status);
}

std::optional<FileIdentity> standard_input_identity() {
  struct stat status {};
  if (::fstat(STDIN_FILENO, &status) != 0) {
    return std::nullopt;
  }
  return identity_of(status);
}

#endif

}  // namespace

bool is_directory(const char* name) {
  std::error_code error;
  return fs::is_directory(path_from_argument(name), error);
}

bool same_file(const char* a, const char* b) {
  // A destination that does not exist yet cannot be the source; that and any
  // other failed look-up is no identity.
  const std::optional<FileIdentity> first = identity_of(path_from_argument(a));
  return first && first == identity_of(path_from_argument(b));
}

bool same_file_as_standard_input(const char* name) {
  const std::optional<FileIdentity> input = standard_input_identity();
  return input && input == identity_of(path_from_argument(name));
}

}  // namespace varnel
