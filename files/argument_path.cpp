#include "files/argument_path.h"

#include <cstddef>
#include <string_view>
#include <type_traits>

#include "files/utf8.h"

namespace varnel {

namespace fs = std::filesystem;

bool is_utf8(std::u8string_view text) {
  std::string_view rest(reinterpret_cast<const char*>(text.data()),
                        text.size());
  while (!rest.empty()) {
    const std::size_t length = first_utf8_character(rest).length;
    if (length == 0) {
      return false;
    }
    rest.remove_prefix(length);
  }
  return true;
}

fs::path path_from_argument(const char* name) {
  const std::u8string_view utf8(reinterpret_cast<const char8_t*>(name));
  // Converting to the wide paths of Windows cannot take malformed UTF-8; on
  // POSIX systems the bytes are copied as they are.
  if constexpr (std::is_same_v<fs::path::value_type, wchar_t>) {
    if (!is_utf8(utf8)) {
      return {};
    }
  }
  return fs::path(utf8);
}

}  // namespace varnel
