// Loaded with LD_PRELOAD into the real varnel binary, this fails its Nth file
// operation: every fopen, fseeko, ftello, fread, fwrite, fflush, fclose,
// lseek, readv and write on a file that the program opened (the console
// streams are left alone). The program is built with 64-bit file offsets, so
// its calls may reach the C library under their "64" names: both are caught,
// each with its own offset type (off_t is 32 bits on 32-bit systems, where
// this library is built without 64-bit offsets so that both names exist).
// Set by the environment:
//   VARNEL_FAIL_AT    N, from 1; 0 or unset fails nothing and only counts
//   VARNEL_FAIL_MODE  once (the default), persist (N and every later call),
//                     or short (a read or write at N moves half its bytes and
//                     reports that count, without an error)
//   VARNEL_SWEEP_LOG  file that receives, at exit, the number of operations
//                     and the first one that failed: "calls N\nfailed OP
//                     PATH\n"
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum class Mode { once, persist, short_count };

struct Opened {
  const FILE* stream;
  int fd;
  char path[512];
};

Opened opened[8];
int opened_count = 0;
long calls = 0;
long fail_at = 0;
Mode mode = Mode::once;
char first_failure[600] = "";

template <typename Function>
Function real(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

void configure() {
  static bool done = false;
  if (done) return;
  done = true;
  if (const char* at = std::getenv("VARNEL_FAIL_AT")) fail_at = std::atol(at);
  if (const char* m = std::getenv("VARNEL_FAIL_MODE")) {
    if (std::strcmp(m, "persist") == 0) mode = Mode::persist;
    if (std::strcmp(m, "short") == 0) mode = Mode::short_count;
  }
}

const char* path_of(const FILE* stream) {
  for (int i = 0; i < opened_count; ++i) {
    if (opened[i].stream == stream) return opened[i].path;
  }
  return nullptr;
}

const char* path_of(int fd) {
  for (int i = 0; i < opened_count; ++i) {
    if (opened[i].fd == fd && opened[i].stream != nullptr)
      return opened[i].path;
  }
  return nullptr;
}

// Counts one operation on a file the program opened (`path` is null for any
// other) and says whether it fails. `can_be_short`: a read or a write.
bool must_fail(const char* op, const char* path, bool can_be_short = false) {
  if (path == nullptr) return false;
  configure();
  ++calls;
  const bool hit = fail_at > 0 && (mode == Mode::persist ? calls >= fail_at
                                                         : calls == fail_at);
  if (!hit || (mode == Mode::short_count && !can_be_short)) return false;
  if (first_failure[0] == '\0') {
    std::snprintf(first_failure, sizeof first_failure, "%s %s", op, path);
  }
  errno = EIO;
  return true;
}

__attribute__((destructor)) void write_log() {
  const char* log = std::getenv("VARNEL_SWEEP_LOG");
  if (log == nullptr) return;
  char text[700];
  const int length =
      std::snprintf(text, sizeof text, "calls %ld\nfailed %s\n", calls,
                    first_failure[0] != '\0' ? first_failure : "nothing");
  const int fd = ::open(log, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return;
  const auto write_fn = real<ssize_t (*)(int, const void*, size_t)>("write");
  (void)write_fn(fd, text, static_cast<size_t>(length));
  ::close(fd);
}

// The interposed calls, each under every name it may be called by.
FILE* open_stream(const char* name, const char* path, const char* how) {
  if (must_fail("fopen", path)) return nullptr;
  FILE* stream = real<FILE* (*)(const char*, const char*)>(name)(path, how);
  if (stream != nullptr && opened_count < 8) {
    Opened& entry = opened[opened_count++];
    entry.stream = stream;
    entry.fd = ::fileno(stream);
    std::snprintf(entry.path, sizeof entry.path, "%s", path);
  }
  return stream;
}

template <typename Offset>
int seek_stream(const char* name, FILE* stream, Offset offset, int whence) {
  if (must_fail("fseek", path_of(stream))) return -1;
  return real<int (*)(FILE*, Offset, int)>(name)(stream, offset, whence);
}

template <typename Offset>
Offset tell_stream(const char* name, FILE* stream) {
  if (must_fail("ftell", path_of(stream))) return -1;
  return real<Offset (*)(FILE*)>(name)(stream);
}

template <typename Offset>
Offset seek_fd(const char* name, int fd, Offset offset, int whence) {
  if (must_fail("lseek", path_of(fd))) return -1;
  return real<Offset (*)(int, Offset, int)>(name)(fd, offset, whence);
}

}  // namespace

extern "C" {

FILE* fopen(const char* path, const char* how) {
  return open_stream("fopen", path, how);
}
FILE* fopen64(const char* path, const char* how) {
  return open_stream("fopen64", path, how);
}
int fseeko(FILE* stream, off_t offset, int whence) {
  return seek_stream("fseeko", stream, offset, whence);
}
int fseeko64(FILE* stream, off64_t offset, int whence) {
  return seek_stream("fseeko64", stream, offset, whence);
}
off_t ftello(FILE* stream) { return tell_stream<off_t>("ftello", stream); }
off64_t ftello64(FILE* stream) {
  return tell_stream<off64_t>("ftello64", stream);
}
off_t lseek(int fd, off_t offset, int whence) {
  return seek_fd("lseek", fd, offset, whence);
}
off64_t lseek64(int fd, off64_t offset, int whence) {
  return seek_fd("lseek64", fd, offset, whence);
}

size_t fread(void* buffer, size_t size, size_t count, FILE* stream) {
  if (must_fail("fread", path_of(stream), true)) {
    if (mode != Mode::short_count) return 0;
    count /= 2;
  }
  return real<size_t (*)(void*, size_t, size_t, FILE*)>("fread")(buffer, size,
                                                                 count, stream);
}

size_t fwrite(const void* buffer, size_t size, size_t count, FILE* stream) {
  if (must_fail("fwrite", path_of(stream), true)) {
    if (mode != Mode::short_count) return 0;
    count /= 2;
  }
  return real<size_t (*)(const void*, size_t, size_t, FILE*)>("fwrite")(
      buffer, size, count, stream);
}

int fflush(FILE* stream) {
  if (must_fail("fflush", path_of(stream))) return EOF;
  return real<int (*)(FILE*)>("fflush")(stream);
}

int fclose(FILE* stream) {
  const char* path = path_of(stream);
  const bool fail = must_fail("fclose", path);
  for (int i = 0; i < opened_count; ++i) {
    if (opened[i].stream == stream) opened[i].stream = nullptr;
  }
  // A failed close still releases the stream, as the real one does.
  const int result = real<int (*)(FILE*)>("fclose")(stream);
  return fail ? EOF : result;
}

ssize_t readv(int fd, const struct iovec* vectors, int count) {
  const auto real_readv =
      real<ssize_t (*)(int, const struct iovec*, int)>("readv");
  if (must_fail("readv", path_of(fd), true)) {
    if (mode != Mode::short_count) return -1;
    // Half of the first vector, and no more.
    struct iovec half = vectors[0];
    half.iov_len = half.iov_len / 2 > 0 ? half.iov_len / 2 : 1;
    return real_readv(fd, &half, 1);
  }
  return real_readv(fd, vectors, count);
}

ssize_t write(int fd, const void* buffer, size_t size) {
  const auto real_write = real<ssize_t (*)(int, const void*, size_t)>("write");
  if (must_fail("write", path_of(fd), true)) {
    if (mode != Mode::short_count) return -1;
    size = size / 2 > 0 ? size / 2 : 1;
  }
  return real_write(fd, buffer, size);
}

}  // extern "C"
