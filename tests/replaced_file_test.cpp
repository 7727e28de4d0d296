// What a replaced file keeps: its extended attributes and ACL, its owner,
// group and mode; and where some of that cannot be kept, access is narrowed,
// never widened. Both commands on real files, as root and as nobody (through
// setpriv), with the tools a user sets and reads ACLs and attributes with
// (setfacl and getfacl of the acl package, setfattr and getfattr of attr).
// On Windows: the file attributes that replacing a file keeps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "tests/test_support.h"

#if defined(_WIN32)
#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>
#else
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace varnel {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

// A record file of one block of zeros at address 0: the worked record of the
// format, 0B 00 00 00 00 00 20 00 DF.
const Bytes kZeroRecord =
    test::concat({{0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0xDF},
                  test::block_filled(0x00)});

// A command that replaces a file, with the input it is given and what it
// makes of it, in a folder of the test: varnel over an older record file (of
// the same block at 0x2000: 00 20 00 for the address, and the header sums to
// 40, whose complement is BF), varnel-check over an older image.
struct Command {
  std::string program;
  std::string input;
  Bytes input_bytes;
  std::string output;
  Bytes old_bytes;
  Bytes new_bytes;
  std::string success;  // what it prints on standard output, to the end
};

std::vector<Command> commands() {
  return {
      {VARNEL_BINARY, "in.fls", test::block_filled(0x00), "out.hy",
       test::concat({{0x0B, 0x00, 0x20, 0x00, 0x00, 0x00, 0x20, 0x00, 0xBF},
                     test::block_filled(0x00)}),
       kZeroRecord, "Output written to \""},
      {VARNEL_CHECK_BINARY, "rec.hy", kZeroRecord, "back.fls", Bytes(8192, 'o'),
       test::block_filled(0x00), "image written to \""},
  };
}

// The command line of `command` for its files in `folder`.
std::vector<std::string> arguments(const Command& command,
                                   const std::string& folder) {
  const std::string input = folder + "/" + command.input;
  const std::string output = folder + "/" + command.output;
  if (command.program == VARNEL_BINARY) {
    return {"0", input, output};
  }
  return {"-o", output, input};
}

// The names of `dir`, which holds only the input and the output of
// `command`, as names_in gives them.
std::vector<std::string> only_the_files_of(const Command& command) {
  std::vector<std::string> names = {command.input, command.output};
  std::sort(names.begin(), names.end());
  return names;
}

// The run succeeded and the output is the new file.
void expect_replaced(const test::RunResult& run, const Command& command,
                     const fs::path& output) {
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_NE(run.out.find(command.success), std::string::npos) << run.out;
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(test::read_file(output) == command.new_bytes)
      << "not the new file";
}

#if !defined(_WIN32)

// Runs a tool of the acl or attr package; its standard output, or nothing
// when it fails.
std::optional<std::string> tool(const std::vector<std::string>& words) {
  const test::RunResult run = test::run_program(
      words.front(), std::vector<std::string>(words.begin() + 1, words.end()),
      fs::current_path());
  if (run.exit_status != 0) {
    return std::nullopt;
  }
  return run.out;
}

// The ACL of `path` as getfacl prints it: one entry a line, users and groups
// by number.
std::string acl_of(const fs::path& path) {
  return tool({"getfacl", "--omit-header", "--absolute-names", "--numeric",
               path.string()})
      .value_or("getfacl failed");
}

// The value of the extended attribute `name` of `path`.
std::string attribute_of(const fs::path& path, const std::string& name) {
  return tool({"getfattr", "--absolute-names", "--only-values", "-n", name,
               path.string()})
      .value_or("no " + name);
}

// Permission bits in octal, as ls and chmod give them.
std::string octal(mode_t mode) {
  char text[8];
  (void)std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode));
  return text;
}

// The permission bits of `path`, in octal.
std::string mode_of(const fs::path& path) {
  struct stat status {};
  EXPECT_EQ(::stat(path.c_str(), &status), 0);
  return octal(status.st_mode & 07777U);
}

