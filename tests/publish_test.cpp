// What varnel leaves at its destination: the old contents or the complete
// record file, never anything between, and never a temporary file once it
// has ended. Real processes and real files, and the output module itself for
// what a process cannot stage.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "files/output_file.h"
#include "files/system.h"
#include "tests/numbered_image.h"
#include "tests/test_support.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace varnel {
namespace {

namespace fs = std::filesystem;
using test::banner_then;
using test::Bytes;

const std::string kSizeMessage =
    "Source files of size that is not a multiple of 8192 bytes\n"
    "are not supported in this version.\n\n";

std::string written(const std::string& name) {
  return banner_then("Output written to \"" + name + "\".\n\n");
}

// The record file of a numbered image of `blocks` blocks at address 0,
// checked by the rules of the format.
void expect_records_of(const fs::path& path, std::size_t blocks) {
  test::expect_numbered_records(test::read_file(path), blocks);
}

// A wrong-size source leaves an existing record file exactly as it was,
// and makes an empty file where there was none.
TEST(Publish, WrongSizeSourceLeavesTheDestination) {
  const Bytes old_records = test::zero_record_file();
  const struct {
    std::string why;
    Bytes source;
    bool destination_exists;
  } cases[] = {
      {"8193 bytes over an existing record file", Bytes(8193, 0xAA), true},
      {"8193 bytes where there is no file", Bytes(8193, 0xAA), false},
      {"1 byte where there is no file", Bytes(1, 0xAA), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    test::write_file(dir / "in.fls", c.source);
    if (c.destination_exists) {
      test::write_file(dir / "out.hy", old_records);
    }
    const test::RunResult run =
        test::run_binary({"270000", "in.fls", "out.hy"}, dir.path);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out, banner_then(kSizeMessage));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(test::read_file(dir / "out.hy"),
              c.destination_exists ? old_records : Bytes{});
    EXPECT_EQ(test::read_file(dir / "in.fls"), c.source);
    EXPECT_EQ(test::names_in(dir.path),
              (std::vector<std::string>{"in.fls", "out.hy"}));
  }
}

// A file size limit set in a shell, as `ulimit -f` sets it: the second
// record passes the limit. The write message, and nothing left: no record
// file, no temporary file, nothing where a link leads.
TEST(Publish, FileSizeLimitLeavesNothing) {
  VARNEL_SKIP_ON_WINDOWS("Windows has no file size limit to set");
  for (const std::string dst : {"out.hy", "link.hy"}) {
    SCOPED_TRACE(dst);
    const test::ScratchDir dir;
    test::write_file(dir / "in.fls", test::concat({test::block_filled(1),
                                                   test::block_filled(2)}));
    fs::create_symlink("target.hy", dir / "link.hy");
    // 20 blocks of 512 bytes: room for one record of 8201 bytes, not two.
    std::vector<std::string> script = {"-c", "ulimit -f 20 && exec \"$@\"",
                                       "sh"};
    for (const std::string& word : test::binary_words(VARNEL_BINARY)) {
      script.push_back(word);
    }
    script.insert(script.end(), {"0", "in.fls", dst});
    const test::RunResult run = test::run_program("/bin/sh", script, dir.path);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out, banner_then("Error writing destination file \"" + dst +
                                   "\".\n\n"));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(test::names_in(dir.path),
              (std::vector<std::string>{"in.fls", "link.hy"}));
  }
}

