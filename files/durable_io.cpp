#include "files/durable_io.h"

#include <cerrno>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
// After windows.h, which it needs.
#include <aclapi.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <optional>
#include <span>
#include <utility>

#include "files/kept_access.h"
#if defined(__linux__)
#include <sys/xattr.h>
#endif
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

FileAccess access_of(std::FILE* file) {
  const HANDLE handle = handle_of(file);
  BY_HANDLE_FILE_INFORMATION information{};
  if (handle == INVALID_HANDLE_VALUE ||
      ::GetFileInformationByHandle(handle, &information) == 0) {
    return {};
  }
  FileAccess access;
  access.known = true;
  access.windows_attributes = information.dwFileAttributes;
  return access;
}

bool read_attributes(std::FILE* file, FileAccess& access,
                     std::error_code& error) {
  const HANDLE handle = handle_of(file);
  if (handle == INVALID_HANDLE_VALUE) {
    return true;
  }
  PSECURITY_DESCRIPTOR security = nullptr;
  const DWORD result =
      ::GetSecurityInfo(handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                        nullptr, nullptr, nullptr, nullptr, &security);
  if (result == ERROR_NOT_SUPPORTED || result == ERROR_INVALID_FUNCTION) {
    return true;  // a file system without ACLs: none to keep
  }
  if (result != ERROR_SUCCESS) {
    error = {static_cast<int>(result), std::system_category()};
    return false;
  }
  const auto* bytes = static_cast<const std::uint8_t*>(security);
  access.windows_security.assign(
      bytes, bytes + ::GetSecurityDescriptorLength(security));
  (void)::LocalFree(security);
  return true;
}

namespace {

// Gives the file `handle` the DACL of the security descriptor `security`,
// inherited entries coming from its folder as they did to the old file, or
// not where the old file's DACL was protected from them.
bool give_security(HANDLE handle, const std::vector<std::uint8_t>& security,
                   std::error_code& error) {
  auto* descriptor = const_cast<std::uint8_t*>(security.data());
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  if (::GetSecurityDescriptorControl(descriptor, &control, &revision) == 0 ||
      ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) ==
          0) {
    error = last_error();
    return false;
  }
  // No DACL at all grants everyone everything, which is what a file system
  // without ACLs (FAT on a memory card) says of every file: the new file's
  // own DACL then grants no more.
  if (present == FALSE || dacl == nullptr) {
    return true;
  }
  const SECURITY_INFORMATION what =
      DACL_SECURITY_INFORMATION | ((control & SE_DACL_PROTECTED) != 0
                                       ? PROTECTED_DACL_SECURITY_INFORMATION
                                       : UNPROTECTED_DACL_SECURITY_INFORMATION);
  const DWORD result = ::SetSecurityInfo(handle, SE_FILE_OBJECT, what, nullptr,
                                         nullptr, dacl, nullptr);
  if (result == ERROR_NOT_SUPPORTED || result == ERROR_INVALID_FUNCTION) {
    return true;  // a file system without ACLs: the new file has none either
  }
  if (result != ERROR_SUCCESS) {
    error = {static_cast<int>(result), std::system_category()};
    return false;
  }
  return true;
}

}  // namespace