// Why the file system of `dir` cannot stage ACLs and user attributes, or
// nothing when it can.
std::optional<std::string> no_acls_in(const test::ScratchDir& dir) {
  const fs::path probe = dir / "probe";
  test::write_file(probe, {});
  const bool acls =
      tool({"setfacl", "-m", "u:65534:r", probe.string()}).has_value();
  const bool attributes =
      tool({"setfattr", "-n", "user.probe", "-v", "1", probe.string()})
          .has_value();
  fs::remove(probe);
  if (!acls) {
    return "setfacl cannot give a file an ACL here (no acl package, or a "
           "file system without ACLs)";
  }
  if (!attributes) {
    return "setfattr cannot give a file a user attribute here (no attr "
           "package, or a file system without them)";
  }
  return std::nullopt;
}

#define SKIP_WITHOUT_ACLS(dir)                 \
  if (const auto why = no_acls_in(dir); why) { \
    GTEST_SKIP() << *why;                      \
  }

// The ACL of the file that the issue of lost ACLs was found with: nobody
// (65534) may read and write, the owning group may only read.
const std::vector<std::string> kNobodyMayWrite = {"-m",
                                                  "u:65534:rw,g::r,m::rw,o::-"};
const std::string kNobodyMayWriteText =
    "user::rw-\nuser:65534:rw-\ngroup::r--\nmask::rw-\nother::---\n\n";

// Makes the old file at `path`: `bytes`, mode `mode`, then the ACL entries
// `acl` (none when empty) and the attribute user.origin.
void make_old_file(const fs::path& path, const Bytes& bytes, mode_t mode,
                   const std::vector<std::string>& acl) {
  test::write_file(path, bytes);
  ASSERT_EQ(::chmod(path.c_str(), mode), 0);
  if (!acl.empty()) {
    std::vector<std::string> words = {"setfacl"};
    words.insert(words.end(), acl.begin(), acl.end());
    words.push_back(path.string());
    ASSERT_TRUE(tool(words).has_value()) << "setfacl failed";
  }
  ASSERT_TRUE(
      tool({"setfattr", "-n", "user.origin", "-v", "dump-1", path.string()})
          .has_value())
      << "setfattr failed";
}

// A file with an ACL and a user attribute, replaced: the new file has both,
// and the same mode, so that nobody may still write it and the group still
// only read it.
TEST(ReplacedFile, KeepsItsAclAndAttributes) {
  for (const Command& command : commands()) {
    SCOPED_TRACE(command.program);
    const test::ScratchDir dir;
    SKIP_WITHOUT_ACLS(dir);
    test::write_file(dir / command.input, command.input_bytes);
    const fs::path output = dir / command.output;
    ASSERT_NO_FATAL_FAILURE(
        make_old_file(output, command.old_bytes, 0600, kNobodyMayWrite));
    ASSERT_EQ(acl_of(output), kNobodyMayWriteText);
    ASSERT_EQ(mode_of(output), "0660");  // the mask shows as the group bits

    expect_replaced(
        test::run_program(command.program,
                          arguments(command, dir.path.string()), dir.path),
        command, output);
    EXPECT_EQ(acl_of(output), kNobodyMayWriteText);
    EXPECT_EQ(attribute_of(output, "user.origin"), "dump-1");
    EXPECT_EQ(mode_of(output), "0660");
    EXPECT_EQ(test::names_in(dir.path), only_the_files_of(command));
  }
}

// A folder whose default ACL gives nobody write access to every new file in
// it: the file that replaces one without an ACL takes none from the folder,
// which would give nobody what the old file did not.
TEST(ReplacedFile, TakesNoAclFromItsFolder) {
  for (const Command& command : commands()) {
    SCOPED_TRACE(command.program);
    const test::ScratchDir dir;
    SKIP_WITHOUT_ACLS(dir);
    test::write_file(dir / command.input, command.input_bytes);
    const fs::path output = dir / command.output;
    ASSERT_NO_FATAL_FAILURE(make_old_file(output, command.old_bytes, 0640, {}));
    ASSERT_TRUE(tool({"setfacl", "-d", "-m", "u:65534:rw", dir.path.string()})
                    .has_value());

    expect_replaced(
        test::run_program(command.program,
                          arguments(command, dir.path.string()), dir.path),
        command, output);
    EXPECT_EQ(acl_of(output), "user::rw-\ngroup::r--\nother::---\n\n");
    EXPECT_EQ(mode_of(output), "0640");
    EXPECT_EQ(attribute_of(output, "user.origin"), "dump-1");
  }
}

