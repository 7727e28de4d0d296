#include "files/durable_io.h"

#include <cerrno>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#endif

namespace varnel {
namespace {

std::error_code errno_code() { return {errno, std::generic_category()}; }

}  // namespace

#if defined(_WIN32)

namespace {

std::error_code last_error() {
  return {static_cast<int>(::GetLastError()), std::system_category()};
}

HANDLE handle_of(std::FILE* file) {
  const int fd = ::_fileno(file);
  return fd < 0 ? INVALID_HANDLE_VALUE
                : reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
}

// A stream on a descriptor that the stream then owns.
std::FILE* stream_on(int fd, std::error_code& error, const char* mode = "wb") {
  std::FILE* file = ::_fdopen(fd, mode);
  if (file == nullptr) {
    error = errno_code();
    (void)::_close(fd);  // nothing was written through it
  }
  return file;
}

}  // namespace

std::FILE* create_new_file(const std::filesystem::path& path, unsigned,
                           std::error_code& error) {
  // The C runtime of Windows ignores fopen's "x" and would empty the file;
  // its own open takes the exclusive flag.
  const int fd =
      ::_wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY,
               _S_IREAD | _S_IWRITE);
  if (fd < 0) {
    error = errno_code();
    return nullptr;
  }
  // A reserved name such as NUL.partial-1a2b3c opens a device, not a new file.
  if (::GetFileType(reinterpret_cast<HANDLE>(::_get_osfhandle(fd))) !=
      FILE_TYPE_DISK) {
    (void)::_close(fd);  // nothing was written to it
    error = std::make_error_code(std::errc::file_exists);
    return nullptr;
  }
  std::FILE* file = stream_on(fd, error);
  if (file == nullptr) {
    (void)::_wremove(path.c_str());  // made here, and empty
  }
  return file;
}

std::FILE* open_existing_for_update(const std::filesystem::path& path,
                                    std::error_code& error) {
  // The read-only attribute is what refuses writing on Windows; asked
  // first, so that it holds for an administrator under any emulation too.
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    error = std::make_error_code(std::errc::permission_denied);
    return nullptr;
  }
  const int fd = ::_wopen(path.c_str(), _O_RDWR | _O_BINARY);
  if (fd < 0) {
    error = errno_code();
    return nullptr;
  }
  return stream_on(fd, error, "r+b");
}

std::FILE* open_descriptor_for_writing(int fd, std::error_code& error) {
  const int copy = ::_dup(fd);
  if (copy < 0) {
    error = errno_code();
    return nullptr;
  }
  return stream_on(copy, error);
}

FileAccess access_of(std::FILE*) { return {}; }

bool give_access(std::FILE*, const FileAccess&, std::error_code&) {
  return true;
}

bool sync_file(std::FILE* file, std::error_code& error) {
  const HANDLE handle = handle_of(file);
  if (handle == INVALID_HANDLE_VALUE) {
    return true;
  }
  if (::FlushFileBuffers(handle) == 0) {
    error = last_error();
    return false;
  }
  return true;
}

bool sync_directory(const std::filesystem::path&, std::error_code&) {
  return true;
}

bool replace_file(const std::filesystem::path& from,
                  const std::filesystem::path& to, std::error_code& error) {
  if (::MoveFileExW(from.c_str(), to.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
    error = last_error();
    return false;
  }
  return true;
}

bool write_back(std::FILE*, std::uint64_t, std::uint64_t, std::error_code&) {
  return true;
}

void ignore_file_size_signal() {}

std::uint32_t process_number() { return ::GetCurrentProcessId(); }

#else

namespace {

std::FILE* stream_on(int fd, std::error_code& error, const char* mode = "wb") {
  // "w" on a descriptor empties nothing: the open decided that.
  std::FILE* file = ::fdopen(fd, mode);
  if (file == nullptr) {
    error = errno_code();
    (void)::close(fd);  // nothing was written through it
  }
  return file;
}

}  // namespace

std::FILE* create_new_file(const std::filesystem::path& path, unsigned mode,
                           std::error_code& error) {
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY,
             static_cast<mode_t>(mode));
  if (fd < 0) {
    error = errno_code();
    return nullptr;
  }
  std::FILE* file = stream_on(fd, error);
  if (file == nullptr) {
    (void)::unlink(path.c_str());  // made here, and empty
  }
  return file;
}

