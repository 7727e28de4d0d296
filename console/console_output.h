// Text for people, on standard output or standard error. A Windows console
// shows every script only when it is given wide text, whatever its code page;
// everything else, a terminal elsewhere, a file or a pipe, gets the bytes.
#pragma once

#include <cstdio>
#include <string_view>

namespace varnel {

// Writes `utf8` to `stream`. On a Windows console the stream is flushed first,
// so that nothing written before is overtaken, and the text goes to the
// console at once as wide characters, each "\n" as "\r\n" as the text stream
// would write it. Everywhere else the bytes go through the stream as fwrite
// puts them, buffered as the stream is: a failure may then only show at the
// next fflush or fclose. False when the text could not be written.
[[nodiscard]] bool write_text(std::FILE* stream, std::string_view utf8);

// printf's format and arguments, written by write_text. False when the text
// cannot be made or written.
// (VARNEL_PRINTF_FORMAT is the printf that the build's C library has.)
[[nodiscard]] bool print_text(std::FILE* stream, const char* format, ...)
    __attribute__((format(VARNEL_PRINTF_FORMAT, 2, 3)));

}  // namespace varnel