#ifdef VARNEL_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// The attributes an ACL is set through: XFS also shows the superuser the one
// it keeps the ACL in, which a copy of every attribute would set as well.
constexpr char kAclAttributes[] =
    "system.posix_acl_access,trusted.SGI_ACL_FILE";

// A file system that cannot hold the ACL, as the fault sweep's library makes
// it refuse one: the new file grants no one more than the old one. Without
// its ACL, nobody may no longer write it; the group keeps its own r--, not
// the mask's rw-; the other attribute is kept.
TEST(ReplacedFile, AclThatCannotBeKeptNarrowsTheMode) {
  if (kSanitized) {
    GTEST_SKIP() << "the fault sweep's library is loaded with LD_PRELOAD, "
                    "and the sanitizers' interceptors must come first";
  }
  for (const Command& command : commands()) {
    SCOPED_TRACE(command.program);
    const test::ScratchDir dir;
    SKIP_WITHOUT_ACLS(dir);
    test::write_file(dir / command.input, command.input_bytes);
    const fs::path output = dir / command.output;
    ASSERT_NO_FATAL_FAILURE(
        make_old_file(output, command.old_bytes, 0600, kNobodyMayWrite));

    expect_replaced(
        test::run_program(command.program,
                          arguments(command, dir.path.string()), dir.path,
                          test::with_environment(
                              {{"LD_PRELOAD", test::preload_path(FAIL_NTH_IO)},
                               {"VARNEL_REFUSE_ATTRIBUTE", kAclAttributes}})),
        command, output);
    EXPECT_EQ(acl_of(output), "user::rw-\ngroup::r--\nother::---\n\n");
    EXPECT_EQ(mode_of(output), "0640");
    EXPECT_EQ(attribute_of(output, "user.origin"), "dump-1");
  }
}

// The file capability of `path` as getcap prints it: empty where it has
// none.
std::string capability_of(const fs::path& path) {
  return tool({"getcap", path.string()}).value_or("getcap failed");
}

// Why a file in `dir` cannot be given a file capability here, or nothing
// when it can.
std::optional<std::string> no_capabilities_in(const test::ScratchDir& dir) {
  if (::geteuid() != 0) {
    return "only the superuser may give a file a capability";
  }
  const fs::path probe = dir / "probe";
  test::write_file(probe, {});
  const bool set =
      tool({"setcap", "cap_net_raw=ep", probe.string()}).has_value() &&
      capability_of(probe).find("cap_net_raw") != std::string::npos;
  fs::remove(probe);
  if (!set) {
    return "setcap cannot give a file a capability here (no libcap2-bin, or "
           "a file system without security attributes)";
  }
  return std::nullopt;
}

// The set-ID bits and a file capability are a privilege given to the old
// contents: the new ones never have them, whether the file is replaced or
// written as it stands through a descriptor (3<> in a shell), as cp and a
// write by any user drop them. The rest of the mode stays. Run as root, who
// keeps the owner and group and whom the kernel lets keep set-ID bits on a
// file it writes.
TEST(ReplacedFile, KeepsNoPrivilege) {
  const struct {
    std::string why;
    mode_t mode;
    bool capability;
  } cases[] = {
      {"set-user-ID", 04755, false},      {"set-group-ID", 02755, false},
      {"both set-ID bits", 06755, false}, {"a file capability", 0755, true},
      {"all three", 06755, true},
  };
  for (const Command& command : commands()) {
    for (const bool in_place : {false, true}) {
      for (const auto& c : cases) {
        SCOPED_TRACE(command.program);
        SCOPED_TRACE(in_place ? "through a descriptor" : "replaced");
        SCOPED_TRACE(c.why);
        const test::ScratchDir dir;
        if (const auto why = no_capabilities_in(dir); why) {
          GTEST_SKIP() << *why;
        }
        test::write_file(dir / command.input, command.input_bytes);
        const fs::path output = dir / command.output;
        test::write_file(output, command.old_bytes);
        ASSERT_EQ(::chmod(output.c_str(), c.mode), 0);
        if (c.capability) {
          ASSERT_TRUE(
              tool({"setcap", "cap_net_raw=ep", output.string()}).has_value());
        }
        ASSERT_EQ(mode_of(output), octal(c.mode));

        test::RunResult run;
        if (in_place) {
          std::vector<std::string> words = {"-c", "exec \"$@\" 3<> \"$OUT\"",
                                            "sh"};
          for (const std::string& word : test::binary_words(command.program)) {
            words.push_back(word);
          }
          if (command.program == VARNEL_BINARY) {
            words.insert(words.end(), {"0", command.input, "/dev/fd/3"});
          } else {
            words.insert(words.end(), {"-o", "/dev/fd/3", command.input});
          }
          run = test::run_program(
              "/bin/sh", words, dir.path,
              test::with_environment({{"OUT", command.output}}));
        } else {
          run = test::run_program(
              command.program, arguments(command, dir.path.string()), dir.path);
        }
        expect_replaced(run, command, output);
        EXPECT_EQ(mode_of(output), "0755");
        EXPECT_EQ(capability_of(output), "");
        EXPECT_EQ(test::names_in(dir.path), only_the_files_of(command));
      }
    }
  }
}

