#include "files/kept_access.h"

#include <cstddef>

namespace varnel {
namespace {

// The stored form: a 4-byte version, then 8-byte entries of a tag (2 bytes),
// permissions (2 bytes) and an identifier (4 bytes), all little-endian.
constexpr std::size_t kAclHeaderSize = 4;
constexpr std::size_t kAclEntrySize = 8;
constexpr unsigned kAclVersion = 2;
constexpr unsigned kTagOwner = 0x01;
constexpr unsigned kTagOwningGroup = 0x04;
constexpr unsigned kTagMask = 0x10;
constexpr unsigned kTagOther = 0x20;
constexpr unsigned kPermissions = 07;

constexpr unsigned kSetUserId = 04000;
constexpr unsigned kSetGroupId = 02000;
constexpr unsigned kModeBits = 07777;
constexpr unsigned kGroupShift = 3;

unsigned little_endian_16(std::span<const std::uint8_t> bytes) {
  return static_cast<unsigned>(bytes[0]) | static_cast<unsigned>(bytes[1])
                                               << 8U;
}

unsigned little_endian_32(std::span<const std::uint8_t> bytes) {
  return little_endian_16(bytes) | little_endian_16(bytes.subspan(2)) << 16U;
}

bool is_acl(std::span<const std::uint8_t> value) {
  return value.size() >= kAclHeaderSize &&
         (value.size() - kAclHeaderSize) % kAclEntrySize == 0 &&
         little_endian_32(value) == kAclVersion;
}

}  // namespace

std::optional<AclClasses> acl_classes(std::span<const std::uint8_t> value) {
  if (!is_acl(value)) {
    return std::nullopt;
  }
  AclClasses classes;
  unsigned found = 0;  // the tags seen
  for (std::size_t at = kAclHeaderSize; at < value.size();
       at += kAclEntrySize) {
    const unsigned tag = little_endian_16(value.subspan(at));
    const unsigned permissions =
        little_endian_16(value.subspan(at + 2)) & kPermissions;
    switch (tag) {
      case kTagOwner:
        classes.owner = permissions;
        break;
      case kTagOwningGroup:
        classes.group = permissions;
        break;
      case kTagMask:
        classes.mask = permissions;
        break;
      case kTagOther:
        classes.other = permissions;
        break;
      default:
        continue;  // a named user or group
    }
    if ((found & tag) != 0) {
      return std::nullopt;  // two entries for one class
    }
    found |= tag;
  }
  if ((found & (kTagOwner | kTagOwningGroup | kTagOther)) !=
      (kTagOwner | kTagOwningGroup | kTagOther)) {
    return std::nullopt;
  }
  return classes;
}

bool narrow_acl_group_to_other(std::span<std::uint8_t> value) {
  const std::optional<AclClasses> classes = acl_classes(value);
  if (!classes) {
    return false;
  }
  for (std::size_t at = kAclHeaderSize; at < value.size();
       at += kAclEntrySize) {
    if (little_endian_16(value.subspan(at)) == kTagOwningGroup) {
      // The permissions' high byte stays as it was: it holds no bits.
      value[at + 2] = static_cast<std::uint8_t>(
          (value[at + 2] & ~kPermissions) | (classes->group & classes->other));
    }
  }
  return true;
}

unsigned kept_mode(unsigned mode, const Kept& kept, bool had_acl,
                   const std::optional<AclClasses>& acl) {
  // The set-ID bits are a privilege given to the old contents: the new ones
  // are an image or records, never a program that was vetted.
  mode &= kModeBits & ~(kSetUserId | kSetGroupId);
  if (kept.acl && acl && acl->mask) {
    return mode;  // the group bits are the mask, kept with the ACL
  }
  unsigned group = mode >> kGroupShift & kPermissions;
  if (had_acl) {
    // Without its ACL, the file's group bits are the owning group's own:
    // what it could do, within the mask. An ACL that cannot be read gives
    // nothing to go by.
    group = acl ? acl->group & acl->mask.value_or(kPermissions) : 0;
  }
  if (!kept.group) {
    group &= mode & kPermissions;  // no more than others
  }
  return (mode & ~(kPermissions << kGroupShift)) | group << kGroupShift;
}

}  // namespace varnel
