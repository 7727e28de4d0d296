#include "files/standard_input.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

namespace varnel {

std::FILE* binary_standard_input() {
#if defined(_WIN32)
  if (::_setmode(::_fileno(stdin), _O_BINARY) == -1) {
    return nullptr;
  }
#endif
  return stdin;
}

}  // namespace varnel