// nobody, and the words that run a program of this build as nobody from
// `dir`, or why that cannot be done here.
struct Nobody {
  uid_t uid = 0;
  gid_t gid = 0;
  gid_t other_group = 0;  // adm: a group nobody is not in
  std::string skip;
};

Nobody find_nobody() {
  Nobody nobody;
  const passwd* user = ::getpwnam("nobody");
  const group* adm = ::getgrnam("adm");
  if (::geteuid() != 0) {
    nobody.skip =
        "only the superuser may give files to other users and run as nobody";
  } else if (user == nullptr || adm == nullptr) {
    nobody.skip = "no user nobody, or no group adm";
  } else if (!fs::exists("/usr/bin/setpriv") && !fs::exists("/bin/setpriv")) {
    nobody.skip = "no setpriv to run as nobody";
  } else {
    nobody.uid = user->pw_uid;
    nobody.gid = user->pw_gid;
    nobody.other_group = adm->gr_gid;
    if (nobody.gid == nobody.other_group) {
      nobody.skip = "nobody's own group is adm";
    }
  }
  return nobody;
}

test::RunResult run_as_nobody(const Nobody& nobody, const Command& command,
                              const test::ScratchDir& dir,
                              const std::string& folder) {
  std::vector<std::string> words = {"--reuid=" + std::to_string(nobody.uid),
                                    "--regid=" + std::to_string(nobody.gid),
                                    "--clear-groups"};
  for (const std::string& word :
       test::binary_words(test::copy_for_anyone(command.program, dir))) {
    words.push_back(word);
  }
  const std::vector<std::string> args = arguments(command, folder);
  words.insert(words.end(), args.begin(), args.end());
  return test::run_program("setpriv", words, dir.path);
}

// nobody, in a folder of its own, replaces a file that it may write but whose
// owner or group it cannot give the new file: the new file is its own, with
// the mode of the old one, but that the group gets no more than others had
// and the set-ID bits go. Its ACL gives the owning group no more than others
// either, and keeps what it gives by name.
TEST(ReplacedFile, OwnerOrGroupThatCannotBeKept) {
  const Nobody nobody = find_nobody();
  if (!nobody.skip.empty()) {
    GTEST_SKIP() << nobody.skip;
  }
  const struct {
    std::string why;
    bool root_owns;  // else nobody, with the group adm
    mode_t mode;
    std::vector<std::string> acl;
    mode_t new_mode;
    std::string new_acl;  // empty: not looked at
  } cases[] = {
      {"root's file that all may write", true, 0666, {}, 0666, ""},
      {"group adm may read", false, 0640, {}, 0600, ""},
      {"group adm may write, others read", false, 0664, {}, 0644, ""},
      {"set-group-ID, group adm may write", false, 02664, {}, 0644, ""},
      {"an ACL: root may write, the owning group read",
       false,
       0600,
       {"-m", "u:0:rw,g::r,m::rw,o::-"},
       0660,
       "user::rw-\nuser:0:rw-\ngroup::---\nmask::rw-\nother::---\n\n"},
  };
  for (const Command& command : commands()) {
    for (const auto& c : cases) {
      SCOPED_TRACE(command.program);
      SCOPED_TRACE(c.why);
      const test::ScratchDir dir;
      VARNEL_SKIP_WITHOUT_PROGRAMS_IN(dir);
      if (!c.acl.empty()) {
        SKIP_WITHOUT_ACLS(dir);
      }
      const fs::path own = dir / "own";
      fs::create_directory(own);
      ASSERT_EQ(::chown(own.c_str(), nobody.uid, nobody.gid), 0);
      test::write_file(own / command.input, command.input_bytes);
      const fs::path output = own / command.output;
      test::write_file(output, command.old_bytes);
      ASSERT_EQ(c.root_owns
                    ? ::chown(output.c_str(), 0, 0)
                    : ::chown(output.c_str(), nobody.uid, nobody.other_group),
                0);
      if (c.acl.empty()) {
        ASSERT_EQ(::chmod(output.c_str(), c.mode), 0);
      } else {
        ASSERT_NO_FATAL_FAILURE(
            make_old_file(output, command.old_bytes, c.mode, c.acl));
      }

      expect_replaced(run_as_nobody(nobody, command, dir, "own"), command,
                      output);
      struct stat status {};
      ASSERT_EQ(::stat(output.c_str(), &status), 0);
      EXPECT_EQ(status.st_uid, nobody.uid);
      EXPECT_EQ(status.st_gid, nobody.gid);
      EXPECT_EQ(octal(status.st_mode & 07777U), octal(c.new_mode));
      if (!c.new_acl.empty()) {
        EXPECT_EQ(acl_of(output), c.new_acl);
      }
      EXPECT_EQ(test::names_in(own), only_the_files_of(command));
    }
  }
}

