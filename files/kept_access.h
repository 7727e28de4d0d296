// What a new file keeps of the file it replaces, where some of it cannot be
// kept: access is narrowed then, never widened. Plain arithmetic on modes and
// on the access ACL as Linux stores it in an extended attribute, so that it
// is the same on every system and tested on each.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace varnel {

// The extended attribute that holds a file's access ACL.
inline constexpr char kAccessAclAttribute[] = "system.posix_acl_access";

// The permissions an access ACL gives each class (read 4, write 2, execute
// 1): the owner, the owning group's own entry, the mask (which bounds every
// entry but the owner's and others'), and others.
struct AclClasses {
  unsigned owner = 0;
  unsigned group = 0;
  std::optional<unsigned> mask;
  unsigned other = 0;
};

// The classes of an access ACL in its stored form; nothing when the value is
// not one (a version or a size that is not Linux's, a class missing).
[[nodiscard]] std::optional<AclClasses> acl_classes(
    std::span<const std::uint8_t> value);

// Lets the owning group's own entry of a stored access ACL give no more than
// its entry for others: for a new file whose group is not the old one's.
// False when the value is not an ACL.
[[nodiscard]] bool narrow_acl_group_to_other(std::span<std::uint8_t> value);

// What of the old file's owner, group and ACL the new file got.
struct Kept {
  bool owner = true;
  bool group = true;
  bool acl = false;  // the old access ACL, set on the new file
};

// The mode to give a new file for the old file's `mode`, which had the
// access ACL `acl` when `had_acl` (nothing in `acl` when it could not be
// read). The set-user-ID and set-group-ID bits never stay. Where the group
// is not kept, the group gets no more than others had. Where the ACL is
// kept, the group bits are its mask, as they were; where it is not, they are
// what the owning group could do.
[[nodiscard]] unsigned kept_mode(unsigned mode, const Kept& kept, bool had_acl,
                                 const std::optional<AclClasses>& acl);

}  // namespace varnel
