// What a new file keeps of the one it replaces where not all of it can be
// kept: the mode worked out by hand, and access ACLs spelled out byte by byte
// in the form Linux stores them (a version, then tag, permissions and
// identifier of each entry, little-endian).
#include "files/kept_access.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace varnel {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Entry {
  std::uint16_t tag;
  std::uint16_t permissions;
  std::uint32_t id;
};

// The tags of the stored form.
constexpr std::uint16_t kOwner = 0x01;
constexpr std::uint16_t kUser = 0x02;
constexpr std::uint16_t kGroup = 0x04;
constexpr std::uint16_t kNamedGroup = 0x08;
constexpr std::uint16_t kMask = 0x10;
constexpr std::uint16_t kOther = 0x20;
constexpr std::uint32_t kNoId = 0xFFFFFFFF;

Bytes acl(std::initializer_list<Entry> entries, std::uint32_t version = 2) {
  Bytes bytes;
  const auto put = [&bytes](std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i) {
      bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
  };
  put(version, 4);
  for (const Entry& entry : entries) {
    put(entry.tag, 2);
    put(entry.permissions, 2);
    put(entry.id, 4);
  }
  return bytes;
}

// The ACL of a file that nobody (65534) may read and write, whose owner may
// read and write, and whose group may only read: user::rw-,
// user:nobody:rw-, group::r--, mask::rw-, other::---.
const Bytes kNobodyMayWrite = acl({{kOwner, 6, kNoId},
                                   {kUser, 6, 65534},
                                   {kGroup, 4, kNoId},
                                   {kMask, 6, kNoId},
                                   {kOther, 0, kNoId}});

TEST(KeptAccess, ClassesOfAnAcl) {
  const std::optional<AclClasses> classes = acl_classes(kNobodyMayWrite);
  ASSERT_TRUE(classes.has_value());
  EXPECT_EQ(classes->owner, 6U);
  EXPECT_EQ(classes->group, 4U);
  EXPECT_EQ(classes->mask, std::optional<unsigned>(6));
  EXPECT_EQ(classes->other, 0U);

  // The three entries of an ACL that the mode says all of: no mask.
  const std::optional<AclClasses> minimal = acl_classes(
      acl({{kOwner, 7, kNoId}, {kGroup, 5, kNoId}, {kOther, 1, kNoId}}));
  ASSERT_TRUE(minimal.has_value());
  EXPECT_EQ(minimal->owner, 7U);
  EXPECT_EQ(minimal->group, 5U);
  EXPECT_EQ(minimal->mask, std::nullopt);
  EXPECT_EQ(minimal->other, 1U);
}

