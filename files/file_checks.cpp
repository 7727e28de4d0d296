#include "files/file_checks.h"

#include <filesystem>
#include <optional>
#include <system_error>

#include "files/argument_path.h"
#include "files/system.h"

namespace varnel {

namespace fs = std::filesystem;

bool is_directory(const char* name) {
  std::error_code error;
  return fs::is_directory(path_from_argument(name), error);
}

namespace {

// A file as the system tells it, and for a loop device the file behind it.
struct Seen {
  std::optional<FileIdentity> itself;
  std::optional<FileIdentity> behind;
};

Seen seen_at(const char* name) {
  const fs::path path = path_from_argument(name);
  return {identity_of_path(path), file_behind_path(path)};
}

// Whether writing to one changes the other: one file, a loop device and the
// file behind it, or two loop devices over one file. A destination that does
// not exist yet cannot be the source; that and any other failed look-up is
// no identity.
bool one_file(const Seen& a, const Seen& b) {
  const auto same = [](const std::optional<FileIdentity>& x,
                       const std::optional<FileIdentity>& y) {
    return x && x == y;
  };
  return same(a.itself, b.itself) || same(a.itself, b.behind) ||
         same(a.behind, b.itself) || same(a.behind, b.behind);
}

}  // namespace

bool same_file(const char* a, const char* b) {
  return one_file(seen_at(a), seen_at(b));
}

bool same_file_as_standard_input(const char* name) {
  return one_file({standard_input_identity(), file_behind_standard_input()},
                  seen_at(name));
}

}  // namespace varnel
