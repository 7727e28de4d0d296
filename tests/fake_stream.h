// In-memory stdio streams (glibc's fopencookie) whose operations can be made
// to fail on a chosen call, to reach the failures a real disk rarely shows.
// Only glibc has them: elsewhere open_fake throws, and the tests skip.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "tests/test_support.h"

namespace varnel::test {

enum class Op { read, write, seek, close };

// Which call of the streams that share a plan fails, and how.
struct FaultPlan {
  // The `fail_at`-th counted call (from 1) fails; 0 fails nothing.
  int fail_at = 0;
  // Count only calls of this kind; calls of every kind when empty.
  std::optional<Op> only;
  // Keep failing every counted call after the first failure.
  bool persists = false;
  // Instead of an error, a failing read finds the file cut short after half
  // the bytes it asked for (a source that shrank); a failing write moves half
  // its bytes and reports that count (a disk that filled). Other calls at
  // that number go through.
  bool short_count = false;

  int calls = 0;                // counted so far
  std::optional<Op> failed_op;  // the first call that failed
  std::string failed_file;      // and the name of its file
};

struct FakeFile {
  Bytes data;
  std::string name;
  FaultPlan* plan = nullptr;  // nothing fails without one
  std::size_t position = 0;
  bool closed = false;
};

// A stream over `file`; mode as for fopen ("rb" or "wb"). Not owned by the
// caller once handed to code that closes it.
std::FILE* open_fake(FakeFile& file, const char* mode);

}  // namespace varnel::test
