// Whether a stream is a terminal someone is looking at.
#pragma once

#include <cstdio>

namespace varnel {

// Whether `stream` writes to a terminal (a console on Windows), rather than
// to a file, a pipe or a device such as /dev/null or NUL.
[[nodiscard]] bool is_terminal(std::FILE* stream);

}  // namespace varnel