TEST(KeptAccess, WhatIsNoAcl) {
  Bytes one_byte_more = kNobodyMayWrite;
  one_byte_more.push_back(0);
  const struct {
    std::string why;
    Bytes value;
  } cases[] = {
      {"nothing", {}},
      {"a version alone, no entries", acl({})},
      {"version 1",
       acl({{kOwner, 6, kNoId}, {kGroup, 4, kNoId}, {kOther, 0, kNoId}}, 1)},
      {"a byte past the last entry", one_byte_more},
      {"no entry for others",
       acl({{kOwner, 6, kNoId}, {kGroup, 4, kNoId}, {kMask, 6, kNoId}})},
      {"no entry for the owning group",
       acl({{kOwner, 6, kNoId}, {kNamedGroup, 4, 4}, {kOther, 0, kNoId}})},
      {"two entries for the owning group", acl({{kOwner, 6, kNoId},
                                                {kGroup, 4, kNoId},
                                                {kGroup, 6, kNoId},
                                                {kOther, 0, kNoId}})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(acl_classes(c.value), std::nullopt);
    Bytes value = c.value;
    EXPECT_FALSE(narrow_acl_group_to_other(value));
    EXPECT_EQ(value, c.value) << "changed what is no ACL";
  }
}

// A file given to another group: its own entry keeps only what others may,
// the entries that name their user or group stay as they were.
TEST(KeptAccess, OwningGroupNarrowedToOthers) {
  Bytes value = acl({{kOwner, 6, kNoId},
                     {kUser, 6, 65534},
                     {kGroup, 6, kNoId},
                     {kNamedGroup, 7, 4},
                     {kMask, 7, kNoId},
                     {kOther, 4, kNoId}});
  ASSERT_TRUE(narrow_acl_group_to_other(value));
  // The owning group's rw- (6) within r-- (4): r--.
  const Bytes expected = {
      0x02, 0x00, 0x00, 0x00,                          // version 2
      0x01, 0x00, 0x06, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,  // user::rw-
      0x02, 0x00, 0x06, 0x00, 0xFE, 0xFF, 0x00, 0x00,  // user:65534:rw-
      0x04, 0x00, 0x04, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,  // group::r--
      0x08, 0x00, 0x07, 0x00, 0x04, 0x00, 0x00, 0x00,  // group:4:rwx
      0x10, 0x00, 0x07, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,  // mask::rwx
      0x20, 0x00, 0x04, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,  // other::r--
  };
  EXPECT_EQ(value, expected);

  // Execute alone for others, read and write for the group: nothing left.
  Bytes disjoint =
      acl({{kOwner, 6, kNoId}, {kGroup, 6, kNoId}, {kOther, 1, kNoId}});
  ASSERT_TRUE(narrow_acl_group_to_other(disjoint));
  EXPECT_EQ(acl_classes(disjoint)->group, 0U);
}

TEST(KeptAccess, ModeOfTheNewFile) {
  const AclClasses issue_acl{.owner = 6, .group = 4, .mask = 6, .other = 0};
  const AclClasses group_beyond_mask{
      .owner = 6, .group = 6, .mask = 4, .other = 0};
  const AclClasses readable_by_others{
      .owner = 6, .group = 6, .mask = 6, .other = 4};
  const Kept all{.owner = true, .group = true, .acl = false};
  const Kept all_with_acl{.owner = true, .group = true, .acl = true};
  const Kept not_group{.owner = true, .group = false, .acl = false};
  const Kept not_group_with_acl{.owner = true, .group = false, .acl = true};
  const Kept not_owner{.owner = false, .group = true, .acl = false};
  const Kept neither{.owner = false, .group = false, .acl = false};
  const struct {
    std::string why;
    unsigned mode;
    Kept kept;
    bool had_acl;
    std::optional<AclClasses> acl;
    unsigned expected;
  } cases[] = {
      {"all kept", 0640, all, false, std::nullopt, 0640},
      {"all kept: the set-ID bits go all the same, the sticky bit stays", 07755,
       all, false, std::nullopt, 01755},
      {"another group: rw- for the group, --- for others", 0660, not_group,
       false, std::nullopt, 0600},
      {"another group: r-- for the group, --- for others", 0640, not_group,
       false, std::nullopt, 0600},
      {"another group: rw- for the group, r-- for others", 0664, not_group,
       false, std::nullopt, 0644},
      {"another group: the set-group-ID bit goes", 02664, not_group, false,
       std::nullopt, 0644},
      {"another owner: the set-user-ID bit goes", 04755, not_owner, false,
       std::nullopt, 0755},
      {"neither: both set-ID bits go, rwx within r-x", 06775, neither, false,
       std::nullopt, 0755},
      {"the ACL kept: the group bits are its mask", 0660, all_with_acl, true,
       issue_acl, 0660},
      {"the ACL kept, another group: still the mask", 0660, not_group_with_acl,
       true, issue_acl, 0660},
      {"the ACL kept: the mask, and the set-ID bits go", 06660, all_with_acl,
       true, issue_acl, 0660},
      {"the ACL not kept: the owning group's r--, not the mask's rw-", 0660,
       all, true, issue_acl, 0640},
      {"the ACL not kept: the owning group's rw- within the mask's r--", 0640,
       all, true, group_beyond_mask, 0640},
      {"the ACL not kept, another group: rw- within others' r--", 0664,
       not_group, true, readable_by_others, 0644},
      {"an ACL that could not be read and is not kept: nothing for the group",
       0660, all, true, std::nullopt, 0600},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(kept_mode(c.mode, c.kept, c.had_acl, c.acl), c.expected);
  }
}

}  // namespace
}  // namespace varnel
