#include "files/system_posix.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "files/destination.h"

namespace varnel {

void CloseSystemFile::operator()(SystemFile file) const {
  (void)::close(static_cast<int>(file.number));  // nothing left to lose
}

int file_number(const Descriptor& file) {
  return static_cast<int>(file.get().number);
}

Descriptor open_path(int folder, const char* name, int flags, mode_t mode) {
  return Descriptor{SystemFile{::openat(folder, name, flags, mode)}};
}

bool stat_of(const Descriptor& file, struct stat& status) {
  return ::fstat(file_number(file), &status) == 0;
}

// A device is the device it stands for, whatever node names it: its type
// and number. Anything else is its inode on its file system.
FileIdentity identity_from(const struct stat& status) {
  if (S_ISBLK(status.st_mode) || S_ISCHR(status.st_mode)) {
    return {status.st_mode & S_IFMT, 0, status.st_rdev};
  }
  return {0, static_cast<std::uint64_t>(status.st_dev),
          static_cast<std::uint64_t>(status.st_ino)};
}

std::optional<FileIdentity> identity_of(const Descriptor& file) {
  struct stat status {};
  if (!stat_of(file, status)) {
    return std::nullopt;
  }
  return identity_from(status);
}

std::optional<FileIdentity> identity_of_path(
    const std::filesystem::path& path) {
  struct stat status {};
  if (path.empty() || ::stat(path.c_str(), &status) != 0) {
    return std::nullopt;
  }
  return identity_from(status);
}

std::optional<FileIdentity> standard_input_identity() {
  struct stat status {};
  if (::fstat(STDIN_FILENO, &status) != 0) {
    return std::nullopt;
  }
  return identity_from(status);
}

namespace {

// Gives `fd` the owner and group of `access`, where the process may, and
// notes in `kept` what it could not. Only the superuser may give a file away,
// and only a member may give it to a group: what the process may not set
// stays its own.
bool give_owner(int fd, const FileAccess& access, Kept& kept,
                std::error_code& error) {
  struct stat now {};
  if (::fstat(fd, &now) != 0) {
    error = errno_error();
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
    error = errno_error();
    return false;
  }
  if (!kept.group) {
    if (::fchown(fd, static_cast<uid_t>(-1), group) == 0) {
      kept.group = true;
    } else if (errno != EPERM) {
      error = errno_error();
      return false;
    }
  }
  return true;
}

}  // namespace

bool read_access(const Descriptor& file, FileAccess& access,
                 std::error_code& error) {
  struct stat status {};
  if (!stat_of(file, status)) {
    error = errno_error();
    return false;
  }
  access.known = true;
  access.mode = status.st_mode & 07777U;
  access.owner = status.st_uid;
  access.group = status.st_gid;
  return read_extended_attributes(file_number(file), access, error);
}

bool give_access(const Descriptor& file, const FileAccess& access,
                 std::error_code& error) {
  const int fd = file_number(file);
  Kept kept;
  bool had_acl = false;
  std::optional<AclClasses> acl;
  if (!give_owner(fd, access, kept, error) ||
      !give_extended_attributes(fd, access, kept, had_acl, acl, error)) {
    return false;
  }
  // After the owner, whose change clears the set-user-ID bits, and after the
  // ACL, which sets the group bits of its own.
  if (::fchmod(fd, static_cast<mode_t>(
                       kept_mode(access.mode, kept, had_acl, acl))) != 0) {
    error = errno_error();
    return false;
  }
  return true;
}

bool may_write(const Descriptor& /*file*/, const Place& place,
               std::error_code& error) {
  // Asked of the name, which still holds the file: what took it since is
  // found out before it is replaced.
  if (::faccessat(file_number(place.folder), place.name.c_str(), W_OK,
                  AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0) {
    error = errno_error();
    return false;
  }
  return true;
}

std::optional<std::size_t> read_at(const Descriptor& file, std::uint64_t offset,
                                   std::span<std::uint8_t> into,
                                   std::error_code& error) {
  int fd = file_number(file);
  Descriptor readable;
  std::size_t got = 0;
  while (got < into.size()) {
    const ssize_t read = ::pread(fd, into.data() + got, into.size() - got,
                                 static_cast<off_t>(offset + got));
    if (read < 0 && errno == EBADF && !readable) {
      // Open for writing only (3> in a shell): read through a copy of its
      // own, opened for reading.
      readable = Descriptor{SystemFile{reopen(fd, O_RDONLY | O_CLOEXEC)}};
      if (!readable) {
        error = errno_error();
        return std::nullopt;
      }
      fd = file_number(readable);
      continue;
    }
    if (read < 0) {
      error = errno_error();
      return std::nullopt;
    }
    if (read == 0) {
      break;
    }
    got += static_cast<std::size_t>(read);
  }
  return got;
}

Descriptor copy_of(const Descriptor& file, std::error_code& error) {
  Descriptor copy{SystemFile{::fcntl(file_number(file), F_DUPFD_CLOEXEC, 0)}};
  if (!copy) {
    error = errno_error();
  }
  return copy;
}

Stream stream_on(const Descriptor& file, std::error_code& error) {
  Descriptor copy = copy_of(file, error);
  if (!copy) {
    return nullptr;
  }
  // "w" on a descriptor empties nothing: the open decided that.
  Stream stream{::fdopen(file_number(copy), "wb")};
  if (!stream) {
    error = errno_error();
    return nullptr;
  }
  (void)copy.release();  // the stream's now
  return stream;
}

bool appends(const Descriptor& file) {
  const int flags = ::fcntl(file_number(file), F_GETFL);
  return flags != -1 && (flags & O_APPEND) != 0;
}

std::optional<std::uint64_t> position_of(const Descriptor& file) {
  const off_t at = ::lseek(file_number(file), 0, SEEK_CUR);
  if (at < 0) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(at);
}

bool cut_here(const Descriptor& file, std::error_code& error) {
  const off_t at = ::lseek(file_number(file), 0, SEEK_CUR);
  if (at < 0 || ::ftruncate(file_number(file), at) != 0) {
    error = errno_error();
    return false;
  }
  return true;
}

bool drop_privileges(const Descriptor& file, std::error_code& error) {
  constexpr mode_t kSetIds = S_ISUID | S_ISGID;
  struct stat status {};
  if (!stat_of(file, status) ||
      ((status.st_mode & kSetIds) != 0 &&
       ::fchmod(file_number(file), status.st_mode & 07777U & ~kSetIds) != 0)) {
    error = errno_error();
    return false;
  }
  return remove_capability(file_number(file), error);
}

bool sync_file(const Descriptor& file, std::error_code& error) {
  if (::fsync(file_number(file)) != 0) {
    error = errno_error();
    return false;
  }
  return true;
}

bool sync_folder(const Place& place, std::error_code& error) {
  const Descriptor folder = open_path(file_number(place.folder), ".",
                                      O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  // A file system that cannot sync a folder says EINVAL: there is nothing
  // more to make durable there.
  if (!folder || (::fsync(file_number(folder)) != 0 && errno != EINVAL)) {
    error = errno_error();
    return false;
  }
  return true;
}

Descriptor create_named(const Place& place, const std::filesystem::path& name,
                        unsigned mode, std::error_code& error) {
  Descriptor file =
      open_path(file_number(place.folder), name.c_str(),
                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                static_cast<mode_t>(mode));
  if (!file) {
    error = errno_error();
  }
  return file;
}

bool keep_temporary(const Descriptor& /*file*/, std::error_code& /*error*/) {
  return true;  // a file without a name, or one named from the start, stays
}

bool rename_if_holding(const Place& place, const std::filesystem::path& from,
                       const std::optional<FileIdentity>& old,
                       std::error_code& error) {
  const int folder = file_number(place.folder);
  struct stat now {};
  const bool there =
      ::fstatat(folder, place.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0;
  if (!there && errno != ENOENT) {
    error = errno_error();
    return false;
  }
  if (there != old.has_value() || (there && identity_from(now) != *old)) {
    error = std::make_error_code(std::errc::file_exists);
    return false;
  }
  if (::renameat(folder, from.c_str(), folder, place.name.c_str()) != 0) {
    error = errno_error();
    return false;
  }
  return true;
}

void remove_name(const Descriptor& folder, const std::filesystem::path& name) {
  (void)::unlinkat(file_number(folder), name.c_str(), 0);
}

std::filesystem::path path_for_system(const std::filesystem::path& path) {
  return path;
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

Descriptor open_for_writing(const DestinationFound& found,
                            std::error_code& error) {
  constexpr int kWrite = O_WRONLY | O_NOCTTY | O_CLOEXEC;
  if (found.kind == Destination::descriptor && found.descriptor >= 0) {
    Descriptor copy{SystemFile{::fcntl(found.descriptor, F_DUPFD_CLOEXEC, 0)}};
    if (!copy) {
      error = errno_error();
    }
    return copy;
  }
  Descriptor file{SystemFile{reopen(file_number(found.held), kWrite)}};
  if (!file && errno == ENOENT && found.place.folder) {
    // No /proc: opened by its name, and used only if it is still the file
    // found.
    file = open_path(file_number(found.place.folder), found.place.name.c_str(),
                     kWrite | O_NOFOLLOW);
    const std::optional<FileIdentity> opened =
        file ? identity_of(file) : std::nullopt;
    if (file && opened != found.identity) {
      error =
          opened
              ? std::make_error_code(std::errc::resource_unavailable_try_again)
              : errno_error();
      return nullptr;
    }
  }
  if (!file) {
    error = errno_error();
  }
  return file;
}

}  // namespace varnel
