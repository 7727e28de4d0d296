// A reader that quits early, as `varnel-check --list big.hy | head -3` does.
#pragma once

#include <cstdio>

namespace varnel {

// Whether writes to `stream` fail because it is a pipe whose reader has gone,
// where that is to end the program quietly, with its output thrown away:
// asked once a write to it has failed, and decided from that failure. On
// POSIX systems SIGPIPE does that on its own; a program that ignores it
// (`trap '' PIPE`) asked to be told, as of any failed write: false there.
// Windows has no such signal: there the program ends as quietly as SIGPIPE
// would end it elsewhere.
[[nodiscard]] bool reader_gone(std::FILE* stream);

}  // namespace varnel