#endif

// Windows: replacing a file keeps its hidden and system attributes (given
// to the new file before it is synced), and the new file is marked for
// backup, as files with new contents are. A read-only file is refused and
// left as it was.
TEST(ReplacedFile, KeepsItsWindowsAttributes) {
#if !defined(_WIN32)
  GTEST_SKIP() << "file attributes such as hidden are Windows'; modes, "
                  "ACLs and extended attributes are tested above";
#else
  const struct {
    std::string why;
    DWORD attributes;
    bool refused;
  } cases[] = {
      {"none but archive", FILE_ATTRIBUTE_ARCHIVE, false},
      {"hidden", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE, false},
      {"hidden and system",
       FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE,
       false},
      {"read-only and hidden",
       FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE,
       true},
  };
  for (const Command& command : commands()) {
    for (const auto& c : cases) {
      SCOPED_TRACE(command.program);
      SCOPED_TRACE(c.why);
      const test::ScratchDir dir;
      test::write_file(dir / command.input, command.input_bytes);
      const fs::path output = dir / command.output;
      test::write_file(output, command.old_bytes);
      ASSERT_NE(::SetFileAttributesW(output.c_str(), c.attributes), 0);

      const test::RunResult run = test::run_program(
          command.program, arguments(command, test::utf8_name(dir.path)),
          dir.path);
      const DWORD after = ::GetFileAttributesW(output.c_str());
      (void)::SetFileAttributesW(output.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (c.refused) {
        EXPECT_EQ(run.out.find(command.success), std::string::npos);
        EXPECT_TRUE(test::read_file(output) == command.old_bytes);
      } else {
        expect_replaced(run, command, output);
      }
      EXPECT_EQ(after, c.attributes);
      EXPECT_EQ(test::names_in(dir.path), only_the_files_of(command));
    }
  }
#endif
}

#if defined(_WIN32)

// The DACL of the file at `path` in the security descriptor language, or ""
// where it cannot be read.
std::string dacl_of(const fs::path& path) {
  PSECURITY_DESCRIPTOR security = nullptr;
  if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              nullptr, nullptr, &security) != ERROR_SUCCESS) {
    return "";
  }
  LPSTR text = nullptr;
  std::string dacl;
  if (::ConvertSecurityDescriptorToStringSecurityDescriptorA(
          security, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
          nullptr) != 0) {
    dacl = text;
    (void)::LocalFree(text);
  }
  (void)::LocalFree(security);
  return dacl;
}

