#include "files/source_file.h"

#include <cerrno>

#include "files/stream_position.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/vfs.h>

#include <algorithm>
#include <array>
#endif
#endif

namespace varnel {

#if defined(_WIN32)

std::FILE* open_source(const char* name) {
  // Names reach the program as UTF-8 (its manifest says so), and the C
  // runtime opens them as such. Nothing that a name can lead to on Windows
  // makes the open wait: a named pipe with no free instance fails at once.
  return std::fopen(name, "rb");
}

std::optional<std::uint64_t> source_size(std::FILE* source) {
  const int fd = ::_fileno(source);
  if (fd < 0) {
    return stream_size(source);
  }
  const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  LARGE_INTEGER size{};
  if (handle == INVALID_HANDLE_VALUE ||
      ::GetFileType(handle) != FILE_TYPE_DISK ||
      ::GetFileSizeEx(handle, &size) == 0 || size.QuadPart < 0) {
    return std::nullopt;  // a pipe, a console, NUL
  }
  return static_cast<std::uint64_t>(size.QuadPart);
}

#else

namespace {

#if defined(__linux__)

// Whether `fd` is a file of the kernel's own file systems, whose contents are
// made up as they are read: /proc says 0 bytes, /sys 4096, whatever they hold.
bool made_up_as_read(int fd) {
  constexpr std::array<std::uint32_t, 7> kMadeUp = {
      PROC_SUPER_MAGIC, SYSFS_MAGIC,        DEBUGFS_MAGIC,      TRACEFS_MAGIC,
      SECURITYFS_MAGIC, CGROUP_SUPER_MAGIC, CGROUP2_SUPER_MAGIC};
  struct statfs file_system {};
  if (::fstatfs(fd, &file_system) != 0) {
    return true;  // what cannot be told is not trusted
  }
  const auto type = static_cast<std::uint32_t>(file_system.f_type);
  return std::find(kMadeUp.begin(), kMadeUp.end(), type) != kMadeUp.end();
}

std::optional<std::uint64_t> block_device_size(int fd) {
  std::uint64_t size = 0;
  if (::ioctl(fd, BLKGETSIZE64, &size) != 0) {
    return std::nullopt;
  }
  return size;
}

#else

bool made_up_as_read(int) { return false; }

// Only Linux is known to tell a block device's size this way.
std::optional<std::uint64_t> block_device_size(int) { return std::nullopt; }

#endif

}  // namespace

std::FILE* open_source(const char* name) {
  // Without O_NONBLOCK, opening a FIFO waits for a writer, for ever if none
  // comes. Once open, reads may wait as they always do.
  const int fd = ::open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    return nullptr;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  std::FILE* source = nullptr;
  if (flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) {
    source = ::fdopen(fd, "rb");
  }
  if (source == nullptr) {
    const int error = errno;  // the reason, kept for the caller
    (void)::close(fd);        // nothing was read from it
    errno = error;
  }
  return source;
}

std::optional<std::uint64_t> source_size(std::FILE* source) {
  const int fd = ::fileno(source);
  if (fd < 0) {
    return stream_size(source);
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    return std::nullopt;
  }
  if (S_ISREG(status.st_mode) && status.st_size >= 0 && !made_up_as_read(fd)) {
    return static_cast<std::uint64_t>(status.st_size);
  }
  if (S_ISBLK(status.st_mode)) {
    return block_device_size(fd);
  }
  return std::nullopt;
}

#endif

}  // namespace varnel
