#include <fcntl.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <linux/magic.h>
#include <linux/major.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string>

#include "files/system_posix.h"

namespace varnel {

namespace {

#if defined(STATX_ATTR_MOUNT_ROOT)
constexpr auto kMountRoot = STATX_ATTR_MOUNT_ROOT;
#else
constexpr std::uint64_t kMountRoot = 0x2000;  // Linux 5.8
#endif

// Attempts at a list or a value that changes size between the call that
// measures it and the one that reads it.
constexpr int kAttributeAttempts = 8;

// A file capability (setcap): a privilege given to the old contents, which
// new ones never inherit, as cp and a write by any user drop it.
constexpr char kCapabilityAttribute[] = "security.capability";

// The system's own link to what `fd` has open.
std::string link_to(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

std::uint32_t file_system_of(int fd) {
  struct statfs system {};
  return ::fstatfs(fd, &system) == 0 ? static_cast<std::uint32_t>(system.f_type)
                                     : 0;
}

// Errors of the attribute calls that say that an attribute cannot be had or
// set here (a file system without attributes or ACLs, a namespace this user
// may not use, a value this file system does not take), not that the disk
// failed: such an attribute is left out.
bool attribute_impossible(int error) {
  return error == ENOTSUP || error == EOPNOTSUPP || error == EPERM ||
         error == EACCES || error == EINVAL || error == E2BIG;
}

// Reads what `get` gives (a list of names, or one value) into `into`, which
// grows to what it measures; `readable` is false where there is none to have.
template <typename Get>
bool read_sized(Get get, std::vector<std::uint8_t>& into, bool& readable,
                std::error_code& error) {
  readable = false;
  for (int attempt = 0; attempt < kAttributeAttempts; ++attempt) {
    const ssize_t size = get(nullptr, 0);
    ssize_t got = 0;
    if (size > 0) {
      into.resize(static_cast<std::size_t>(size));
      got = get(into.data(), into.size());
    }
    if (size >= 0 && got >= 0) {
      into.resize(static_cast<std::size_t>(got));
      readable = true;
      return true;
    }
    if (errno == ERANGE) {
      continue;  // longer since it was measured
    }
    if (errno == ENODATA || attribute_impossible(errno)) {
      return true;
    }
    error = errno_error();
    return false;
  }
  error = std::make_error_code(std::errc::result_out_of_range);
  return false;
}

// Sets one extended attribute on `fd`; one that cannot be set here is left
// out (true with `set` false).
bool set_attribute(int fd, const std::string& name,
                   std::span<const std::uint8_t> value, bool& set,
                   std::error_code& error) {
  set = ::fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) == 0;
  if (set || attribute_impossible(errno)) {
    return true;
  }
  error = errno_error();
  return false;
}

bool is_loop_device(const struct stat& status) {
  return S_ISBLK(status.st_mode) && major(status.st_rdev) == LOOP_MAJOR;
}

// The file behind the loop device open as `fd`.
std::optional<FileIdentity> file_behind(int fd) {
  struct loop_info64 info {};
  if (::ioctl(fd, LOOP_GET_STATUS64, &info) != 0) {
    return std::nullopt;  // not attached: nothing behind it
  }
  // Its device number in the kernel's own encoding: the minor's low byte,
  // the major, then the rest of the minor.
  const std::uint64_t device = info.lo_device;
  const auto major_number = static_cast<unsigned>((device & 0xFFF00U) >> 8U);
  const auto minor_number =
      static_cast<unsigned>((device & 0xFFU) | ((device >> 12U) & 0xFFF00U));
  return FileIdentity{
      0, static_cast<std::uint64_t>(makedev(major_number, minor_number)),
      info.lo_inode};
}

}  // namespace

std::optional<FileIdentity> file_behind_path(
    const std::filesystem::path& path) {
  struct stat status {};
  if (path.empty() || ::stat(path.c_str(), &status) != 0 ||
      !is_loop_device(status)) {
    return std::nullopt;
  }
  // Opened only to ask: a loop device opened neither reads nor writes.
  Descriptor device = open_path(AT_FDCWD, path.c_str(),
                                O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (!device) {
    device = open_path(AT_FDCWD, path.c_str(),
                       O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  }
  struct stat opened {};
  if (!device || !stat_of(device, opened) || !is_loop_device(opened) ||
      opened.st_rdev != status.st_rdev) {
    return std::nullopt;
  }
  return file_behind(file_number(device));
}

std::optional<FileIdentity> file_behind_standard_input() {
  struct stat status {};
  if (::fstat(STDIN_FILENO, &status) != 0 || !is_loop_device(status)) {
    return std::nullopt;
  }
  return file_behind(STDIN_FILENO);
}

bool remove_capability(int fd, std::error_code& error) {
  if (::fremovexattr(fd, kCapabilityAttribute) != 0 && errno != ENODATA &&
      !attribute_impossible(errno)) {
    error = errno_error();
    return false;
  }
  return true;
}

bool is_process_folder(int folder) {
  return file_system_of(folder) == PROC_SUPER_MAGIC;
}

std::error_code mount_point_error(int fd) {
  struct statx extended {};
  if (::statx(fd, "", AT_EMPTY_PATH, STATX_TYPE, &extended) == 0 &&
      (extended.stx_attributes_mask & kMountRoot) != 0 &&
      (extended.stx_attributes & kMountRoot) != 0) {
    return std::make_error_code(std::errc::device_or_resource_busy);
  }
  return {};
}

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

int reopen(int fd, int flags) { return ::open(link_to(fd).c_str(), flags); }

bool read_extended_attributes(int fd, FileAccess& access,
                              std::error_code& error) {
  std::vector<std::uint8_t> names;
  bool listed = false;
  if (!read_sized(
          [fd](void* into, std::size_t size) {
            return ::flistxattr(fd, static_cast<char*>(into), size);
          },
          names, listed, error)) {
    return false;
  }
  for (std::size_t at = 0; listed && at < names.size();) {
    ExtendedAttribute attribute;
    attribute.name = reinterpret_cast<const char*>(names.data() + at);
    at += attribute.name.size() + 1;
    if (attribute.name == kCapabilityAttribute) {
      continue;
    }
    bool readable = false;
    const char* name = attribute.name.c_str();
    if (!read_sized(
            [fd, name](void* into, std::size_t size) {
              return ::fgetxattr(fd, name, into, size);
            },
            attribute.value, readable, error)) {
      return false;
    }
    if (readable) {
      access.attributes.push_back(std::move(attribute));
    }
  }
  return true;
}

bool give_extended_attributes(int fd, const FileAccess& access, Kept& kept,
                              bool& had_acl, std::optional<AclClasses>& acl,
                              std::error_code& error) {
  for (const ExtendedAttribute& attribute : access.attributes) {
    if (attribute.name != kAccessAclAttribute) {
      bool set = false;
      if (!set_attribute(fd, attribute.name, attribute.value, set, error)) {
        return false;
      }
      continue;
    }
    // Where the group is another, the ACL's own entry for the owning group
    // gives it no more than others had; where it cannot be narrowed so, it is
    // not set.
    had_acl = true;
    acl = acl_classes(attribute.value);
    std::vector<std::uint8_t> value = attribute.value;
    if ((kept.group || narrow_acl_group_to_other(value)) &&
        !set_attribute(fd, attribute.name, value, kept.acl, error)) {
      return false;
    }
  }
  // The new file may have taken an ACL from its folder's default: one that
  // the old file did not have would grant more.
  if (!had_acl && ::fremovexattr(fd, kAccessAclAttribute) != 0 &&
      errno != ENODATA && !attribute_impossible(errno)) {
    error = errno_error();
    return false;
  }
  return true;
}

bool write_back(std::FILE* file, std::uint64_t offset, std::uint64_t length,
                std::error_code& error) {
  const int fd = ::fileno(file);
  if (fd >= 0 &&
      ::sync_file_range(fd, static_cast<off64_t>(offset),
                        static_cast<off64_t>(length),
                        SYNC_FILE_RANGE_WRITE) != 0 &&
      (errno == EIO || errno == ENOSPC)) {
    // The disk failed to take the data: a write error, found early. Other
    // errors only mean that this file cannot be written back this way.
    error = errno_error();
    return false;
  }
  return true;
}

bool names_can_go(const Place& place) {
  const Descriptor folder = open_path(file_number(place.folder), ".",
                                      O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int flags = 0;
  return !folder ||
         ::ioctl(file_number(folder), FS_IOC_GETFLAGS, &flags) != 0 ||
         (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) == 0;
}

Descriptor create_unnamed(const Place& place, unsigned mode,
                          std::error_code& error) {
  Descriptor file =
      open_path(file_number(place.folder), ".",
                O_TMPFILE | O_WRONLY | O_CLOEXEC, static_cast<mode_t>(mode));
  // Named later through /proc: without it, it could never be.
  if (!file ||
      ::faccessat(AT_FDCWD, link_to(file_number(file)).c_str(), F_OK, 0) != 0) {
    error = errno_error();
    return nullptr;
  }
  return file;
}

bool link_unnamed(const Descriptor& file, const Place& place,
                  const std::filesystem::path& name, std::error_code& error) {
  if (::linkat(AT_FDCWD, link_to(file_number(file)).c_str(),
               file_number(place.folder), name.c_str(),
               AT_SYMLINK_FOLLOW) != 0) {
    error = errno_error();
    return false;
  }
  return true;
}

bool rename_new(const Place& place, const std::filesystem::path& from,
                std::error_code& error) {
  const int folder = file_number(place.folder);
  if (::renameat2(folder, from.c_str(), folder, place.name.c_str(),
                  RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) {
    error = errno_error();
    return false;
  }
  return rename_if_holding(place, from, std::nullopt, error);
}

bool replace_old(const Place& place, const std::filesystem::path& from,
                 const FileIdentity& old, bool& from_is_new,
                 std::error_code& error) {
  const int folder = file_number(place.folder);
  const char* name = place.name.c_str();
  if (::renameat2(folder, from.c_str(), folder, name, RENAME_EXCHANGE) != 0) {
    if (errno != EINVAL && errno != ENOSYS) {
      error = errno_error();
      return false;
    }
    return rename_if_holding(place, from, old, error);
  }
  // The new file has the name; `from` holds what it held.
  from_is_new = false;
  struct stat out {};
  const bool looked =
      ::fstatat(folder, from.c_str(), &out, AT_SYMLINK_NOFOLLOW) == 0;
  if (looked && identity_from(out) != old) {
    error = std::make_error_code(std::errc::file_exists);
  } else if (looked && ::unlinkat(folder, from.c_str(), 0) == 0) {
    return true;
  } else {
    error = errno_error();
  }
  // Not the file that was checked, not known to be, or not to be removed: it
  // gets its name back.
  from_is_new =
      ::renameat2(folder, from.c_str(), folder, name, RENAME_EXCHANGE) == 0;
  return false;
}

std::optional<std::uint32_t> system_random_number() {
  std::uint32_t value = 0;
  if (::getrandom(&value, sizeof value, GRND_NONBLOCK) !=
      static_cast<ssize_t>(sizeof value)) {
    return std::nullopt;
  }
  return value;
}

void advise_large_pages(void* start, std::size_t size) {
  (void)::madvise(start, size, MADV_HUGEPAGE);
}

}  // namespace varnel
