// A reader gone from a pipe, on POSIX systems: SIGPIPE tells it.
#include "console/closed_pipe.h"

namespace varnel {

bool reader_gone(std::FILE* /*stream*/) { return false; }

}  // namespace varnel
