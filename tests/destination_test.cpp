// Where a destination leads, as the system finds it: chains of links, links
// in folders shared by several users that the system would not follow,
// names that stand for an open descriptor, and files that no rename can
// replace. The real programs, real links, and for what another user does, a
// real other user.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tests/numbered_image.h"
#include "tests/test_support.h"

#if !defined(_WIN32)
#include <pwd.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace varnel {
namespace {

namespace fs = std::filesystem;
using test::banner_then;
using test::Bytes;

std::string written(const std::string& name) {
  return banner_then("Output written to \"" + name + "\".\n\n");
}

std::string refused(const std::string& name) {
  return banner_then("Cannot create destination file \"" + name + "\".\n\n");
}

// A block of 0x01 at address 0 and its record: 8192 ones sum to 0 modulo
// 256, so the header is the all-zero block's, 0B 00 00 00 00 00 20 00 DF.
const Bytes kImage = test::block_filled(0x01);
const Bytes kRecords =
    test::concat({{0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0xDF},
                  test::block_filled(0x01)});

// A chain of links is followed as far as the system follows one, 40 links,
// and no further; a relative link leads from its own folder, wherever the
// program runs.
TEST(Destination, ChainsOfLinks) {
  VARNEL_SKIP_ON_WINDOWS("symbolic links need a privilege on Windows");
  const struct {
    std::string why;
    int links;  // link0.hy -> link1.hy -> ... -> target.hy
    bool target_exists;
    bool followed;
  } cases[] = {
      {"40 links to a file", 40, true, true},
      {"40 links to where nothing is", 40, false, true},
      {"41 links to a file", 41, true, false},
      {"41 links to where nothing is", 41, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    test::write_file(dir / "in.fls", kImage);
    if (c.target_exists) {
      test::write_file(dir / "target.hy", test::zero_record_file());
    }
    for (int link = 0; link < c.links; ++link) {
      const std::string to = link + 1 == c.links
                                 ? "target.hy"
                                 : "link" + std::to_string(link + 1) + ".hy";
      fs::create_symlink(to, dir / ("link" + std::to_string(link) + ".hy"));
    }
    const std::vector<std::string> before = test::names_in(dir.path);
    const test::RunResult run =
        test::run_binary({"0", "in.fls", "link0.hy"}, dir.path);
    EXPECT_EQ(run.out, c.followed ? written("link0.hy") : refused("link0.hy"));
    EXPECT_TRUE(fs::is_symlink(dir / "link0.hy"));
    std::vector<std::string> after = before;
    if (c.followed && !c.target_exists) {
      after.push_back("target.hy");
      std::sort(after.begin(), after.end());
    }
    EXPECT_EQ(test::names_in(dir.path), after);
    if (c.followed) {
      EXPECT_EQ(test::read_file(dir / "target.hy"), kRecords);
    } else if (c.target_exists) {
      EXPECT_EQ(test::read_file(dir / "target.hy"), test::zero_record_file());
    }
  }

  // sub/link.hy -> target.hy means sub/target.hy, from any folder.
  for (const bool exists : {true, false}) {
    SCOPED_TRACE(exists ? "a relative link to a file"
                        : "a relative link to where nothing is");
    const test::ScratchDir dir;
    fs::create_directory(dir / "sub");
    test::write_file(dir / "in.fls", kImage);
    test::write_file(dir / "target.hy", test::zero_record_file());
    if (exists) {
      test::write_file(dir / "sub/target.hy", test::zero_record_file());
    }
    fs::create_symlink("target.hy", dir / "sub/link.hy");
    EXPECT_EQ(test::run_binary({"0", "in.fls", "sub/link.hy"}, dir.path).out,
              written("sub/link.hy"));
    EXPECT_EQ(test::read_file(dir / "sub/target.hy"), kRecords);
    EXPECT_EQ(test::read_file(dir / "target.hy"), test::zero_record_file());
    EXPECT_EQ(test::names_in(dir / "sub"),
              (std::vector<std::string>{"link.hy", "target.hy"}));
  }
}

#if !defined(_WIN32)

// The words that run a command as nobody, through setpriv; empty, with
// `skip` saying why, where that cannot be done here.
std::vector<std::string> as_nobody(std::string& skip) {
  if (::geteuid() != 0) {
    skip = "only the superuser can stage what another user does";
    return {};
  }
  const passwd* nobody = ::getpwnam("nobody");
  if (nobody == nullptr) {
    skip = "no user nobody";
    return {};
  }
  if (!fs::exists("/usr/bin/setpriv") && !fs::exists("/bin/setpriv")) {
    skip = "no setpriv to run a command as nobody";
    return {};
  }
  return {"setpriv", "--reuid=" + std::to_string(nobody->pw_uid),
          "--regid=" + std::to_string(nobody->pw_gid), "--clear-groups"};
}

test::RunResult run_as(const std::vector<std::string>& user,
                       std::vector<std::string> words,
                       const test::ScratchDir& dir) {
  std::vector<std::string> all(user.begin() + 1, user.end());
  all.insert(all.end(), words.begin(), words.end());
  return test::run_program(user.front(), all, dir.path);
}

// This build's `program` with `args`, as words for setpriv or a shell.
std::vector<std::string> command(const std::string& program,
                                 const std::vector<std::string>& args,
                                 const test::ScratchDir& dir) {
  std::vector<std::string> words =
      test::binary_words(test::copy_for_anyone(program, dir));
  words.insert(words.end(), args.begin(), args.end());
  return words;
}

// A folder that every user may write to and only owners delete from, as
// /tmp is.
void make_shared_folder(const fs::path& path) {
  fs::create_directory(path);
  ASSERT_EQ(::chmod(path.c_str(), 01777), 0);
}

#endif

// In a shared folder such as /tmp, a link that another user made is not
// followed, as Linux does not with fs.protected_symlinks set (and here
// whatever it is set to): it could lead to any file the one who runs the
// program may write. nobody plants links to a file of root's, and root's
// runs refuse them; links of root's own there, and nobody's in a folder of
// their own, lead where they lead.
TEST(Destination, AnotherUsersLinkInASharedFolder) {
  VARNEL_SKIP_ON_WINDOWS("symbolic links and shared folders are POSIX here");
#if !defined(_WIN32)
  std::string skip;
  const std::vector<std::string> nobody = as_nobody(skip);
  if (nobody.empty()) {
    GTEST_SKIP() << skip;
  }
  const test::ScratchDir dir;
  VARNEL_SKIP_WITHOUT_PROGRAMS_IN(dir);
  ASSERT_NO_FATAL_FAILURE(make_shared_folder(dir / "shared"));
  fs::create_directory(dir / "victim");
  const Bytes secret = {'s', 'e', 'c', 'r', 'e', 't', '\n'};
  test::write_file(dir / "victim/config", secret);
  test::write_file(dir / "victim/records.hy", test::zero_record_file());
  test::write_file(dir / "in.fls", kImage);
  ASSERT_NO_FATAL_FAILURE(test::make_records("0", 1, "rec.hy", dir));
  test::write_file(dir / "in.fls", kImage);
  const auto plant = [&](const std::string& to, const std::string& link) {
    ASSERT_EQ(run_as(nobody, {"ln", "-s", to, link}, dir).exit_status, 0);
  };
  ASSERT_NO_FATAL_FAILURE(plant("../victim/config", "shared/config.hy"));
  ASSERT_NO_FATAL_FAILURE(plant("../victim/records.hy", "shared/out.hy"));
  ASSERT_NO_FATAL_FAILURE(plant("../victim/new.hy", "shared/new.hy"));
  ASSERT_NO_FATAL_FAILURE(plant("../victim/image.fls", "shared/image.fls"));
  const std::vector<std::string> shared = test::names_in(dir / "shared");

  const struct {
    std::string why;
    std::string program;
    std::vector<std::string> args;
    std::string out;
    std::string err;
  } cases[] = {
      {"varnel to nobody's link to a file of root's",
       VARNEL_BINARY,
       {"0", "in.fls", "shared/config.hy"},
       refused("shared/config.hy"),
       ""},
      {"varnel to nobody's link to a record file of root's",
       VARNEL_BINARY,
       {"0", "in.fls", "shared/out.hy"},
       refused("shared/out.hy"),
       ""},
      {"varnel to nobody's link to nothing yet",
       VARNEL_BINARY,
       {"0", "in.fls", "shared/new.hy"},
       refused("shared/new.hy"),
       ""},
      {"varnel-check to nobody's link to nothing yet",
       VARNEL_CHECK_BINARY,
       {"-o", "shared/image.fls", "rec.hy"},
       "",
       "varnel-check: cannot create \"shared/image.fls\": Permission "
       "denied\n"},
      {"varnel-check to nobody's link to a file of root's",
       VARNEL_CHECK_BINARY,
       {"-o", "shared/config.hy", "rec.hy"},
       "",
       "varnel-check: cannot create \"shared/config.hy\": Permission "
       "denied\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::RunResult run = test::run_program(c.program, c.args, dir.path);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.exit_status, c.program == VARNEL_BINARY ? 0 : 2);
    EXPECT_EQ(test::read_file(dir / "victim/config"), secret);
    EXPECT_EQ(test::read_file(dir / "victim/records.hy"),
              test::zero_record_file());
    EXPECT_EQ(test::names_in(dir / "victim"),
              (std::vector<std::string>{"config", "records.hy"}));
    EXPECT_EQ(test::names_in(dir / "shared"), shared);
  }

  // Root's own link in the shared folder, and nobody's in nobody's own
  // folder, which nobody runs: followed.
  fs::create_symlink("../victim/records.hy", dir / "shared/mine.hy");
  EXPECT_EQ(test::run_binary({"0", "in.fls", "shared/mine.hy"}, dir.path).out,
            written("shared/mine.hy"));
  EXPECT_EQ(test::read_file(dir / "victim/records.hy"), kRecords);

  fs::create_directory(dir / "own");
  ASSERT_EQ(::chown((dir / "own").c_str(), 65534, 65534), 0);
  ASSERT_EQ(
      run_as(nobody, {"ln", "-s", "target.hy", "own/link.hy"}, dir).exit_status,
      0);
  EXPECT_EQ(
      run_as(nobody,
             command(VARNEL_BINARY, {"0", "in.fls", "own/link.hy"}, dir), dir)
          .out,
      written("own/link.hy"));
  EXPECT_EQ(test::read_file(dir / "own/target.hy"), kRecords);
#endif
}

// /dev/stdout, /dev/fd/N and /proc/self/fd/N name a descriptor the program
// was given, not a place: the records go through it, where the shell set it
// up (appending to a log, say), and nothing is replaced. A link to one is
// the same.
TEST(Destination, NamesOfOpenDescriptors) {
  VARNEL_SKIP_ON_WINDOWS("/dev/stdout and /proc/self/fd are Linux's");
#if !defined(_WIN32)
  const test::ScratchDir dir;
  test::write_file(dir / "in.fls", kImage);
  fs::create_symlink("/dev/stdout", dir / "out.hy");
  const Bytes earlier = {'e', 'a', 'r', 'l', 'i', 'e', 'r', '\n'};
  for (const std::string name :
       {"/dev/stdout", "/dev/fd/1", "/proc/self/fd/1", "out.hy"}) {
    SCOPED_TRACE(name);
    test::write_file(dir / "build.log", earlier);
    struct stat before {};
    ASSERT_EQ(::stat((dir / "build.log").c_str(), &before), 0);
    std::vector<std::string> script = {"-c", "exec \"$@\" >> build.log", "sh"};
    for (const std::string& word : test::binary_words(VARNEL_BINARY)) {
      script.push_back(word);
    }
    script.insert(script.end(), {"0", "in.fls", name});
    const test::RunResult run = test::run_program("/bin/sh", script, dir.path);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
    const std::string banner = "Quenlo to Halvory Converter 0.9a by Orvek\n\n";
    const std::string done = "Output written to \"" + name + "\".\n\n";
    EXPECT_TRUE(test::read_file(dir / "build.log") ==
                test::concat({earlier, Bytes(banner.begin(), banner.end()),
                              kRecords, Bytes(done.begin(), done.end())}))
        << "not the log's lines, the banner, the records and the message";
    struct stat after {};
    ASSERT_EQ(::stat((dir / "build.log").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "the log was replaced";
    EXPECT_EQ(test::names_in(dir.path),
              (std::vector<std::string>{"build.log", "in.fls", "out.hy"}));
  }

  // Standard input, open for reading only, cannot take the records.
  const test::RunResult run =
      test::run_binary({"0", "in.fls", "/dev/stdin"}, dir.path);
  EXPECT_EQ(run.out, refused("/dev/stdin"));

  // varnel-check writes an image through a descriptor opened on a file for
  // it, and not through standard output, which carries its report.
  ASSERT_NO_FATAL_FAILURE(test::make_records("0", 2, "rec.hy", dir));
  const Bytes image = test::read_file(dir / "in.fls");
  std::vector<std::string> script = {"-c", "exec \"$@\" 3> image.fls", "sh"};
  for (const std::string& word : test::binary_words(VARNEL_CHECK_BINARY)) {
    script.push_back(word);
  }
  script.insert(script.end(), {"-o", "/dev/fd/3", "rec.hy"});
  const test::RunResult through_three =
      test::run_program("/bin/sh", script, dir.path);
  EXPECT_EQ(through_three.exit_status, 0);
  EXPECT_EQ(through_three.err, "");
  EXPECT_EQ(test::read_file(dir / "image.fls"), image);
  script[1] = "exec \"$@\" > report.txt";
  script.back() = "rec.hy";
  script[script.size() - 2] = "/dev/stdout";
  const test::RunResult to_report =
      test::run_program("/bin/sh", script, dir.path);
  EXPECT_EQ(to_report.exit_status, 2);
  EXPECT_EQ(test::read_file(dir / "report.txt"), Bytes{});
  EXPECT_EQ(to_report.err,
            "varnel-check: \"/dev/stdout\" is where the report goes\n");
#endif
}

// A file no rename can replace is refused before anything is written: in a
// shared folder, another user's file that this user may write but not
// delete; a file mounted over another one (a bind mount). Before, each was
// converted whole and then failed at the rename.
TEST(Destination, FilesNoRenameCanReplace) {
  VARNEL_SKIP_ON_WINDOWS("sticky folders and bind mounts are POSIX");
#if !defined(_WIN32)
  std::string skip;
  const std::vector<std::string> nobody = as_nobody(skip);
  if (nobody.empty()) {
    GTEST_SKIP() << skip;
  }
  const test::ScratchDir dir;
  VARNEL_SKIP_WITHOUT_PROGRAMS_IN(dir);
  ASSERT_NO_FATAL_FAILURE(make_shared_folder(dir / "shared"));
  test::write_file(dir / "in.fls", kImage);
  ASSERT_NO_FATAL_FAILURE(test::make_records("0", 1, "rec.hy", dir));
  test::write_file(dir / "in.fls", kImage);
  // root's files in the shared folder, that anyone may write.
  for (const std::string name : {"shared/out.hy", "shared/image.fls"}) {
    test::write_file(dir / name, test::zero_record_file());
    ASSERT_EQ(::chmod((dir / name).c_str(), 0666), 0);
  }
  test::write_file(dir / "shared/image.fls", {'o', 'l', 'd'});

  const test::RunResult by_varnel = run_as(
      nobody, command(VARNEL_BINARY, {"0", "in.fls", "shared/out.hy"}, dir),
      dir);
  EXPECT_EQ(by_varnel.out, refused("shared/out.hy"));
  const test::RunResult by_check = run_as(
      nobody,
      command(VARNEL_CHECK_BINARY, {"-o", "shared/image.fls", "rec.hy"}, dir),
      dir);
  EXPECT_EQ(by_check.exit_status, 2);
  EXPECT_EQ(by_check.out, "");
  EXPECT_EQ(by_check.err,
            "varnel-check: cannot create \"shared/image.fls\": Operation not "
            "permitted\n");
  EXPECT_EQ(test::read_file(dir / "shared/out.hy"), test::zero_record_file());
  EXPECT_EQ(test::read_file(dir / "shared/image.fls"), (Bytes{'o', 'l', 'd'}));
  EXPECT_EQ(test::names_in(dir / "shared"),
            (std::vector<std::string>{"image.fls", "out.hy"}));

  // A record file and an image mounted over the names given.
  test::write_file(dir / "mounted.hy", test::zero_record_file());
  test::write_file(dir / "mounted.fls", {'o', 'l', 'd'});
  test::write_file(dir / "out.hy", {});
  test::write_file(dir / "image.fls", {});
  if (::mount((dir / "mounted.hy").c_str(), (dir / "out.hy").c_str(), "none",
              MS_BIND, nullptr) != 0) {
    GTEST_SKIP() << "cannot bind-mount a file here: " << std::strerror(errno);
  }
  const bool image_mounted =
      ::mount((dir / "mounted.fls").c_str(), (dir / "image.fls").c_str(),
              "none", MS_BIND, nullptr) == 0;
  const test::RunResult to_mount =
      test::run_binary({"0", "in.fls", "out.hy"}, dir.path);
  const test::RunResult check_to_mount = test::run_program(
      VARNEL_CHECK_BINARY, {"-o", "image.fls", "rec.hy"}, dir.path);
  const std::vector<std::string> names = test::names_in(dir.path);
  const Bytes through_mount = test::read_file(dir / "out.hy");
  const Bytes image_through_mount = test::read_file(dir / "image.fls");
  ASSERT_EQ(::umount((dir / "out.hy").c_str()), 0);
  ASSERT_TRUE(image_mounted);
  ASSERT_EQ(::umount((dir / "image.fls").c_str()), 0);
  EXPECT_EQ(to_mount.out, refused("out.hy"));
  EXPECT_EQ(check_to_mount.exit_status, 2);
  EXPECT_EQ(check_to_mount.err,
            "varnel-check: cannot create \"image.fls\": Device or resource "
            "busy\n");
  EXPECT_EQ(through_mount, test::zero_record_file());
  EXPECT_EQ(image_through_mount, (Bytes{'o', 'l', 'd'}));
  EXPECT_EQ(test::read_file(dir / "mounted.hy"), test::zero_record_file());
  EXPECT_EQ(names,
            (std::vector<std::string>{"image.fls", "in.fls", "mounted.fls",
                                      "mounted.hy", "out.hy", "rec.hy",
                                      "shared", "varnel", "varnel-check"}));
#endif
}

// In a shared folder such as /tmp, another user's file or FIFO is theirs, as
// Linux has it with fs.protected_regular and fs.protected_fifos set (and here
// whatever they are set to): root's output there would be nobody's to read
// and change. nobody makes an empty file, open to all, and a FIFO there;
// root's runs refuse both, and write nothing into either. root's own file
// there is replaced.
TEST(Destination, AnotherUsersFileInASharedFolder) {
  VARNEL_SKIP_ON_WINDOWS("shared folders and FIFOs are POSIX");
#if !defined(_WIN32)
  std::string skip;
  const std::vector<std::string> nobody = as_nobody(skip);
  if (nobody.empty()) {
    GTEST_SKIP() << skip;
  }
  const test::ScratchDir dir;
  ASSERT_NO_FATAL_FAILURE(make_shared_folder(dir / "shared"));
  test::write_file(dir / "in.fls", kImage);
  ASSERT_NO_FATAL_FAILURE(test::make_records("0", 1, "rec.hy", dir));
  test::write_file(dir / "in.fls", kImage);
  for (const std::string name : {"shared/out.hy", "shared/image.fls"}) {
    ASSERT_EQ(
        run_as(nobody, {"sh", "-c", "umask 0 && : > " + name}, dir).exit_status,
        0);
  }
  ASSERT_EQ(run_as(nobody, {"mkfifo", "-m", "666", "shared/fifo.hy"}, dir)
                .exit_status,
            0);
  const struct {
    std::string why;
    std::string program;
    std::vector<std::string> args;
    std::string out;
    std::string err;
  } cases[] = {
      {"varnel to nobody's empty file",
       VARNEL_BINARY,
       {"0", "in.fls", "shared/out.hy"},
       refused("shared/out.hy"),
       ""},
      {"varnel to nobody's FIFO",
       VARNEL_BINARY,
       {"0", "in.fls", "shared/fifo.hy"},
       refused("shared/fifo.hy"),
       ""},
      {"varnel-check to nobody's empty file",
       VARNEL_CHECK_BINARY,
       {"-o", "shared/image.fls", "rec.hy"},
       "",
       "varnel-check: cannot create \"shared/image.fls\": Permission "
       "denied\n"},
      {"varnel-check to nobody's FIFO",
       VARNEL_CHECK_BINARY,
       {"-o", "shared/fifo.hy", "rec.hy"},
       "",
       "varnel-check: cannot create \"shared/fifo.hy\": Permission "
       "denied\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    // A run that wrote the FIFO would wait for a reader: it is not waited
    // for long.
    const auto child = test::start_program(c.program, c.args, dir.path);
    const test::RunResult run =
        test::wait_for(*child, std::chrono::seconds(30));
    EXPECT_FALSE(run.timed_out) << "it opened the FIFO to write";
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(test::read_file(dir / "shared/out.hy"), Bytes{});
    EXPECT_EQ(test::read_file(dir / "shared/image.fls"), Bytes{});
    EXPECT_EQ(test::names_in(dir / "shared"),
              (std::vector<std::string>{"fifo.hy", "image.fls", "out.hy"}));
  }

  test::write_file(dir / "shared/mine.hy", {});
  EXPECT_EQ(test::run_binary({"0", "in.fls", "shared/mine.hy"}, dir.path).out,
            written("shared/mine.hy"));
  EXPECT_EQ(test::read_file(dir / "shared/mine.hy"), kRecords);
#endif
}

// The protected-links rule holds at every step of the path, not only the
// last: nobody's link in a shared folder to a folder of root's
// (shared/evil -> ../victim) is not followed on the way to a file in it.
// root's own link there is.
TEST(Destination, AnotherUsersLinkOnTheWay) {
  VARNEL_SKIP_ON_WINDOWS("symbolic links and shared folders are POSIX here");
#if !defined(_WIN32)
  std::string skip;
  const std::vector<std::string> nobody = as_nobody(skip);
  if (nobody.empty()) {
    GTEST_SKIP() << skip;
  }
  const test::ScratchDir dir;
  ASSERT_NO_FATAL_FAILURE(make_shared_folder(dir / "shared"));
  fs::create_directory(dir / "victim");
  ASSERT_EQ(::chmod((dir / "victim").c_str(), 0700), 0);
  test::write_file(dir / "in.fls", kImage);
  ASSERT_NO_FATAL_FAILURE(test::make_records("0", 1, "rec.hy", dir));
  test::write_file(dir / "in.fls", kImage);
  ASSERT_EQ(
      run_as(nobody, {"ln", "-s", "../victim", "shared/evil"}, dir).exit_status,
      0);
  const test::RunResult by_varnel =
      test::run_binary({"0", "in.fls", "shared/evil/x.hy"}, dir.path);
  EXPECT_EQ(by_varnel.out, refused("shared/evil/x.hy"));
  const test::RunResult by_check = test::run_program(
      VARNEL_CHECK_BINARY, {"-o", "shared/evil/x.fls", "rec.hy"}, dir.path);
  EXPECT_EQ(by_check.exit_status, 2);
  EXPECT_EQ(by_check.err,
            "varnel-check: cannot create \"shared/evil/x.fls\": Permission "
            "denied\n");
  EXPECT_EQ(test::names_in(dir / "victim"), std::vector<std::string>{});

  fs::create_directory_symlink("../victim", dir / "shared/mine");
  EXPECT_EQ(test::run_binary({"0", "in.fls", "shared/mine/x.hy"}, dir.path).out,
            written("shared/mine/x.hy"));
  EXPECT_EQ(test::read_file(dir / "victim/x.hy"), kRecords);
#endif
}

#if !defined(_WIN32)

// Runs `program` with `args` through the shell, its streams as `script`
// sets them up ("exec \"$@\" 3<> d.fls").
test::RunResult run_in_shell(const std::string& program,
                             const std::vector<std::string>& args,
                             const std::string& script,
                             const test::ScratchDir& dir) {
  std::vector<std::string> words = {"-c", script, "sh"};
  for (const std::string& word : test::binary_words(program)) {
    words.push_back(word);
  }
  words.insert(words.end(), args.begin(), args.end());
  return test::run_program("/bin/sh", words, dir.path);
}

#endif

// A file reached through a descriptor (/dev/fd/3 with 3<> in a shell) is
// written as it stands, from where the descriptor stands, and cut at the end
// of what was written; and only where what it holds from there is of the
// kind the command replaces. A dump opened read and write is refused, not
// written over with its tail left behind; a longer record file is cut to
// the new one.
TEST(Destination, FilesReachedThroughDescriptors) {
  VARNEL_SKIP_ON_WINDOWS("/dev/fd is POSIX");
#if !defined(_WIN32)
  const test::ScratchDir dir;
  ASSERT_NO_FATAL_FAILURE(test::make_records("0", 1, "rec.hy", dir));
  test::write_file(dir / "in.fls", kImage);
  const Bytes dump(65536, 0x5A);
  const Bytes three_records =
      test::concat({test::zero_record_file(), test::zero_record_file(),
                    test::zero_record_file()});
  const struct {
    std::string why;
    std::string program;
    std::vector<std::string> args;
    Bytes before;
    Bytes after;
    std::string out;
    std::string err;
  } cases[] = {
      {"varnel to a dump",
       VARNEL_BINARY,
       {"0", "in.fls", "/dev/fd/3"},
       dump,
       dump,
       refused("/dev/fd/3"),
       ""},
      {"varnel to a longer record file",
       VARNEL_BINARY,
       {"0", "in.fls", "/dev/fd/3"},
       three_records,
       kRecords,
       written("/dev/fd/3"),
       ""},
      {"varnel-check to a record file",
       VARNEL_CHECK_BINARY,
       {"-q", "-o", "/dev/fd/3", "rec.hy"},
       three_records,
       three_records,
       "",
       "varnel-check: \"/dev/fd/3\" is a record file: not replaced (remove "
       "it first to replace it)\n"},
      {"varnel-check to a longer image",
       VARNEL_CHECK_BINARY,
       {"-q", "-o", "/dev/fd/3", "rec.hy"},
       dump,
       test::numbered_image(1),
       "",
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    test::write_file(dir / "d", c.before);
    const test::RunResult run =
        run_in_shell(c.program, c.args, "exec \"$@\" 3<> d", dir);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
    EXPECT_TRUE(test::read_file(dir / "d") == c.after);
  }
#endif
}

// /proc/PID/fd/N names another process's descriptor N, not this one's: the
// shell's 5 (A.hy) is written, not the program's own 5 (B.hy), though both
// have the number.
TEST(Destination, AnotherProcesssDescriptor) {
  VARNEL_SKIP_ON_WINDOWS("/proc is Linux's");
#if !defined(_WIN32)
  const test::ScratchDir dir;
  test::write_file(dir / "in.fls", kImage);
  // The shell keeps its 5 while the program runs with a 5 of its own (the
  // program runs apart, so that the shell is not the program).
  const test::RunResult run = run_in_shell(
      VARNEL_BINARY, {"0", "in.fls"},
      "exec 5> A.hy; \"$@\" \"/proc/$$/fd/5\" 5> B.hy & wait $!", dir);
  EXPECT_EQ(run.out.rfind(banner_then(""), 0), 0U) << run.out;
  EXPECT_NE(run.out.find("Output written to"), std::string::npos) << run.out;
  EXPECT_EQ(test::read_file(dir / "A.hy"), kRecords);
  EXPECT_EQ(test::read_file(dir / "B.hy"), Bytes{});
#endif
}

// Standard error carries varnel-check's diagnostics, as standard output its
// report: neither takes the image, whatever file it is.
TEST(Destination, StandardErrorTakesNoImage) {
  VARNEL_SKIP_ON_WINDOWS("/dev/stderr is POSIX");
#if !defined(_WIN32)
  const test::ScratchDir dir;
  test::write_file(dir / "in.fls", kImage);
  ASSERT_NO_FATAL_FAILURE(test::make_records("0", 1, "rec.hy", dir));
  const test::RunResult run =
      run_in_shell(VARNEL_CHECK_BINARY, {"-q", "-o", "/dev/stderr", "rec.hy"},
                   "exec \"$@\" 2> errlog", dir);
  EXPECT_EQ(run.exit_status, 2);
  const std::string message =
      "varnel-check: \"/dev/stderr\" is where the report goes\n";
  EXPECT_EQ(test::read_file(dir / "errlog"),
            Bytes(message.begin(), message.end()));
#endif
}

// A file that is refused was only read, never opened for writing: a folder
// watcher sees no "closed after writing" (inotify's IN_CLOSE_WRITE), and the
// kernel's own rules for files opened to write cannot come into it.
TEST(Destination, RefusedFileIsNeverOpenedToWrite) {
  VARNEL_SKIP_ON_WINDOWS("inotify is Linux's");
#if !defined(_WIN32)
  const test::ScratchDir dir;
  test::write_file(dir / "in.fls", kImage);
  ASSERT_NO_FATAL_FAILURE(test::make_records("0", 1, "rec.hy", dir));
  test::write_file(dir / "in.fls", kImage);
  const Bytes dump(16384, 0x5A);
  test::write_file(dir / "dump.fls", dump);
  test::write_file(dir / "records.hy", kRecords);
  for (const auto& [program, args] :
       std::vector<std::pair<std::string, std::vector<std::string>>>{
           {VARNEL_BINARY, {"0", "in.fls", "dump.fls"}},
           {VARNEL_CHECK_BINARY, {"-o", "records.hy", "rec.hy"}}}) {
    SCOPED_TRACE(program);
    const std::string refused_name = args[program == VARNEL_BINARY ? 2 : 1];
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(
        ::inotify_add_watch(watch, (dir / refused_name).c_str(),
                            IN_CLOSE_WRITE | IN_CLOSE_NOWRITE | IN_MODIFY),
        0);
    const test::RunResult run = test::run_program(program, args, dir.path);
    EXPECT_TRUE(run.out.find("Cannot create") != std::string::npos ||
                run.err.find("not replaced") != std::string::npos)
        << run.out << run.err;
    std::uint32_t seen = 0;
    alignas(inotify_event) char buffer[4096];
    for (ssize_t got = 0; (got = ::read(watch, buffer, sizeof buffer)) > 0;) {
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        seen |= event->mask;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    ::close(watch);
    EXPECT_NE(seen & IN_CLOSE_NOWRITE, 0U) << "it was not even read";
    EXPECT_EQ(seen & (IN_CLOSE_WRITE | IN_MODIFY), 0U)
        << "it was opened to write";
  }
  EXPECT_EQ(test::read_file(dir / "dump.fls"), dump);
#endif
}

// The name given is the way to the file: a relative one is followed from the
// current folder, never turned into the full path, which may pass through
// folders this user cannot enter. nobody works in a folder of their own
// inside one of root's that only root may enter (entered before the user
// changed, as by su or a service manager): a new file, a file replaced
// through a link and a restored image all reach their names.
TEST(Destination, ReachedFromTheCurrentFolder) {
  VARNEL_SKIP_ON_WINDOWS("folders that cannot be passed through are POSIX");
#if !defined(_WIN32)
  std::string skip;
  const std::vector<std::string> nobody = as_nobody(skip);
  if (nobody.empty()) {
    GTEST_SKIP() << skip;
  }
  const passwd* user = ::getpwnam("nobody");
  ASSERT_NE(user, nullptr);
  const test::ScratchDir dir;
  VARNEL_SKIP_WITHOUT_PROGRAMS_IN(dir);
  const fs::path own = dir / "locked" / "own";
  fs::create_directories(own);
  test::write_file(own / "in.fls", kImage);
  test::write_file(own / "out.hy", test::zero_record_file());
  test::write_file(own / "image.fls", {'o', 'l', 'd'});
  fs::create_symlink("out.hy", own / "link.hy");
  for (const char* name : {"", "in.fls", "out.hy", "image.fls"}) {
    ASSERT_EQ(::chown((own / name).c_str(), user->pw_uid, user->pw_gid), 0);
  }
  ASSERT_EQ(::lchown((own / "link.hy").c_str(), user->pw_uid, user->pw_gid), 0);
  ASSERT_EQ(::chmod((dir / "locked").c_str(), 0700), 0);
  const auto run = [&](const std::string& program,
                       const std::vector<std::string>& args) {
    const fs::path copy = own / fs::path(program).filename();
    fs::copy_file(program, copy, fs::copy_options::overwrite_existing);
    EXPECT_EQ(::chmod(copy.c_str(), 0755), 0);
    std::vector<std::string> words(nobody.begin() + 1, nobody.end());
    for (const std::string& word :
         test::binary_words("./" + copy.filename().string())) {
      words.push_back(word);
    }
    words.insert(words.end(), args.begin(), args.end());
    return test::run_program(nobody.front(), words, own);
  };

  EXPECT_EQ(run(VARNEL_BINARY, {"0", "in.fls", "new.hy"}).out,
            written("new.hy"));
  EXPECT_EQ(test::read_file(own / "new.hy"), kRecords);
  EXPECT_EQ(run(VARNEL_BINARY, {"0", "in.fls", "link.hy"}).out,
            written("link.hy"));
  EXPECT_EQ(test::read_file(own / "out.hy"), kRecords);
  EXPECT_TRUE(fs::is_symlink(own / "link.hy"));
  const test::RunResult restored =
      run(VARNEL_CHECK_BINARY, {"-o", "image.fls", "out.hy"});
  EXPECT_EQ(restored.exit_status, 0) << restored.err;
  EXPECT_EQ(test::read_file(own / "image.fls"), kImage);
  EXPECT_EQ(test::names_in(own), (std::vector<std::string>{
                                     "image.fls", "in.fls", "link.hy", "new.hy",
                                     "out.hy", "varnel", "varnel-check"}));
  ASSERT_EQ(::chmod((dir / "locked").c_str(), 0755), 0);  // to clean it up
#endif
}

}  // namespace
}  // namespace varnel
