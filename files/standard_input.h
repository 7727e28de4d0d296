// Standard input as a file of bytes, for a record file that comes through a
// pipe.
#pragma once

#include <cstdio>

namespace varnel {

// Standard input, read byte for byte: on Windows it is switched out of the
// text mode that would fold CR LF and stop at 0x1A. Null when that fails.
[[nodiscard]] std::FILE* binary_standard_input();

}  // namespace varnel
