#include "console/console_output.h"

#include <cstdarg>
#include <string>

namespace varnel {

// C's variadic arguments, so that the compiler checks each format against its
// arguments as it does printf's.
// NOLINTNEXTLINE(cert-dcl50-cpp)
bool print_text(std::FILE* stream, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::va_list again;
  va_copy(again, args);
  const int size = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text;
  if (size >= 0) {
    text.resize(static_cast<std::size_t>(size));
    // Into the string's own terminating null.
    if (std::vsnprintf(text.data(), text.size() + 1, format, again) != size) {
      va_end(again);
      return false;
    }
  }
  va_end(again);
  return size >= 0 && write_text(stream, text);
}

}  // namespace varnel
