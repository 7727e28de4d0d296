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

}  // namespace varnel
