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

bool same_file(const char* a, const char* b) {
  // A destination that does not exist yet cannot be the source; that and any
  // other failed look-up is no identity.
  const std::optional<FileIdentity> first =
      identity_of_path(path_from_argument(a));
  return first && first == identity_of_path(path_from_argument(b));
}

bool same_file_as_standard_input(const char* name) {
  const std::optional<FileIdentity> input = standard_input_identity();
  return input && input == identity_of_path(path_from_argument(name));
}

}  // namespace varnel
