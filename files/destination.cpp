#include "files/destination.h"

#include <cerrno>
#include <charconv>
#include <optional>
#include <string>

#include "files/argument_path.h"
#include "files/device.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/magic.h>
#include <sys/statfs.h>
#endif
#endif

namespace varnel {

namespace fs = std::filesystem;

namespace {

DestinationFound unusable(DestinationFound found, std::error_code error) {
  found.kind = Destination::unusable;
  found.error = error;
  return found;
}

}  // namespace

#if defined(_WIN32)

namespace {

std::error_code last_error() {
  return {static_cast<int>(::GetLastError()), std::system_category()};
}

// The path by which the system knows the open file `handle`, links and
// drive mappings followed: \\?\C:\folder\name.
std::optional<fs::path> final_path_of(HANDLE handle) {
  constexpr DWORD kFlags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
  const DWORD needed = ::GetFinalPathNameByHandleW(handle, nullptr, 0, kFlags);
  if (needed == 0) {
    return std::nullopt;
  }
  std::wstring path(needed, L'\0');
  const DWORD length =
      ::GetFinalPathNameByHandleW(handle, path.data(), needed, kFlags);
  if (length == 0 || length >= needed) {
    return std::nullopt;
  }
  path.resize(length);
  return fs::path(path);
}

}  // namespace

DestinationFound find_destination(const char* name) {
  DestinationFound found;
  found.path = path_from_argument(name);
  if (found.path.empty()) {
    return unusable(found,
                    std::make_error_code(std::errc::no_such_file_or_directory));
  }
  // Windows' reserved names (NUL, CON) and its device namespace are "not
  // found", or no name at all, to the file system, and still open as
  // devices: only asking tells.
  if (is_device(found.path)) {
    found.kind = Destination::other;
    return found;
  }
  // Opened for no access, which no file refuses: the system follows the
  // links and says where the file is.
  const HANDLE handle = ::CreateFileW(
      found.path.c_str(), 0,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const std::error_code error = last_error();
    if (::GetLastError() != ERROR_FILE_NOT_FOUND &&
        ::GetLastError() != ERROR_PATH_NOT_FOUND) {
      return unusable(found, error);
    }
    // A link that leads nowhere: where it would lead is not asked, and no
    // file is put in its place.
    const DWORD attributes = ::GetFileAttributesW(found.path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      return unusable(found, error);
    }
    found.kind = Destination::nothing;
    return found;
  }
  BY_HANDLE_FILE_INFORMATION information{};
  const bool known = ::GetFileInformationByHandle(handle, &information) != 0;
  std::error_code error = known ? std::error_code{} : last_error();
  // Where the system found the file, links followed: where the name given
  // leads. Where it cannot say (Wine, for a path longer than MAX_PATH), the
  // name given.
  const std::optional<fs::path> final_path =
      known ? final_path_of(handle) : std::nullopt;
  (void)::CloseHandle(handle);  // opened for no access: nothing to lose
  if (error) {
    return unusable(found, error);
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    found.kind = Destination::directory;
    return found;
  }
  found.kind = Destination::regular_file;
  if (final_path) {
    found.path = *final_path;
  }
  found.device = information.dwVolumeSerialNumber;
  found.inode = std::uint64_t{information.nFileIndexHigh} << 32U |
                information.nFileIndexLow;
  return found;
}

bool is_file_found(std::FILE* file, const DestinationFound& found) {
  const int fd = ::_fileno(file);
  const HANDLE handle = fd < 0 ? INVALID_HANDLE_VALUE
                               : reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  BY_HANDLE_FILE_INFORMATION information{};
  if (handle == INVALID_HANDLE_VALUE ||
      ::GetFileInformationByHandle(handle, &information) == 0) {
    return false;
  }
  return information.dwVolumeSerialNumber == found.device &&
         (std::uint64_t{information.nFileIndexHigh} << 32U |
          information.nFileIndexLow) == found.inode;
}

#else

namespace {

std::error_code errno_code() { return {errno, std::generic_category()}; }

// As many as the system itself follows before it gives up (ELOOP).
constexpr int kMaxLinks = 40;

#if defined(__linux__)
#if defined(STATX_ATTR_MOUNT_ROOT)
constexpr auto kMountRoot = STATX_ATTR_MOUNT_ROOT;
#else
constexpr std::uint64_t kMountRoot = 0x2000;  // Linux 5.8
#endif
#endif

// The folder that holds the last component of `path`.
fs::path folder_of(const fs::path& path) {
  const fs::path parent = path.parent_path();
  return parent.empty() ? fs::path(".") : parent;
}

// Linux refuses, where fs.protected_symlinks is set, to follow a link in a
// folder that anyone may write to and only owners delete from (/tmp) unless
// the link belongs to the user who follows it or to the folder's owner:
// another user's link there could lead anywhere this user may write. The
// same rule holds here whatever that setting.
bool may_follow(const fs::path& link, const struct stat& link_status) {
  if (link_status.st_uid == ::geteuid()) {
    return true;
  }
  struct stat folder {};
  if (::stat(folder_of(link).c_str(), &folder) != 0) {
    return false;
  }
  constexpr mode_t kShared = S_ISVTX | S_IWOTH;
  return (folder.st_mode & kShared) != kShared ||
         folder.st_uid == link_status.st_uid;
}

// Whether `link` is one of the system's own links (/proc/self/fd/N), which
// name an open file rather than a place.
bool is_system_link(const fs::path& link) {
#if defined(__linux__)
  struct statfs system {};
  return ::statfs(folder_of(link).c_str(), &system) == 0 &&
         system.f_type == PROC_SUPER_MAGIC;
#else
  (void)link;
  return false;
#endif
}

// The descriptor of this process that the system's link `link` stands for:
// the link is named by its number, and leads to the very file it has open.
// -1 when it is none of this process's.
int descriptor_named(const fs::path& link) {
  const std::string name = link.filename().string();
  int number = -1;
  const char* end = name.data() + name.size();
  const auto [stop, problem] = std::from_chars(name.data(), end, number);
  if (problem != std::errc{} || stop != end || number < 0) {
    return -1;
  }
  struct stat own {};
  struct stat named {};
  if (::fstat(number, &own) != 0 || ::stat(link.c_str(), &named) != 0) {
    return -1;
  }
  return own.st_dev == named.st_dev && own.st_ino == named.st_ino ? number : -1;
}

DestinationFound through_descriptor(DestinationFound found, int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  struct stat status {};
  if (flags == -1 || ::fstat(fd, &status) != 0) {
    return unusable(found, errno_code());
  }
  if ((flags & O_ACCMODE) == O_RDONLY) {
    return unusable(found,
                    std::make_error_code(std::errc::bad_file_descriptor));
  }
  found.kind = Destination::descriptor;
  found.descriptor = fd;
  found.descriptor_is_file = S_ISREG(status.st_mode);
  return found;
}

// Where the system found the open file `fd`: the path it knows it by, or
// nothing where it cannot say.
std::optional<fs::path> path_of_descriptor(int fd) {
#if defined(__linux__)
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  std::error_code error;
  const fs::path path = fs::read_symlink(link, error);
  if (error || !path.is_absolute()) {
    return std::nullopt;
  }
  return path;
#else
  (void)fd;
  return std::nullopt;
#endif
}

// Why the file `status` at `path` cannot be replaced by a rename: in a
// sticky folder (/tmp), a file of another user that this user may write but
// not delete; a file mounted over another (a bind mount), which only an
// unmount can take away. Nothing when it can.
std::error_code why_not_replaceable(int fd, const struct stat& status,
                                    const fs::path& path) {
  struct stat folder {};
  const uid_t user = ::geteuid();
  if (::stat(folder_of(path).c_str(), &folder) == 0 &&
      (folder.st_mode & S_ISVTX) != 0 && user != 0 && status.st_uid != user &&
      folder.st_uid != user) {
    return std::make_error_code(std::errc::operation_not_permitted);
  }
#if defined(__linux__)
  struct statx extended {};
  if (::statx(fd, "", AT_EMPTY_PATH, STATX_TYPE, &extended) == 0 &&
      (extended.stx_attributes_mask & kMountRoot) != 0 &&
      (extended.stx_attributes & kMountRoot) != 0) {
    return std::make_error_code(std::errc::device_or_resource_busy);
  }
#else
  (void)fd;
#endif
  return {};
}

// What the system finds at `found.path`, links followed by it, so that its
// own protections apply. `walked` is where the links read by hand led: the
// file's name as this process reaches it, relative where the name given
// was, so that it works where the folders above the current one cannot be
// passed through. Where the walk ended at another process's descriptor,
// only the path the system knows the file by can say where it is.
DestinationFound found_by_the_system(DestinationFound found,
                                     const fs::path& walked,
                                     bool only_the_system_knows) {
#if defined(O_PATH)
  constexpr int kLookOnly = O_PATH;
#else
  constexpr int kLookOnly = O_RDONLY | O_NONBLOCK | O_NOCTTY;
#endif
  const int fd = ::open(found.path.c_str(), kLookOnly | O_CLOEXEC);
  if (fd < 0) {
    return unusable(found, errno_code());
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    const std::error_code error = errno_code();
    (void)::close(fd);  // opened only to look
    return unusable(found, error);
  }
  found.device = static_cast<std::uint64_t>(status.st_dev);
  found.inode = static_cast<std::uint64_t>(status.st_ino);
  if (S_ISDIR(status.st_mode)) {
    found.kind = Destination::directory;
  } else if (!S_ISREG(status.st_mode)) {
    found.kind = Destination::other;
  } else if (status.st_nlink == 0) {
    // Open somewhere, but removed: nothing has its name.
    found = unusable(
        found, std::make_error_code(std::errc::no_such_file_or_directory));
  } else {
    found.kind = Destination::regular_file;
    found.path = only_the_system_knows ? path_of_descriptor(fd).value_or(walked)
                                       : walked;
    if (const std::error_code why =
            why_not_replaceable(fd, status, found.path)) {
      found = unusable(found, why);
    }
  }
  (void)::close(fd);  // opened only to look
  return found;
}

// What one link of a walk leads to.
enum class Step {
  next,           // the place it leads to, to look at in turn
  answered,       // the answer: refused, or an open descriptor
  to_the_system,  // another process's descriptor: only the system can tell
};

// Follows the link `at` (`status` is its own) by hand, moving `at` to where
// it leads; or sets `found` to the answer.
Step follow_link(fs::path& at, const struct stat& status,
                 DestinationFound& found) {
  if (!may_follow(at, status)) {
    found = unusable(found, std::make_error_code(std::errc::permission_denied));
    return Step::answered;
  }
  if (is_system_link(at)) {
    const int fd = descriptor_named(at);
    if (fd < 0) {
      return Step::to_the_system;
    }
    found = through_descriptor(found, fd);
    return Step::answered;
  }
  std::error_code error;
  const fs::path to = fs::read_symlink(at, error);
  if (error) {
    found = unusable(found, error);
    return Step::answered;
  }
  at = to.is_absolute() ? to : at.parent_path() / to;
  return Step::next;
}

}  // namespace

DestinationFound find_destination(const char* name) {
  DestinationFound found;
  found.path = path_from_argument(name);
  if (found.path.empty()) {
    return unusable(found,
                    std::make_error_code(std::errc::no_such_file_or_directory));
  }
  // The links are read first: to find where a new file goes behind one that
  // leads nowhere, to refuse one that should not be followed, and to tell the
  // system's own links to open descriptors. The system then follows them
  // itself to what is there.
  fs::path at = found.path;
  bool only_the_system_knows = false;
  for (int links = 0;; ++links) {
    struct stat status {};
    if (::lstat(at.c_str(), &status) != 0) {
      if (errno != ENOENT) {
        return unusable(found, errno_code());
      }
      found.kind =
          links > 0 ? Destination::dangling_link : Destination::nothing;
      found.path = at;
      return found;
    }
    if (!S_ISLNK(status.st_mode)) {
      break;
    }
    if (links == kMaxLinks) {
      return unusable(found, std::make_error_code(
                                 std::errc::too_many_symbolic_link_levels));
    }
    const Step step = follow_link(at, status, found);
    if (step == Step::answered) {
      return found;
    }
    if (step == Step::to_the_system) {
      only_the_system_knows = true;
      break;
    }
  }
  return found_by_the_system(found, at, only_the_system_knows);
}

bool is_file_found(std::FILE* file, const DestinationFound& found) {
  struct stat status {};
  const int fd = ::fileno(file);
  return fd >= 0 && ::fstat(fd, &status) == 0 &&
         static_cast<std::uint64_t>(status.st_dev) == found.device &&
         static_cast<std::uint64_t>(status.st_ino) == found.inode;
}

#endif

}  // namespace varnel
