// What the POSIX bodies of the system layer share among themselves, and
// what each POSIX system does its own way (Linux: system_linux.cpp).
#pragma once

#include <sys/stat.h>

#include <optional>
#include <system_error>

#include "files/kept_access.h"
#include "files/system.h"

namespace varnel {

[[nodiscard]] int file_number(const Descriptor& file);

// openat, owned.
[[nodiscard]] Descriptor open_path(int folder, const char* name, int flags,
                                   mode_t mode = 0);

[[nodiscard]] bool stat_of(const Descriptor& file, struct stat& status);

[[nodiscard]] FileIdentity identity_from(const struct stat& status);

// Renames `from` in the folder of `place` onto its name, when the name holds
// the file `old`, or with no `old`, nothing: compared just before the
// rename, for file systems that cannot exchange names or refuse to replace.
[[nodiscard]] bool rename_if_holding(const Place& place,
                                     const std::filesystem::path& from,
                                     const std::optional<FileIdentity>& old,
                                     std::error_code& error);

// Whether `folder` is of the system's own file system of processes (/proc),
// whose links name open files rather than places.
[[nodiscard]] bool is_process_folder(int folder);

// Why the file open as `fd` cannot be replaced by a rename of its own: a
// file mounted over another (a bind mount), which only an unmount can take
// away. Nothing when it can.
[[nodiscard]] std::error_code mount_point_error(int fd);

// Whether the file open as `fd` is of one of the kernel's own file systems,
// whose contents are made up as they are read (/proc, /sys).
[[nodiscard]] bool made_up_as_read(int fd);

// The size of the block device open as `fd`.
[[nodiscard]] std::optional<std::uint64_t> block_device_size(int fd);

// Opens the file that `fd` has open anew with `flags`, through the system's
// own link to it and not by any name; -1, with errno set, where it cannot
// (no /proc).
[[nodiscard]] int reopen(int fd, int flags);

// Removes the file capability of `fd`, where it has one.
[[nodiscard]] bool remove_capability(int fd, std::error_code& error);

// Adds the extended attributes of `fd` that this user may read to `access`:
// false only when reading them failed otherwise than by what this file
// system or user cannot have.
[[nodiscard]] bool read_extended_attributes(int fd, FileAccess& access,
                                            std::error_code& error);

// Gives `fd` the extended attributes of `access` but those that cannot be
// set here, its ACL narrowed where the group is not kept (`kept`); notes in
// `kept` and `had_acl` what the mode must then say.
[[nodiscard]] bool give_extended_attributes(int fd, const FileAccess& access,
                                            Kept& kept, bool& had_acl,
                                            std::optional<AclClasses>& acl,
                                            std::error_code& error);

}  // namespace varnel