std::FILE* open_existing_for_update(const std::filesystem::path& path,
                                    std::error_code& error) {
  // The path has its links followed already: one put there since is not.
  const int fd =
      ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW);
  if (fd < 0) {
    error = errno_code();
    return nullptr;
  }
  return stream_on(fd, error, "r+b");
}

std::FILE* open_descriptor_for_writing(int fd, std::error_code& error) {
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) {
    error = errno_code();
    return nullptr;
  }
  return stream_on(copy, error);
}

FileAccess access_of(std::FILE* file) {
  struct stat status {};
  const int fd = ::fileno(file);
  if (fd < 0 || ::fstat(fd, &status) != 0) {
    return {};
  }
  return {true, status.st_mode & 07777U, status.st_uid, status.st_gid};
}

bool give_access(std::FILE* file, const FileAccess& access,
                 std::error_code& error) {
  const int fd = ::fileno(file);
  if (fd < 0 || !access.known) {
    return true;
  }
  const FileAccess now = access_of(file);
  if (now.owner != access.owner || now.group != access.group) {
    // Only the superuser may give a file away, and only a member may give it
    // to a group: what the process may not set stays its own.
    const auto owner = static_cast<uid_t>(access.owner);
    const auto group = static_cast<gid_t>(access.group);
    if (::fchown(fd, owner, group) != 0 &&
        (errno != EPERM || (::fchown(fd, static_cast<uid_t>(-1), group) != 0 &&
                            errno != EPERM))) {
      error = errno_code();
      return false;
    }
  }
  // After the owner: a change of owner clears the set-user-ID bits.
  if (::fchmod(fd, static_cast<mode_t>(access.mode)) != 0) {
    error = errno_code();
    return false;
  }
  return true;
}

bool sync_file(std::FILE* file, std::error_code& error) {
  const int fd = ::fileno(file);
  if (fd >= 0 && ::fsync(fd) != 0) {
    error = errno_code();
    return false;
  }
  return true;
}

bool sync_directory(const std::filesystem::path& directory,
                    std::error_code& error) {
  const char* name = directory.empty() ? "." : directory.c_str();
  const int fd = ::open(name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    error = errno_code();
    return false;
  }
  // A file system that cannot sync a directory says EINVAL: there is nothing
  // more to make durable there.
  const bool synced = ::fsync(fd) == 0 || errno == EINVAL;
  if (!synced) {
    error = errno_code();
  }
  (void)::close(fd);  // opened for reading only
  return synced;
}

bool replace_file(const std::filesystem::path& from,
                  const std::filesystem::path& to, std::error_code& error) {
  if (::rename(from.c_str(), to.c_str()) != 0) {
    error = errno_code();
    return false;
  }
  return true;
}

bool write_back(std::FILE* file, std::uint64_t offset, std::uint64_t length,
                std::error_code& error) {
#if defined(__linux__)
  const int fd = ::fileno(file);
  if (fd >= 0 &&
      ::sync_file_range(fd, static_cast<off64_t>(offset),
                        static_cast<off64_t>(length),
                        SYNC_FILE_RANGE_WRITE) != 0 &&
      (errno == EIO || errno == ENOSPC)) {
    // The disk failed to take the data: a write error, found early. Other
    // errors only mean that this file cannot be written back this way.
    error = errno_code();
    return false;
  }
#else
  (void)file;
  (void)offset;
  (void)length;
  (void)error;
#endif
  return true;
}

void ignore_file_size_signal() {
  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  (void)::sigemptyset(&action.sa_mask);
  (void)::sigaction(SIGXFSZ, &action, nullptr);
}

std::uint32_t process_number() {
  return static_cast<std::uint32_t>(::getpid());
}

#endif

}  // namespace varnel