// Gives the file at `path` a protected DACL: all to this user, reading to
// everyone, nothing from its folder.
bool set_private_dacl(const fs::path& path) {
  HANDLE token = nullptr;
  if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token) == 0) {
    return false;
  }
  std::vector<std::uint8_t> user(256);
  DWORD size = 0;
  const bool known =
      ::GetTokenInformation(token, TokenUser, user.data(),
                            static_cast<DWORD>(user.size()), &size) != 0;
  (void)::CloseHandle(token);
  LPSTR sid = nullptr;
  if (!known ||
      ::ConvertSidToStringSidA(
          reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &sid) == 0) {
    return false;
  }
  const std::string sddl = std::string("D:P(A;;FA;;;") + sid + ")(A;;FR;;;WD)";
  (void)::LocalFree(sid);
  PSECURITY_DESCRIPTOR security = nullptr;
  if (::ConvertStringSecurityDescriptorToSecurityDescriptorA(
          sddl.c_str(), SDDL_REVISION_1, &security, nullptr) == 0) {
    return false;
  }
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  const bool set =
      ::GetSecurityDescriptorDacl(security, &present, &dacl, &defaulted) != 0 &&
      ::SetNamedSecurityInfoW(
          const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
          DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
          nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
  (void)::LocalFree(security);
  return set;
}

#endif

// Windows: a replaced file keeps its ACL, here one protected from the
// folder's, given to the new file before it takes the name (which a rename
// does in one step, so that no moment passes without the old file or the new
// one there).
TEST(ReplacedFile, KeepsItsWindowsAcl) {
#if !defined(_WIN32)
  GTEST_SKIP() << "Windows ACLs; POSIX ACLs are tested above";
#else
  {
    const test::ScratchDir dir;
    test::write_file(dir / "probe", {});
    ASSERT_TRUE(set_private_dacl(dir / "probe"));
    if (const std::string kept = dacl_of(dir / "probe");
        !kept.starts_with("D:P")) {
      GTEST_SKIP() << "this system keeps no ACL on a file (Wine makes one "
                      "from the Unix permission bits): "
                   << kept;
    }
  }
  for (const Command& command : commands()) {
    SCOPED_TRACE(command.program);
    const test::ScratchDir dir;
    test::write_file(dir / command.input, command.input_bytes);
    const fs::path output = dir / command.output;
    test::write_file(output, command.old_bytes);
    const std::string folder_acl = dacl_of(output);
    ASSERT_TRUE(set_private_dacl(output));
    const std::string before = dacl_of(output);
    ASSERT_NE(before, folder_acl);

    const test::RunResult run = test::run_program(
        command.program, arguments(command, test::utf8_name(dir.path)),
        dir.path);
    expect_replaced(run, command, output);
    EXPECT_EQ(dacl_of(output), before);
    EXPECT_EQ(test::names_in(dir.path), only_the_files_of(command));
  }
#endif
}

// Windows: a file that another program holds open without letting it be
// deleted cannot be replaced (the rename fails): the write error, and the
// file as it was, with no temporary file beside it.
TEST(ReplacedFile, HeldOpenOnWindows) {
#if !defined(_WIN32)
  GTEST_SKIP() << "on POSIX systems an open file does not stop a rename";
#else
  for (const Command& command : commands()) {
    SCOPED_TRACE(command.program);
    const test::ScratchDir dir;
    test::write_file(dir / command.input, command.input_bytes);
    const fs::path output = dir / command.output;
    test::write_file(output, command.old_bytes);
    const HANDLE held = ::CreateFileW(
        output.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const test::RunResult run = test::run_program(
        command.program, arguments(command, test::utf8_name(dir.path)),
        dir.path);
    ::CloseHandle(held);
    const std::string name = test::utf8_name(dir.path) + "/" + command.output;
    if (command.program == VARNEL_BINARY) {
      EXPECT_EQ(run.out, test::banner_then("Error writing destination file \"" +
                                           name + "\".\n\n"));
    } else {
      EXPECT_EQ(run.exit_status, 2);
      // varnel-check writes a backslash in a name as two.
      std::string escaped;
      for (const char c : name) {
        escaped += c == '\\' ? std::string(2, c) : std::string(1, c);
      }
      EXPECT_EQ(
          run.err.rfind("varnel-check: error writing \"" + escaped + "\": ", 0),
          0U)
          << run.err;
    }
    EXPECT_TRUE(test::read_file(output) == command.old_bytes);
    EXPECT_EQ(test::names_in(dir.path), only_the_files_of(command));
  }
#endif
}

}  // namespace
}  // namespace varnel