// A replaced file keeps its permission bits, so a private dump stays
// private; and, where the process may set them, its owner and group.
TEST(Publish, ReplacedFileKeepsItsPermissions) {
  VARNEL_SKIP_ON_WINDOWS(
      "Windows files take their rights from their folder, not from bits");
#if !defined(_WIN32)
  for (const unsigned mode : {0600U, 0640U, 0755U}) {
    SCOPED_TRACE(mode);
    const test::ScratchDir dir;
    test::write_file(dir / "in.fls", test::numbered_image(1));
    test::write_file(dir / "out.hy", test::zero_record_file());
    ASSERT_EQ(::chmod((dir / "out.hy").c_str(), mode), 0);
    EXPECT_EQ(test::run_binary({"0", "in.fls", "out.hy"}, dir.path).out,
              written("out.hy"));
    expect_records_of(dir / "out.hy", 1);
    struct stat status {};
    ASSERT_EQ(::stat((dir / "out.hy").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777U, mode);
  }

  if (::geteuid() != 0) {
    GTEST_SKIP() << "only the superuser may give a file to another owner";
  }
  const passwd* nobody = ::getpwnam("nobody");
  if (nobody == nullptr) {
    GTEST_SKIP() << "no user nobody to give the file to";
  }
  const test::ScratchDir dir;
  test::write_file(dir / "in.fls", test::numbered_image(1));
  test::write_file(dir / "out.hy", test::zero_record_file());
  ASSERT_EQ(::chown((dir / "out.hy").c_str(), nobody->pw_uid, nobody->pw_gid),
            0);
  EXPECT_EQ(test::run_binary({"0", "in.fls", "out.hy"}, dir.path).out,
            written("out.hy"));
  struct stat status {};
  ASSERT_EQ(::stat((dir / "out.hy").c_str(), &status), 0);
  EXPECT_EQ(status.st_uid, nobody->pw_uid);
  EXPECT_EQ(status.st_gid, nobody->pw_gid);
#endif
}

#if !defined(_WIN32)

// A user to whom permissions apply: this one, or, for the superuser, nobody
// through setpriv. Empty `skip` when there is one.
struct Unprivileged {
  std::vector<std::string> prefix;  // the words that run a program as them
  uid_t uid = 0;
  gid_t gid = 0;
  std::string skip;
};

Unprivileged unprivileged_user() {
  Unprivileged user;
  if (::geteuid() != 0) {
    user.uid = ::geteuid();
    user.gid = ::getegid();
    return user;
  }
  const passwd* nobody = ::getpwnam("nobody");
  if (nobody == nullptr) {
    user.skip = "running as root, with no user nobody to drop to";
    return user;
  }
  if (!fs::exists("/usr/bin/setpriv") && !fs::exists("/bin/setpriv")) {
    user.skip = "running as root, without setpriv to drop privileges";
    return user;
  }
  user.uid = nobody->pw_uid;
  user.gid = nobody->pw_gid;
  user.prefix = {"setpriv", "--reuid=" + std::to_string(user.uid),
                 "--regid=" + std::to_string(user.gid), "--clear-groups"};
  return user;
}

test::RunResult run_varnel_as(const Unprivileged& user,
                              const std::vector<std::string>& args,
                              const test::ScratchDir& dir) {
  if (user.prefix.empty()) {
    return test::run_binary(args, dir.path);
  }
  std::vector<std::string> words(user.prefix.begin() + 1, user.prefix.end());
  for (const std::string& word :
       test::binary_words(test::copy_for_anyone(VARNEL_BINARY, dir))) {
    words.push_back(word);
  }
  words.insert(words.end(), args.begin(), args.end());
  return test::run_program(user.prefix.front(), words, dir.path);
}

// Gives `path` to the user and sets its mode.
void hand_over(const fs::path& path, const Unprivileged& user, mode_t mode) {
  ASSERT_EQ(::chown(path.c_str(), user.uid, user.gid), 0);
  ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}

#endif

// A destination that this user may not write is refused before anything
// else happens to it, and so is one whose folder they may not write to: no
// temporary file can be made there, and a file written over in place could
// be left neither old nor new.
TEST(Publish, PermissionsOfTheDestination) {
  VARNEL_SKIP_ON_WINDOWS(
      "Windows' read-only attribute is tested apart; folder rights are ACLs");
#if !defined(_WIN32)
  const Unprivileged user = unprivileged_user();
  if (!user.skip.empty()) {
    GTEST_SKIP() << user.skip;
  }
  const Bytes old_records = test::zero_record_file();
  // A block of 0x01 at 0: 8192 ones sum to 0 modulo 256, so the header is
  // the all-zero block's, 0B 00 00 00 00 00 20 00 DF.
  const Bytes new_records =
      test::concat({{0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0xDF},
                    test::block_filled(0x01)});
  const std::string refused =
      "Cannot create destination file \"sub/out.hy\".\n\n";
  const struct {
    std::string why;
    mode_t file_mode;
    mode_t folder_mode;
    std::size_t image_size;
    std::string message;
    bool replaced;  // else the old records
  } cases[] = {
      {"a file and folder the user may write", 0644, 0755, 8192,
       "Output written to \"sub/out.hy\".\n\n", true},
      {"a read-only destination", 0444, 0755, 8192, refused, false},
      {"a folder that may not be written", 0644, 0555, 8192, refused, false},
      {"a wrong size in a folder that may not be written", 0644, 0555, 8193,
       refused, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    // The files sit one folder down, in a folder of the user's own.
    const test::ScratchDir dir;
    if (!user.prefix.empty()) {
      VARNEL_SKIP_WITHOUT_PROGRAMS_IN(dir);
    }
    fs::create_directory(dir / "sub");
    test::write_file(dir / "sub/in.fls", Bytes(c.image_size, 0x01));
    test::write_file(dir / "sub/out.hy", old_records);
    ASSERT_NO_FATAL_FAILURE(hand_over(dir / "sub/out.hy", user, c.file_mode));
    ASSERT_NO_FATAL_FAILURE(hand_over(dir / "sub", user, c.folder_mode));

    const test::RunResult run =
        run_varnel_as(user, {"0", "sub/in.fls", "sub/out.hy"}, dir);
    ASSERT_EQ(::chmod((dir / "sub").c_str(), 0755), 0);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out, banner_then(c.message));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(test::read_file(dir / "sub/out.hy"),
              c.replaced ? new_records : old_records);
    struct stat status {};
    ASSERT_EQ(::stat((dir / "sub/out.hy").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777U, c.file_mode);
    EXPECT_EQ(status.st_uid, user.uid);
    EXPECT_EQ(test::names_in(dir / "sub"),
              (std::vector<std::string>{"in.fls", "out.hy"}));
  }
#endif
}

// varnel-check the same: an image in a folder this user may not write to is
// refused with the reason, and the old file stays as it was.
TEST(Publish, RestoreWhereNoTemporaryCanBeMade) {
  VARNEL_SKIP_ON_WINDOWS("folder rights are ACLs on Windows");
#if !defined(_WIN32)
  const Unprivileged user = unprivileged_user();
  if (!user.skip.empty()) {
    GTEST_SKIP() << user.skip;
  }
  const test::ScratchDir dir;
  if (!user.prefix.empty()) {
    VARNEL_SKIP_WITHOUT_PROGRAMS_IN(dir);
  }
  ASSERT_NO_FATAL_FAILURE(test::make_records("0", 2, "rec.hy", dir));
  fs::create_directory(dir / "locked");
  const Bytes old_image(20000, 'x');
  test::write_file(dir / "locked/old.fls", old_image);
  ASSERT_NO_FATAL_FAILURE(hand_over(dir / "locked/old.fls", user, 0644));
  ASSERT_EQ(::chmod((dir / "locked").c_str(), 0755), 0);

  std::vector<std::string> words(user.prefix.begin(), user.prefix.end());
  for (const std::string& word : test::binary_words(
           user.prefix.empty()
               ? VARNEL_CHECK_BINARY
               : test::copy_for_anyone(VARNEL_CHECK_BINARY, dir))) {
    words.push_back(word);
  }
  words.insert(words.end(), {"-o", "locked/old.fls", "rec.hy"});
  const std::string program = words.front();
  words.erase(words.begin());
  const test::RunResult run = test::run_program(program, words, dir.path);
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "varnel-check: cannot create \"locked/old.fls\": Permission "
            "denied\n");
  EXPECT_EQ(test::read_file(dir / "locked/old.fls"), old_image);
  EXPECT_EQ(test::names_in(dir / "locked"),
            std::vector<std::string>{"old.fls"});
#endif
}

// Windows: the read-only attribute refuses a destination, as file modes do
// on POSIX systems.
TEST(Publish, ReadOnlyAttributeIsRefused) {
#if !defined(_WIN32)
  GTEST_SKIP() << "the read-only attribute is Windows'; modes are tested above";
#else
  const test::ScratchDir dir;
  test::write_file(dir / "in.fls", test::numbered_image(1));
  test::write_file(dir / "out.hy", test::zero_record_file());
  fs::permissions(
      dir / "out.hy",
      fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
      fs::perm_options::remove);
  const test::RunResult run =
      test::run_binary({"0", "in.fls", "out.hy"}, dir.path);
  fs::permissions(dir / "out.hy", fs::perms::owner_write,
                  fs::perm_options::add);
  EXPECT_EQ(run.out,
            banner_then("Cannot create destination file \"out.hy\".\n\n"));
  EXPECT_EQ(test::read_file(dir / "out.hy"), test::zero_record_file());
  EXPECT_EQ(test::names_in(dir.path),
            (std::vector<std::string>{"in.fls", "out.hy"}));
#endif
}

// A symbolic link is followed: the link stays, and the file it leads to gets
// the records, even one in another folder, or one not there yet.
TEST(Publish, SymbolicLinksAreFollowed) {
  VARNEL_SKIP_ON_WINDOWS("symbolic links need a privilege on Windows");
  const struct {
    std::string why;
    std::string link_to;  // from link.hy
    std::string target;   // where the records land
    bool target_exists;
  } cases[] = {
      {"to a file", "target.hy", "target.hy", true},
      {"to a file in another folder", "sub/target.hy", "sub/target.hy", true},
      {"to a link to a file", "link2.hy", "target.hy", true},
      {"to where nothing is yet", "sub/new.hy", "sub/new.hy", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    fs::create_directory(dir / "sub");
    test::write_file(dir / "in.fls", test::numbered_image(3));
    if (c.target_exists) {
      test::write_file(dir / c.target, test::zero_record_file());
    }
    fs::create_symlink("target.hy", dir / "link2.hy");
    fs::create_symlink(c.link_to, dir / "link.hy");
    const std::vector<std::string> before = test::names_in(dir.path);

    EXPECT_EQ(test::run_binary({"0", "in.fls", "link.hy"}, dir.path).out,
              written("link.hy"));
    EXPECT_TRUE(fs::is_symlink(dir / "link.hy"));
    EXPECT_EQ(fs::read_symlink(dir / "link.hy"), c.link_to);
    expect_records_of(dir / c.target, 3);
    // Nothing new beside the link or the file, but the file itself.
    EXPECT_EQ(test::names_in(dir.path), before);
    const std::vector<std::string> in_sub = test::names_in(dir / "sub");
    EXPECT_LE(in_sub.size(), 1U);
  }
}

// Windows: the file a symbolic link leads to is where the system finds it
// (GetFinalPathNameByHandleW): it gets the records, the temporary file goes
// beside it, and the link is not replaced by a file of its own.
TEST(Publish, WindowsLinkLeadsToItsFile) {
#if !defined(_WIN32)
  GTEST_SKIP() << "the POSIX links are tested above";
#else
  const test::ScratchDir dir;
  fs::create_directory(dir / "sub");
  test::write_file(dir / "in.fls", test::numbered_image(3));
  test::write_file(dir / "sub/target.hy", test::zero_record_file());
  const fs::path link = dir / "link.hy";
  if (::CreateSymbolicLinkW(link.c_str(), L"sub\\target.hy",
                            SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) ==
      0) {
    GTEST_SKIP() << "no symbolic link can be made here: error "
                 << ::GetLastError();
  }
  // Wine 8 says it made the link, and makes nothing.
  if (::GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES) {
    GTEST_SKIP() << "CreateSymbolicLinkW reported a link it did not make "
                    "(as Wine 8 does)";
  }
  EXPECT_EQ(test::run_binary({"0", "in.fls", "link.hy"}, dir.path).out,
            written("link.hy"));
  expect_records_of(dir / "sub/target.hy", 3);
  expect_records_of(dir / "link.hy", 3);
  EXPECT_EQ(test::names_in(dir / "sub"), std::vector<std::string>{"target.hy"});
  EXPECT_EQ(test::names_in(dir.path),
            (std::vector<std::string>{"in.fls", "link.hy", "sub"}));
#endif
}

// Whatever is no file on disk is written as it is: nothing made beside it,
// nothing renamed.
TEST(Publish, DevicesAndFifosAreWrittenDirectly) {
#if defined(_WIN32)
  const test::ScratchDir dir;
  test::write_file(dir / "in.fls", test::numbered_image(2));
  EXPECT_EQ(test::run_binary({"0", "in.fls", "NUL"}, dir.path).out,
            written("NUL"));
  EXPECT_EQ(test::names_in(dir.path), std::vector<std::string>{"in.fls"});
#else
  {
    const test::ScratchDir dir;
    test::write_file(dir / "in.fls", test::numbered_image(2));
    EXPECT_EQ(test::run_binary({"0", "in.fls", "/dev/null"}, dir.path).out,
              written("/dev/null"));
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
    for (const auto& entry : fs::directory_iterator("/dev")) {
      EXPECT_NE(entry.path().filename().string().rfind("null.partial", 0), 0U)
          << entry.path();
    }
  }
  const test::ScratchDir dir;
  test::write_file(dir / "in.fls", test::numbered_image(300));
  ASSERT_EQ(::mkfifo((dir / "out.hy").c_str(), 0600), 0);
  Bytes records;
  std::thread reader = test::running_thread([&] {
    const int fd = ::open((dir / "out.hy").c_str(), O_RDONLY);
    if (fd < 0) {
      return;
    }
    Bytes buffer(1 << 16);
    for (ssize_t got = 0;
         (got = ::read(fd, buffer.data(), buffer.size())) > 0;) {
      records.insert(records.end(), buffer.begin(), buffer.begin() + got);
    }
    ::close(fd);
  });
  const test::RunResult run =
      test::run_binary({"0", "in.fls", "out.hy"}, dir.path);
  reader.join();
  EXPECT_EQ(run.out, written("out.hy"));
  test::expect_numbered_records(records, 300);
  EXPECT_TRUE(fs::is_fifo(dir / "out.hy"));
  EXPECT_EQ(test::names_in(dir.path),
            (std::vector<std::string>{"in.fls", "out.hy"}));
#endif
}

// A name as long as a name may be has no room for a suffix: the temporary
// file takes a short name of its own instead.
TEST(Publish, LongestNameStillWorks) {
  const test::ScratchDir dir;
  std::string name(252, 'n');
  name += ".hy";  // 255 bytes
  test::write_file(dir / "in.fls", test::numbered_image(2));
  for (const bool exists : {false, true}) {
    SCOPED_TRACE(exists ? "over a file" : "a new file");
    EXPECT_EQ(test::run_binary({"0", "in.fls", name}, dir.path).out,
              written(name));
    expect_records_of(dir / name, 2);
    EXPECT_EQ(test::names_in(dir.path),
              (std::vector<std::string>{"in.fls", name}));
  }
}

// Temporary names end in a random number, not in one a process can be told
// by: another user cannot take the names a run will try, in a shared folder,
// by making them first. A file under the name that the process number gives,
// as earlier versions named their first try, is left as it is.
TEST(Publish, TemporaryNamesAreRandom) {
  const test::ScratchDir dir;
  const fs::path target = dir / "out.hy";
  std::array<char, 16> suffix{};
  (void)std::snprintf(suffix.data(), suffix.size(), ".partial-%06x",
                      static_cast<unsigned>(process_number() & 0xFFFFFFU));
  const fs::path by_number = dir / ("out.hy" + std::string(suffix.data()));
  test::write_file(by_number, {'k', 'e', 'e', 'p'});

  std::set<fs::path> names;
  for (int draw = 0; draw < 50; ++draw) {
    const fs::path name = temporary_name("out.hy");
    EXPECT_EQ(name.parent_path(), fs::path());
    const std::string text = test::utf8_name(name);
    ASSERT_EQ(text.size(), std::string("out.hy.partial-123456").size());
    EXPECT_EQ(text.rfind("out.hy.partial-", 0), 0U) << text;
    EXPECT_EQ(text.find_first_not_of("0123456789abcdef", 15), std::string::npos)
        << text;
    names.insert(name);
  }
  // 50 draws of 24 bits: two alike once in about 13,000 runs.
  EXPECT_GE(names.size(), 49U);

  const std::string name = test::utf8_name(target);
  Output output;
  const OutputRules rules{9, [](std::span<const std::uint8_t>) { return true; },
                          nullptr};
  ASSERT_TRUE(open_output(find_destination(name.c_str()), rules, output))
      << output.error.message();
  EXPECT_EQ(output.way, OutputWay::replace);
  ASSERT_GE(std::fputs("new", output.file.get()), 0);
  ASSERT_TRUE(commit_output(output)) << output.error.message();
  EXPECT_EQ(test::read_file(target), (Bytes{'n', 'e', 'w'}));
  EXPECT_EQ(test::read_file(by_number), (Bytes{'k', 'e', 'e', 'p'}));
  EXPECT_EQ(test::names_in(dir.path),
            (std::vector<std::string>{"out.hy",
                                      test::utf8_name(by_number.filename())}));
}

}  // namespace
}  // namespace varnel
