// The system calls behind writing an output safely, each a small function
// with one body for POSIX systems and one for Windows. Failures come back as
// an error code: errno (POSIX and the C runtime) in the generic category, a
// Windows error in the system category.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <system_error>

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

// Who may do what with a file: its permission bits, owner and group on POSIX
// systems; nothing on Windows, whose files take their rights from their
// folder.
struct FileAccess {
  bool known = false;
  unsigned mode = 0;
  unsigned owner = 0;
  unsigned group = 0;
};

// The access of an open file.
[[nodiscard]] FileAccess access_of(std::FILE* file);

// Gives `file` the permission bits of `access`, and its owner and group where
// the process may set them.
[[nodiscard]] bool give_access(std::FILE* file, const FileAccess& access,
                               std::error_code& error);

// Sends what the system holds of `file` to the disk (its data and size). A
// stream without a descriptor of its own has nothing to send.
[[nodiscard]] bool sync_file(std::FILE* file, std::error_code& error);

// Makes the entries of `directory` (a rename in it) reach the disk. Windows
// has no such step: the rename is written through.
[[nodiscard]] bool sync_directory(const std::filesystem::path& directory,
                                  std::error_code& error);

// Gives `from` the name `to` in one step, replacing what `to` named.
[[nodiscard]] bool replace_file(const std::filesystem::path& from,
                                const std::filesystem::path& to,
                                std::error_code& error);

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