bool give_access(std::FILE* file, const FileAccess& access,
                 std::error_code& error) {
  const HANDLE handle = handle_of(file);
  if (handle == INVALID_HANDLE_VALUE || !access.known) {
    return true;
  }
  // The old file's ACL, or nothing replaced: the new file would otherwise
  // have its folder's, which may grant more.
  if (!access.windows_security.empty() &&
      !give_security(handle, access.windows_security, error)) {
    return false;
  }
  const DWORD kept = access.windows_attributes &
                     (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  if (kept == 0) {
    return true;  // a new file has the archive attribute already
  }
  // Times of zero are left as they are.
  FILE_BASIC_INFO information{};
  information.FileAttributes = kept | FILE_ATTRIBUTE_ARCHIVE;
  if (::SetFileInformationByHandle(handle, FileBasicInfo, &information,
                                   sizeof information) == 0) {
    error = last_error();
    return false;
  }
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

std::filesystem::path path_for_system(const std::filesystem::path& path) {
  const std::wstring& name = path.native();
  if (name.empty() || name.starts_with(LR"(\\?\)") ||
      name.starts_with(LR"(\\.\)")) {
    return path;
  }
  // The full path, with "." and ".." resolved and the trailing dots and
  // blanks of a name dropped, as Windows does to a name it is given: the
  // prefix turns all of that off.
  const DWORD size = ::GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
  if (size == 0) {
    return path;
  }
  std::wstring full(size, L'\0');
  const DWORD length =
      ::GetFullPathNameW(name.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) {
    return path;
  }
  full.resize(length);
  if (full.starts_with(LR"(\\)")) {
    return LR"(\\?\UNC\)" + full.substr(2);  // \\server\share\...
  }
  return LR"(\\?\)" + full;
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

// Gives the file on `fd` the owner and group of `access`, where the process
// may, and notes in `kept` what it could not. Only the superuser may give a
// file away, and only a member may give it to a group: what the process may
// not set stays its own.
bool give_owner(int fd, const FileAccess& access, Kept& kept,
                std::error_code& error) {
  struct stat now {};
  if (::fstat(fd, &now) != 0) {
    error = errno_code();
    return false;
  }
  const auto owner = static_cast<uid_t>(access.owner);
  const auto group = static_cast<gid_t>(access.group);
  kept.owner = now.st_uid == owner;
  kept.group = now.st_gid == group;
  if (kept.owner && kept.group) {
    return true;
  }
  if (::fchown(fd, owner, group) == 0) {
    kept.owner = kept.group = true;
    return true;
  }
  if (errno != EPERM) {
    error = errno_code();
    return false;
  }
  if (!kept.group) {
    if (::fchown(fd, static_cast<uid_t>(-1), group) == 0) {
      kept.group = true;
    } else if (errno != EPERM) {
      error = errno_code();
      return false;
    }
  }
  return true;
}

#if defined(__linux__)

// Attempts at a list or a value that changes size between the call that
// measures it and the one that reads it.
constexpr int kAttributeAttempts = 8;

// Errors of the attribute calls that say that an attribute cannot be had or
// set here (a file system without attributes or ACLs, a namespace this user
// may not use, a value this file system does not take), not that the disk
// failed: such an attribute is left out.
bool attribute_impossible(int error) {
  return error == ENOTSUP || error == EOPNOTSUPP || error == EPERM ||
         error == EACCES || error == EINVAL || error == E2BIG;
}

// The names of the extended attributes of `fd`, each ended by a null byte.
bool list_attributes(int fd, std::vector<char>& names, std::error_code& error) {
  for (int attempt = 0; attempt < kAttributeAttempts; ++attempt) {
    const ssize_t size = ::flistxattr(fd, nullptr, 0);
    ssize_t got = 0;
    if (size > 0) {
      names.resize(static_cast<std::size_t>(size));
      got = ::flistxattr(fd, names.data(), names.size());
    }
    if (size >= 0 && got >= 0) {
      names.resize(static_cast<std::size_t>(got));
      return true;
    }
    if (errno == ERANGE) {
      continue;  // more names since they were measured
    }
    names.clear();
    if (attribute_impossible(errno)) {
      return true;  // none that can be kept
    }
    error = errno_code();
    return false;
  }
  error = std::make_error_code(std::errc::result_out_of_range);
  return false;
}

// Reads the value of `attribute`, named; `readable` is false for one gone
// meanwhile or that this user may not read.
bool read_attribute(int fd, ExtendedAttribute& attribute, bool& readable,
                    std::error_code& error) {
  const char* name = attribute.name.c_str();
  for (int attempt = 0; attempt < kAttributeAttempts; ++attempt) {
    const ssize_t size = ::fgetxattr(fd, name, nullptr, 0);
    ssize_t got = 0;
    if (size > 0) {
      attribute.value.resize(static_cast<std::size_t>(size));
      got =
          ::fgetxattr(fd, name, attribute.value.data(), attribute.value.size());
    }
    if (size >= 0 && got >= 0) {
      attribute.value.resize(static_cast<std::size_t>(got));
      readable = true;
      return true;
    }
    if (errno == ERANGE) {
      continue;  // longer since it was measured
    }
    if (errno == ENODATA || attribute_impossible(errno)) {
      return true;
    }
    error = errno_code();
    return false;
  }
  error = std::make_error_code(std::errc::result_out_of_range);
  return false;
}

#endif

// Sets one extended attribute on `fd`; one that cannot be set here is left
// out (true with `set` false).
bool set_attribute(int fd, const std::string& name,
                   std::span<const std::uint8_t> value, bool& set,
                   std::error_code& error) {
#if defined(__linux__)
  set = ::fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) == 0;
  if (set || attribute_impossible(errno)) {
    return true;
  }
  error = errno_code();
  return false;
#else
  (void)fd;
  (void)name;
  (void)value;
  (void)error;
  set = false;
  return true;
#endif
}

bool give_attribute(int fd, const std::string& name,
                    std::span<const std::uint8_t> value,
                    std::error_code& error) {
  bool set = false;
  return set_attribute(fd, name, value, set, error);
}

// The old file's access ACL, for a new file whose owner and group are in
// `kept`: where the group is another, its own entry gives it no more than
// others had, and where it cannot be narrowed so, it is not set.
bool give_acl(int fd, const std::vector<std::uint8_t>& value, Kept& kept,
              std::error_code& error) {
  std::vector<std::uint8_t> acl = value;
  if (!kept.group && !narrow_acl_group_to_other(acl)) {
    return true;
  }
  return set_attribute(fd, kAccessAclAttribute, acl, kept.acl, error);
}

// Removes the access ACL of `fd`, if it has one.
bool drop_acl(int fd, std::error_code& error) {
#if defined(__linux__)
  if (::fremovexattr(fd, kAccessAclAttribute) == 0 || errno == ENODATA ||
      attribute_impossible(errno)) {
    return true;
  }
  error = errno_code();
  return false;
#else
  (void)fd;
  (void)error;
  return true;
#endif
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
  FileAccess access;
  access.known = true;
  access.mode = status.st_mode & 07777U;
  access.owner = status.st_uid;
  access.group = status.st_gid;
  return access;
}

bool read_attributes(std::FILE* file, FileAccess& access,
                     std::error_code& error) {
#if defined(__linux__)
  const int fd = ::fileno(file);
  std::vector<char> names;
  if (fd < 0 || !list_attributes(fd, names, error)) {
    return fd < 0;
  }
  for (std::size_t at = 0; at < names.size();) {
    ExtendedAttribute attribute;
    attribute.name = names.data() + at;
    at += attribute.name.size() + 1;
    bool readable = false;
    if (!read_attribute(fd, attribute, readable, error)) {
      return false;
    }
    if (readable) {
      access.attributes.push_back(std::move(attribute));
    }
  }
#else
  (void)file;
  (void)access;
  (void)error;
#endif
  return true;
}

bool give_access(std::FILE* file, const FileAccess& access,
                 std::error_code& error) {
  const int fd = ::fileno(file);
  if (fd < 0 || !access.known) {
    return true;
  }
  Kept kept;
  if (!give_owner(fd, access, kept, error)) {
    return false;
  }
  bool had_acl = false;
  std::optional<AclClasses> acl;
  for (const ExtendedAttribute& attribute : access.attributes) {
    if (attribute.name == kAccessAclAttribute) {
      had_acl = true;
      acl = acl_classes(attribute.value);
      if (!give_acl(fd, attribute.value, kept, error)) {
        return false;
      }
    } else if (!give_attribute(fd, attribute.name, attribute.value, error)) {
      return false;
    }
  }
  // The new file may have taken an ACL from its folder's default: one that
  // the old file did not have would grant more.
  if (!had_acl && !drop_acl(fd, error)) {
    return false;
  }
  // After the owner, whose change clears the set-user-ID bits, and after the
  // ACL, which sets the group bits of its own.
  const unsigned mode = kept_mode(access.mode, kept, had_acl, acl);
  if (::fchmod(fd, static_cast<mode_t>(mode)) != 0) {
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

std::filesystem::path path_for_system(const std::filesystem::path& path) {
  return path;
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
