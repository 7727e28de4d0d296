// What files/ asks of the system, in one place: each function here has one
// body for POSIX systems (system_posix.cpp, with Linux's own ways in
// system_linux.cpp and the walk to a destination in destination_posix.cpp)
// and one for Windows (system_windows.cpp), chosen by CMake. Everything
// else in files/ is the same on every system. A failure comes back as an
// error code taken where the call failed: errno in the generic category, a
// Windows error in the system category.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

namespace varnel {

// What a failed call of the C library or of POSIX left in errno, as an error
// code: EIO where it says nothing.
[[nodiscard]] inline std::error_code errno_error() {
  return {errno != 0 ? errno : EIO, std::generic_category()};
}

// A descriptor (POSIX) or a handle (Windows) as its owner holds it: -1 is
// none.
struct SystemFile {
  std::intptr_t number = -1;
  SystemFile() = default;
  explicit SystemFile(std::intptr_t value) : number(value) {}
  SystemFile& operator=(std::nullptr_t) {
    number = -1;
    return *this;
  }
  explicit operator bool() const { return number != -1; }
  friend bool operator==(SystemFile, SystemFile) = default;
  friend bool operator==(SystemFile file, std::nullptr_t) {
    return file.number == -1;
  }
};

struct CloseSystemFile {
  using pointer = SystemFile;
  void operator()(SystemFile file) const;
};

// An open descriptor or handle, closed when its owner lets it go.
using Descriptor = std::unique_ptr<SystemFile, CloseSystemFile>;

// A stream, closed when its owner lets it go (the close's result then
// counts for nothing: what counts is closed by hand).
struct CloseStream {
  void operator()(std::FILE* stream) const { (void)std::fclose(stream); }
};
using Stream = std::unique_ptr<std::FILE, CloseStream>;

// What tells a file from every other, taken from the file itself: its
// device and inode (a device node: its type and number, whatever node names
// it); on Windows its volume's serial number and its index there.
struct FileIdentity {
  std::uint64_t kind = 0;
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  bool operator==(const FileIdentity&) const = default;
};

// The identity of the open file, of what `path` leads to, and of standard
// input; nothing where it cannot be told (on Windows: no file on a disk).
[[nodiscard]] std::optional<FileIdentity> identity_of(const Descriptor& file);
[[nodiscard]] std::optional<FileIdentity> identity_of_path(
    const std::filesystem::path& path);
[[nodiscard]] std::optional<FileIdentity> standard_input_identity();

// For a loop device, at `path` or read as standard input, the file whose
// bytes it holds (Linux: LOOP_GET_STATUS64): writing to either changes the
// other. Nothing for any other file, and where the system has none.
[[nodiscard]] std::optional<FileIdentity> file_behind_path(
    const std::filesystem::path& path);
[[nodiscard]] std::optional<FileIdentity> file_behind_standard_input();

// Where an output has, or takes, its name: on POSIX systems the folder,
// held open, and the last name in it; on Windows the full path alone.
struct Place {
  Descriptor folder;
  std::filesystem::path name;
};

// One extended attribute of a file.
struct ExtendedAttribute {
  std::string name;
  std::vector<std::uint8_t> value;
};

// What a replaced file hands on to the file that replaces it: on POSIX
// systems its permission bits, owner and group, and on Linux its extended
// attributes, its access ACL among them; on Windows its file attributes
// and its ACL. No privilege: neither the set-user-ID and set-group-ID bits
// nor a file capability (security.capability) is handed on.
struct FileAccess {
  bool known = false;
  unsigned mode = 0;
  unsigned owner = 0;
  unsigned group = 0;
  std::vector<ExtendedAttribute> attributes;
  unsigned windows_attributes = 0;             // hidden, system, read-only...
  std::vector<std::uint8_t> windows_security;  // the DACL, self-relative
};

// Reads all that `file` hands on: false only when that failed otherwise
// than by what this file system or this user cannot have (an I/O error).
[[nodiscard]] bool read_access(const Descriptor& file, FileAccess& access,
                               std::error_code& error);

// Gives the new `file` all of `access`: its owner and group where the
// process may set them, its extended attributes but those that cannot be
// set here, and its permission bits. Where the group or the ACL cannot be
// kept, access is narrowed, never widened (see kept_access.h). On Windows:
// the ACL, or a failure, and the hidden and system attributes.
[[nodiscard]] bool give_access(const Descriptor& file, const FileAccess& access,
                               std::error_code& error);

// Whether this user may write the file found open as `file` at `place`:
// what its mode and ACL say, or on Windows its read-only attribute.
[[nodiscard]] bool may_write(const Descriptor& file, const Place& place,
                             std::error_code& error);

// Reads from `file` at `offset` into `into`, up to its end: the count.
[[nodiscard]] std::optional<std::size_t> read_at(const Descriptor& file,
                                                 std::uint64_t offset,
                                                 std::span<std::uint8_t> into,
                                                 std::error_code& error);

// A stream that writes through a copy of `file`, where it stands.
[[nodiscard]] Stream stream_on(const Descriptor& file, std::error_code& error);

// Whether `file` is written at its end whatever its position (O_APPEND).
[[nodiscard]] bool appends(const Descriptor& file);

// Where `file` stands, in bytes from its start.
[[nodiscard]] std::optional<std::uint64_t> position_of(const Descriptor& file);

// Cuts `file` where it stands: what it held after that is gone.
[[nodiscard]] bool cut_here(const Descriptor& file, std::error_code& error);

// Takes from `file`, about to get new contents as it stands, what gave
// its old contents a privilege: the set-user-ID and set-group-ID bits, and
// on Linux a file capability. Nothing to take on Windows.
[[nodiscard]] bool drop_privileges(const Descriptor& file,
                                   std::error_code& error);

// Sends what the system holds of `file` to the disk (its data and size).
[[nodiscard]] bool sync_file(const Descriptor& file, std::error_code& error);

// Makes the names in the folder of `place` reach the disk. Windows has no
// such step: a rename is written through.
[[nodiscard]] bool sync_folder(const Place& place, std::error_code& error);

// Starts writing `length` bytes of `file` from `offset` to the disk, without
// waiting for them (Linux; elsewhere nothing): the system's own limits on
// unwritten data hold back a writer faster than the disk. False only on an
// I/O error: a file or system that cannot do this is no failure, its data
// reaches the disk at the final sync.
[[nodiscard]] bool write_back(std::FILE* file, std::uint64_t offset,
                              std::uint64_t length, std::error_code& error);

// Whether names can be taken away in the folder of `place`: not in one that
// only takes new ones (Linux: chattr +a), where no temporary file could be
// removed and no file replaced.
[[nodiscard]] bool names_can_go(const Place& place);

// A new file in the folder of `place` that has no name (Linux: O_TMPFILE,
// where the file system and /proc allow one to be named later): gone, with
// all written to it, once closed unless it is given one. Null elsewhere.
[[nodiscard]] Descriptor create_unnamed(const Place& place, unsigned mode,
                                        std::error_code& error);

// A new file `name` in the folder of `place`, where nothing may be yet
// (Windows: removed by the system when it closes, until keep_temporary).
// `mode` is its permission bits on POSIX systems, before the umask.
[[nodiscard]] Descriptor create_named(const Place& place,
                                      const std::filesystem::path& name,
                                      unsigned mode, std::error_code& error);

// Gives `file`, made without a name, the name `name` in the folder of
// `place`, where nothing may be yet.
[[nodiscard]] bool link_unnamed(const Descriptor& file, const Place& place,
                                const std::filesystem::path& name,
                                std::error_code& error);

// Windows: takes back the removal of the temporary `file` when it closes,
// just before it takes its name. Elsewhere nothing to do.
[[nodiscard]] bool keep_temporary(const Descriptor& file,
                                  std::error_code& error);

// Renames `from` in the folder of `place` to its name, only if nothing has
// that name (a file that appeared meanwhile is left alone: EEXIST).
[[nodiscard]] bool rename_new(const Place& place,
                              const std::filesystem::path& from,
                              std::error_code& error);

// Renames `from` in the folder of `place` onto its name, only if that name
// still holds the file `old`: where the file system can exchange two names,
// they are exchanged, and exchanged back if what came out is not `old`;
// elsewhere the identity is compared just before the rename. What was there
// is gone once this returns true. EEXIST when another file holds the name.
// `from_is_new` stays true while `from` names the new file; once false,
// `from` holds another (the old file that could not be removed, or one that
// took the name meanwhile and could not be given it back), to be left there.
[[nodiscard]] bool replace_old(const Place& place,
                               const std::filesystem::path& from,
                               const FileIdentity& old, bool& from_is_new,
                               std::error_code& error);

// Removes the name `name` from `folder` (Windows: the full path `name`).
void remove_name(const Descriptor& folder, const std::filesystem::path& name);

// A copy of `file`, as its own descriptor or handle.
[[nodiscard]] Descriptor copy_of(const Descriptor& file,
                                 std::error_code& error);

// `path` in the form that the system calls take at any length: on Windows
// its full path behind the \\?\ prefix, which lifts the limit of MAX_PATH
// (260) characters that a temporary name beside a long name would pass;
// elsewhere `path` itself.
[[nodiscard]] std::filesystem::path path_for_system(
    const std::filesystem::path& path);

// A file size limit makes a write fail (EFBIG) instead of ending the program
// with SIGXFSZ: the write is then reported, and the unfinished file removed.
void ignore_file_size_signal();

// A number no other process can foresee, from the system's random source
// where it has one to give.
[[nodiscard]] std::optional<std::uint32_t> system_random_number();

// A number of this process.
[[nodiscard]] std::uint32_t process_number();

// Asks the system to back `size` bytes from `start`, aligned to a large
// page, with large pages (Linux; elsewhere nothing). Only a hint: where it
// is refused, the memory serves just as well.
void advise_large_pages(void* start, std::size_t size);

}  // namespace varnel
