// In-memory stdio streams (glibc's fopencookie) whose operations can be made
// to fail on a chosen call, to reach the failures a real disk rarely shows.
#pragma once

#include <cstdio>

#include "tests/test_support.h"

namespace varnel::test {

enum class Op { read, write, seek, close };

struct FakeFile {
  Bytes data;
  std::size_t position = 0;
  bool closed = false;

  // Which call fails: the `fail_at`-th call (from 1) of kind `fail_op`.
  // 0 fails nothing.
  Op fail_op = Op::read;
  int fail_at = 0;
  // Keep failing every call of that kind after the first failure.
  bool fail_persists = false;
  // Instead of an error, a failing read finds the file cut short after half
  // the bytes it asked for (a source that shrank); a failing write moves half
  // its bytes and reports that count (a disk that filled).
  bool fail_short = false;

  int calls[4] = {0, 0, 0, 0};
};

// A stream over `file`; mode as for fopen ("rb" or "wb"). Not owned by the
// caller once handed to code that closes it.
std::FILE* open_fake(FakeFile& file, const char* mode);

}  // namespace varnel::test
