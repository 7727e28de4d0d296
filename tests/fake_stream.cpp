#include "tests/fake_stream.h"

#include <stdexcept>

#if defined(__GLIBC__)
#include <sys/types.h>

#include <algorithm>
#include <cstring>
#endif

namespace varnel::test {

#if defined(__GLIBC__)

namespace {

// Counts the call against the file's plan and says whether it fails. A read
// at the end of the data (`can_come_short` false) has nothing to cut short.
bool must_fail(FakeFile& file, Op op, bool can_come_short = true) {
  FaultPlan* const plan = file.plan;
  if (plan == nullptr || (plan->only && *plan->only != op)) {
    return false;
  }
  const int call = ++plan->calls;
  const bool hit =
      plan->fail_at > 0 &&
      (plan->persists ? call >= plan->fail_at : call == plan->fail_at);
  const bool moves_bytes = op == Op::read || op == Op::write;
  if (!hit || (plan->short_count && (!moves_bytes || !can_come_short))) {
    return false;
  }
  if (!plan->failed_op) {
    plan->failed_op = op;
    plan->failed_file = file.name;
  }
  return true;
}

ssize_t fake_read(void* cookie, char* buffer, size_t size) {
  auto& file = *static_cast<FakeFile*>(cookie);
  std::size_t count = std::min(size, file.data.size() - file.position);
  if (must_fail(file, Op::read, count > 0)) {
    if (!file.plan->short_count) {
      return -1;
    }
    // The file shrinks under the reader: half of this read, then its end.
    count /= 2;
    file.data.resize(file.position + count);
  }
  if (count > 0) {  // an empty file's data may be no memory at all
    std::memcpy(buffer, file.data.data() + file.position, count);
  }
  file.position += count;
  return static_cast<ssize_t>(count);
}

ssize_t fake_write(void* cookie, const char* buffer, size_t size) {
  auto& file = *static_cast<FakeFile*>(cookie);
  std::size_t count = size;
  if (must_fail(file, Op::write)) {
    if (!file.plan->short_count) {
      return 0;  // how a cookie writer reports an error
    }
    count /= 2;
  }
  file.data.resize(std::max(file.data.size(), file.position + count));
  if (count > 0) {
    std::memcpy(file.data.data() + file.position, buffer, count);
  }
  file.position += count;
  return static_cast<ssize_t>(count);
}

int fake_seek(void* cookie, off64_t* offset, int whence) {
  auto& file = *static_cast<FakeFile*>(cookie);
  if (must_fail(file, Op::seek)) {
    return -1;
  }
  const auto base =
      static_cast<off64_t>(whence == SEEK_SET   ? 0
                           : whence == SEEK_CUR ? file.position
                                                : file.data.size());
  file.position = static_cast<std::size_t>(base + *offset);
  *offset = static_cast<off64_t>(file.position);
  return 0;
}

int fake_close(void* cookie) {
  auto& file = *static_cast<FakeFile*>(cookie);
  file.closed = true;
  return must_fail(file, Op::close) ? EOF : 0;
}

}  // namespace

std::FILE* open_fake(FakeFile& file, const char* mode) {
  const cookie_io_functions_t functions{fake_read, fake_write, fake_seek,
                                        fake_close};
  std::FILE* stream = ::fopencookie(&file, mode, functions);
  if (stream == nullptr) {
    throw std::runtime_error("fopencookie failed");
  }
  return stream;
}

#else

// The tests that use these streams are skipped where there is no glibc.
std::FILE* open_fake(FakeFile&, const char*) {
  throw std::runtime_error("in-memory streams need glibc's fopencookie");
}

#endif

}  // namespace varnel::test
