// Text on POSIX systems: the bytes, whatever reads them.
#include "console/console_output.h"

namespace varnel {

bool write_text(std::FILE* stream, std::string_view utf8) {
  return std::fwrite(utf8.data(), 1, utf8.size(), stream) == utf8.size();
}

}  // namespace varnel
