#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <string>
#include <vector>

#include "files/argument_path.h"
#include "files/destination.h"
#include "files/system_posix.h"

namespace varnel {

namespace fs = std::filesystem;

namespace {

// As many as the system itself follows before it gives up (ELOOP).
constexpr int kMaxLinks = 40;
// Opens nothing: only a place to look at, and to start from.
constexpr int kLook = O_PATH | O_NOFOLLOW | O_CLOEXEC;

DestinationFound unusable(DestinationFound found, std::error_code error) {
  found.kind = Destination::unusable;
  found.error = error;
  return found;
}

// The steps of `path`, the first last (the next is taken from the back). A
// path that ends in a separator must lead to a folder: "." stands for it.
void add_steps(const std::string& path, std::vector<std::string>& left) {
  std::vector<std::string> steps;
  for (std::size_t at = 0; at < path.size();) {
    const std::size_t end = std::min(path.find('/', at), path.size());
    if (end > at) {
      steps.push_back(path.substr(at, end - at));
    }
    at = end + 1;
  }
  if (!path.empty() && path.back() == '/') {
    steps.emplace_back(".");
  }
  left.insert(left.end(), steps.rbegin(), steps.rend());
}

// A folder that every user may write to and only owners delete from, as
// /tmp is.
bool is_shared(const struct stat& folder) {
  constexpr mode_t kShared = S_ISVTX | S_IWOTH;
  return (folder.st_mode & kShared) == kShared;
}

// Linux's protected_symlinks, protected_regular and protected_fifos: in a
// shared folder, another user's link could lead anywhere this user may
// write, and another user's file or FIFO is theirs to read. Only what is
// this user's or the folder owner's is used there.
bool is_protected(const struct stat& folder, const struct stat& entry) {
  return is_shared(folder) && entry.st_uid != ::geteuid() &&
         entry.st_uid != folder.st_uid;
}

// The descriptor of this process that the system's link `name` stands for,
// which is open on `target`: named by its number, and the very file it has
// open. -1 when it is none of this process's.
int own_descriptor(const std::string& name, const FileIdentity& target) {
  int number = -1;
  const char* end = name.data() + name.size();
  const auto [stop, problem] = std::from_chars(name.data(), end, number);
  if (problem != std::errc{} || stop != end || number < 0) {
    return -1;
  }
  struct stat own {};
  if (::fstat(number, &own) != 0) {
    return -1;
  }
  return identity_from(own) == target ? number : -1;
}

// What one of the system's links, `name` in `folder`, stands for: an open
// file, reached by following it.
DestinationFound through_descriptor(DestinationFound found, int folder,
                                    const std::string& name) {
  Descriptor target = open_path(folder, name.c_str(), O_PATH | O_CLOEXEC);
  struct stat status {};
  if (!target || !stat_of(target, status)) {
    return unusable(std::move(found), errno_error());
  }
  found.identity = identity_from(status);
  found.size = static_cast<std::uint64_t>(status.st_size);
  found.descriptor_is_file = S_ISREG(status.st_mode);
  found.block_device = S_ISBLK(status.st_mode);
  found.descriptor = own_descriptor(name, found.identity);
  if (S_ISDIR(status.st_mode)) {
    found.kind = Destination::directory;
    return found;
  }
  if (found.descriptor >= 0) {
    const int flags = ::fcntl(found.descriptor, F_GETFL);
    if (flags == -1) {
      return unusable(std::move(found), errno_error());
    }
    if ((flags & O_ACCMODE) == O_RDONLY) {
      return unusable(std::move(found),
                      std::make_error_code(std::errc::bad_file_descriptor));
    }
  } else {
    found.held = std::move(target);
  }
  found.kind = Destination::descriptor;
  return found;
}

// What is at `name` in `folder` (`status` its own), not a link or folder.
DestinationFound the_file(DestinationFound found, Descriptor folder,
                          const std::string& name, Descriptor at,
                          const struct stat& status) {
  struct stat holder {};
  if (!stat_of(folder, holder)) {
    return unusable(std::move(found), errno_error());
  }
  found.identity = identity_from(status);
  found.size = static_cast<std::uint64_t>(status.st_size);
  found.place = Place{std::move(folder), name};
  if (!S_ISREG(status.st_mode)) {
    if (S_ISFIFO(status.st_mode) && is_protected(holder, status)) {
      return unusable(std::move(found),
                      std::make_error_code(std::errc::permission_denied));
    }
    found.kind = Destination::other;
    found.block_device = S_ISBLK(status.st_mode);
    found.held = std::move(at);
    return found;
  }
  if (status.st_nlink == 0) {
    // Open somewhere, but removed: nothing has its name.
    return unusable(std::move(found),
                    std::make_error_code(std::errc::no_such_file_or_directory));
  }
  if (is_protected(holder, status)) {
    return unusable(std::move(found),
                    std::make_error_code(std::errc::permission_denied));
  }
  // In a folder that only owners delete from, another user's file that this
  // user may write cannot be renamed over.
  const uid_t user = ::geteuid();
  if ((holder.st_mode & S_ISVTX) != 0 && user != 0 && status.st_uid != user &&
      holder.st_uid != user) {
    return unusable(std::move(found),
                    std::make_error_code(std::errc::operation_not_permitted));
  }
  if (const std::error_code why = mount_point_error(file_number(at))) {
    return unusable(std::move(found), why);
  }
  // Read-only, never waiting, and never through a link: whatever has taken
  // the name since is not the file looked at, and is left.
  found.held =
      open_path(file_number(found.place.folder), name.c_str(),
                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (!found.held) {
    return unusable(std::move(found), errno_error());
  }
  const std::optional<FileIdentity> opened = identity_of(found.held);
  if (opened != found.identity) {
    return unusable(
        std::move(found),
        opened ? std::make_error_code(std::errc::resource_unavailable_try_again)
               : errno_error());
  }
  found.kind = Destination::regular_file;
  return found;
}

// A walk along a path, step by step.
struct Walk {
  Descriptor folder;              // where it stands
  std::vector<std::string> left;  // the steps still to take, the next last
  int links = 0;                  // links followed so far
  // A link read at the last step leads to where the file is, or would be.
  bool last_was_link = false;
};

// Follows the link `at` (`status` its own), `step` in the walk's folder and
// its last step when `last`: the steps it leads to come next. True when
// that ends the walk, with `found` the answer: a link refused, one that
// cannot be read, or one of the system's that names an open file.
bool followed_to_the_end(Walk& walk, DestinationFound& found,
                         const std::string& step, const Descriptor& at,
                         const struct stat& status, bool last) {
  struct stat holder {};
  std::error_code why;
  if (!stat_of(walk.folder, holder)) {
    why = errno_error();
  } else if (++walk.links > kMaxLinks) {
    why = std::make_error_code(std::errc::too_many_symbolic_link_levels);
  } else if (is_protected(holder, status)) {
    why = std::make_error_code(std::errc::permission_denied);
  } else if (is_process_folder(file_number(walk.folder))) {
    if (last) {
      found =
          through_descriptor(std::move(found), file_number(walk.folder), step);
      return true;
    }
    walk.folder = open_path(file_number(walk.folder), step.c_str(),
                            O_PATH | O_DIRECTORY | O_CLOEXEC);
    return false;
  } else {
    std::array<char, 4096> text{};
    const ssize_t length =
        ::readlinkat(file_number(at), "", text.data(), text.size());
    if (length > 0 && static_cast<std::size_t>(length) < text.size()) {
      const std::string to(text.data(), static_cast<std::size_t>(length));
      walk.last_was_link = last;
      add_steps(to, walk.left);
      if (to.front() == '/') {
        walk.folder =
            open_path(AT_FDCWD, "/", O_PATH | O_DIRECTORY | O_CLOEXEC);
      }
      return false;
    }
    why = length < 0 ? errno_error()
                     : std::make_error_code(std::errc::filename_too_long);
  }
  found = unusable(std::move(found), why);
  return true;
}

}  // namespace

DestinationFound find_destination(const char* name) {
  DestinationFound found;
  const std::string path = path_from_argument(name).native();
  if (path.empty()) {
    return unusable(std::move(found),
                    std::make_error_code(std::errc::no_such_file_or_directory));
  }
  Walk walk;
  add_steps(path, walk.left);
  walk.folder = open_path(AT_FDCWD, path.front() == '/' ? "/" : ".",
                          O_PATH | O_DIRECTORY | O_CLOEXEC);
  while (walk.folder) {
    if (walk.left.empty()) {
      found.kind = Destination::directory;
      return found;
    }
    const std::string step = walk.left.back();
    walk.left.pop_back();
    const bool last = walk.left.empty();
    if (step == ".") {
      continue;
    }
    Descriptor at = open_path(file_number(walk.folder), step.c_str(), kLook);
    struct stat status {};
    if (!at && errno == ENOENT && last) {
      found.kind = walk.last_was_link ? Destination::dangling_link
                                      : Destination::nothing;
      found.place = Place{std::move(walk.folder), step};
      return found;
    }
    if (!at || !stat_of(at, status)) {
      break;
    }
    if (S_ISDIR(status.st_mode)) {
      walk.folder = std::move(at);
    } else if (!S_ISLNK(status.st_mode)) {
      if (!last) {
        return unusable(std::move(found),
                        std::make_error_code(std::errc::not_a_directory));
      }
      return the_file(std::move(found), std::move(walk.folder), step,
                      std::move(at), status);
    } else if (followed_to_the_end(walk, found, step, at, status, last)) {
      return found;
    }
  }
  return unusable(std::move(found), errno_error());
}

}  // namespace varnel
