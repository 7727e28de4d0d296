// What the file system of a scratch folder allows, for the tests that need
// more than files: programs run from it, devices opened through nodes made
// in it, room, files without a name. TMPDIR may be on any file system (a
// tmpfs, a disk mounted noexec or nodev, FUSE), and a test that needs such
// a property skips, saying why, where it is missing.
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "tests/test_support.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>
#endif

namespace varnel::test {

namespace fs = std::filesystem;

namespace {

// "(TMPDIR is /x)", or "(no TMPDIR)": where the scratch folders come from.
std::string where_scratch_folders_are() {
  const char* tmpdir = std::getenv("TMPDIR");
  return tmpdir != nullptr ? "(TMPDIR is " + std::string(tmpdir) + ")"
                           : "(no TMPDIR)";
}

// Whether the file system of `dir` is mounted with the flag `flag` of
// statvfs (ST_NOEXEC, ST_NODEV); false where that cannot be told.
[[maybe_unused]] bool mounted_with(const fs::path& dir, unsigned long flag) {
#if defined(_WIN32)
  (void)dir;
  (void)flag;
  return false;
#else
  struct statvfs status {};
  return ::statvfs(dir.c_str(), &status) == 0 && (status.f_flag & flag) != 0;
#endif
}

}  // namespace

std::optional<std::string> no_programs_in(const ScratchDir& dir) {
#if !defined(_WIN32)
  // An emulator reads the program as a file, which noexec allows.
  if (!under_emulator() && mounted_with(dir.path, ST_NOEXEC)) {
    return "the scratch folder's file system is mounted noexec " +
           where_scratch_folders_are() +
           ": a program copied there for another user cannot run";
  }
#else
  (void)dir;
#endif
  return std::nullopt;
}

std::optional<std::string> no_devices_in(const ScratchDir& dir) {
#if !defined(_WIN32)
  if (mounted_with(dir.path, ST_NODEV)) {
    return "the scratch folder's file system is mounted nodev " +
           where_scratch_folders_are() +
           ": no device opens through a node made there";
  }
#else
  (void)dir;
#endif
  return std::nullopt;
}

std::optional<std::string> no_room_in(const ScratchDir& dir,
                                      std::uintmax_t bytes,
                                      std::string_view needed_for) {
  std::error_code error;
  const fs::space_info space = fs::space(dir.path, error);
  if (error || space.available >= bytes) {
    return std::nullopt;
  }
  constexpr std::uintmax_t kMiB = 1024 * 1024;
  return std::string(needed_for) + " takes " + std::to_string(bytes / kMiB) +
         " MiB, and the scratch folder's file system has " +
         std::to_string(space.available / kMiB) + " MiB free " +
         where_scratch_folders_are();
}

bool makes_unnamed_files(const ScratchDir& dir) {
#if defined(O_TMPFILE)
  const int fd = ::open(dir.path.c_str(), O_TMPFILE | O_WRONLY, 0600);
  if (fd < 0) {
    return false;
  }
  ::close(fd);
  return true;
#else
  (void)dir;
  return false;
#endif
}

std::string preload_path(const std::string& library) {
  const auto unsplit = [](const std::string& path) {
    return path.find_first_of(" \t\n:") == std::string::npos;
  };
  if (unsplit(library)) {
    return library;
  }
  // A link for the whole test program, its folder removed at its end: the
  // library itself stays where it is, on a file system that lets it run.
  static const ScratchDir folder;
  const fs::path link = folder.path / fs::path(library).filename();
  const std::string path = utf8_name(link);
  if (!unsplit(path)) {
    throw std::runtime_error(
        "LD_PRELOAD cannot name " + library + ", nor a link to it at " + path +
        ": each path holds a blank or a colon; set TMPDIR to a folder whose "
        "path holds neither");
  }
  if (!fs::is_symlink(link)) {
    fs::create_symlink(fs::absolute(library), link);
  }
  return path;
}

}  // namespace varnel::test
