// Whether a stream is a terminal someone is looking at, and how wide it is.
#pragma once

#include <cstddef>
#include <cstdio>

namespace varnel {

// Whether `stream` writes to a terminal (a console on Windows), rather than
// to a file, a pipe or a device such as /dev/null or NUL.
[[nodiscard]] bool is_terminal(std::FILE* stream);

// Whether both streams write to one terminal, where lines of the one end up
// among lines of the other: the same terminal device, or on Windows the
// console, which a process has only one of.
[[nodiscard]] bool same_terminal(std::FILE* a, std::FILE* b);

// The width of the terminal `stream` writes to, in columns, as it is now
// (the window of a Windows console); 0 when it cannot be told.
[[nodiscard]] std::size_t terminal_columns(std::FILE* stream);

}  // namespace varnel
