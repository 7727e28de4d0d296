// The system calls behind writing an output safely, each a small function
// with one body for POSIX systems and one for Windows. Failures come back as
// an error code: errno (POSIX and the C runtime) in the generic category, a
// Windows error in the system category.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace varnel {

// Opens `path` for writing in binary mode, creating it; null when anything
// already has that name (a device included) or it cannot be created. Nothing
// is ever emptied. `mode` is its permission bits on POSIX systems, before the
// umask.
[[nodiscard]] std::FILE* create_new_file(const std::filesystem::path& path,
                                         unsigned mode, std::error_code& error);

// Opens the existing file `path` for reading and writing, at its start,
// without emptying it: null when this user may not write it (a read-only
// file, a read-only file system) or it is gone.
[[nodiscard]] std::FILE* open_existing_for_update(
    const std::filesystem::path& path, std::error_code& error);

// A stream that writes through a copy of the open descriptor `fd`, where it
// stands: nothing is emptied or moved.
[[nodiscard]] std::FILE* open_descriptor_for_writing(int fd,
                                                     std::error_code& error);

// One extended attribute of a file.
struct ExtendedAttribute {
  std::string name;
  std::vector<std::uint8_t> value;
};

// What a replaced file hands on to the file that replaces it: on POSIX
// systems its permission bits, owner and group, and on Linux its extended
// attributes, its access ACL among them; on Windows its file attributes
// and its ACL.
struct FileAccess {
  bool known = false;
  unsigned mode = 0;
  unsigned owner = 0;
  unsigned group = 0;
  std::vector<ExtendedAttribute> attributes;
  unsigned windows_attributes = 0;             // hidden, system, read-only...
  std::vector<std::uint8_t> windows_security;  // the DACL, self-relative
};

// The permission bits, owner and group of an open file; on Windows its file
// attributes.
[[nodiscard]] FileAccess access_of(std::FILE* file);

// Adds the extended attributes of `file` that this user may read to
// `access`. Those this file system or this user cannot have are left out;
// false only when reading them failed otherwise (an I/O error). On Windows
// its ACL, where its file system has ACLs.
[[nodiscard]] bool read_attributes(std::FILE* file, FileAccess& access,
                                   std::error_code& error);

// Gives `file`, new, all of `access`: its owner and group where the process
// may set them, its extended attributes but those that cannot be set here,
// and its permission bits. Where the group or the ACL cannot be kept, access
// is narrowed, never widened: the group gets no more than others had, and
// without the ACL the group bits are what the owning group could do. On
// Windows: the ACL, or a failure, and the hidden and system attributes, and
// the archive attribute that new contents get.
[[nodiscard]] bool give_access(std::FILE* file, const FileAccess& access,
                               std::error_code& error);

// Sends what the system holds of `file` to the disk (its data and size). A
// stream without a descriptor of its own has nothing to send.
[[nodiscard]] bool sync_file(std::FILE* file, std::error_code& error);

// Makes the entries of `directory` (a rename in it) reach the disk. Windows
// has no such step: the rename is written through.
[[nodiscard]] bool sync_directory(const std::filesystem::path& directory,
                                  std::error_code& error);

// Gives `from` the name `to` in one step, replacing what `to` named: a
// rename, so that nothing can come between the old file and the new one
// (Windows' ReplaceFileW first moves the old file aside).
[[nodiscard]] bool replace_file(const std::filesystem::path& from,
                                const std::filesystem::path& to,
                                std::error_code& error);

// `path` in the form that the system calls take at any length: on Windows
// its full path behind the \\?\ prefix, which lifts the limit of MAX_PATH
// (260) characters that a temporary name beside a long name would pass;
// elsewhere `path` itself.
[[nodiscard]] std::filesystem::path path_for_system(
    const std::filesystem::path& path);

// Starts writing `length` bytes of `file` from `offset` to the disk, without
// waiting for them (Linux; elsewhere nothing): the system's own limits on
// unwritten data hold back a writer faster than the disk. False only on an
// I/O error: a file or system that cannot do this is no failure, its data
// reaches the disk at the final sync.
[[nodiscard]] bool write_back(std::FILE* file, std::uint64_t offset,
                              std::uint64_t length, std::error_code& error);

// A file size limit makes a write fail (EFBIG) instead of ending the program
// with SIGXFSZ: the write is then reported, and the unfinished file removed.
void ignore_file_size_signal();

// A number of this process, to tell its temporary files from others'.
[[nodiscard]] std::uint32_t process_number();

}  // namespace varnel
