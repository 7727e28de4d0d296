#include "files/file_checks.h"

#include <filesystem>
#include <system_error>

#include "files/argument_path.h"

namespace varnel {

namespace fs = std::filesystem;

bool is_directory(const char* name) {
  std::error_code error;
  return fs::is_directory(path_from_argument(name), error);
}

bool same_file(const char* a, const char* b) {
  // A destination that does not exist yet cannot be the source; that and any
  // other failed look-up comes back as false with `error` set.
  std::error_code error;
  return fs::equivalent(path_from_argument(a), path_from_argument(b), error);
}

void remove_incomplete_destination(const char* name) {
  std::error_code error;
  const fs::path target = fs::canonical(path_from_argument(name), error);
  if (error || !fs::is_regular_file(target, error)) {
    return;
  }
  // The failure has already been reported; if even the removal fails there is
  // nothing further the caller could do about it.
  fs::remove(target, error);
}

}  // namespace varnel
