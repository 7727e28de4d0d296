// Loaded with LD_PRELOAD into the real varnel binary, this fails its Nth file
// operation: every fopen, open, openat, fdopen, fseeko, ftello, fread, fwrite,
// fflush, fclose, lseek, readv, pread, write, writev, fstat, fstatat,
// faccessat, fsync, sync_file_range, ftruncate, fchmod, fchown, flistxattr,
// fgetxattr, fsetxattr and fremovexattr on a file that the program opened or
// in a folder it opened (the console streams are left alone), and every
// rename, renameat, renameat2, linkat and unlinkat. A file is called by the
// name it was opened by, from its folder's ("out.hy" in the folder "."); a
// copy of a descriptor, or the file opened anew through /proc/self/fd, by the
// name of the original. A file opened without a name (O_TMPFILE) is called
// "FOLDER/(unnamed)" until linkat names it. The program is built with 64-bit
// file offsets, so its calls may reach the C library under their "64" names:
// both are caught, each with its own offset type (off_t is 32 bits on 32-bit
// systems, where this library is built without 64-bit offsets so that both
// names exist). Set by the environment:
//   VARNEL_FAIL_AT    N, from 1; 0 or unset fails nothing and only counts
//   VARNEL_FAIL_MODE  once (the default), persist (N and every later call),
//                     short (a read or write at N moves half its bytes and
//                     reports that count, without an error), or signal (SIGINT
//                     is raised just before call N, which then goes through:
//                     an interruption at that moment)
//   VARNEL_FAIL_ERRNO the errno of a failed call (5, EIO, when unset)
//   VARNEL_FAIL_COUNT in mode once, how many calls in a row fail from N (1
//                     when unset): two taken names in a row, say
//   VARNEL_SWEEP_LOG  file that receives the number of operations, the first
//                     one that failed (or was signalled), the reads, writes
//                     and syncs of data made after the signal, the writes
//                     to a file after its sync (a write, an fwrite, or the
//                     buffered bytes an fclose writes out), and, when
//                     nothing is made to fail, every operation in order: "calls
//                     N\nfailed OP PATH\nafter K\nlate L\ntrace\nOP PATH\n...".
//                     Written at exit, and at each step after a signal, which
//                     may end the program.
//   VARNEL_REFUSE_ATTRIBUTE  extended attributes, separated by commas, that
//                     no fsetxattr may set, as on a file system that cannot
//                     hold them: the call fails with EOPNOTSUPP (counted like
//                     any other).
//   VARNEL_REFUSE_TMPFILE  when set, every open with O_TMPFILE fails with
//                     EOPNOTSUPP, as on a file system without files that
//                     have no name (vfat, NFS): not counted.
//   VARNEL_REFUSE_EXCHANGE  when set, every renameat2 with RENAME_EXCHANGE
//                     fails with EINVAL, as on a file system that cannot
//                     exchange two names: not counted.
//   VARNEL_RACE_AT, VARNEL_RACE_COMMAND  just before call N (counted as the
//                     others are), the command runs through the shell, and
//                     the program goes on once it has ended: whatever another
//                     process could do at that moment, such as putting a file
//                     in the output's place.
//   VARNEL_SIGNAL_WHEN_BLOCKED  when set, SIGINT is raised just before the
//                     first ppoll that would wait, at the worst moment for
//                     a program that tests for an interruption and then waits:
//                     a program that holds the signal back until the wait
//                     still sees it there.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum class Mode { once, persist, short_count, signal };

// A file the program opened, by a stream or a descriptor alone (a directory to
// sync, a file before fdopen gives it a stream).
struct Opened {
  const FILE* stream;
  int fd;
  bool open;
  bool directory;  // opened to sync its entries: no data of its own
  bool synced;     // its data was synced: nothing more should be written
  char path[512];
};

constexpr int kMaxOpened = 512;
Opened opened[kMaxOpened];
int opened_count = 0;
long calls = 0;
long fail_at = 0;
long fail_count = 1;
long race_at = 0;
long transfers_after = 0;  // reads and writes of data after the signal
long late_writes = 0;      // writes to a file after its sync
int fail_errno = EIO;
char trace[1 << 16] = "";
std::size_t trace_length = 0;
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
  if (const char* count = std::getenv("VARNEL_FAIL_COUNT")) {
    fail_count = std::atol(count);
  }
  if (const char* at = std::getenv("VARNEL_RACE_AT")) race_at = std::atol(at);
  if (const char* code = std::getenv("VARNEL_FAIL_ERRNO")) {
    fail_errno = std::atoi(code);
  }
  if (const char* m = std::getenv("VARNEL_FAIL_MODE")) {
    if (std::strcmp(m, "persist") == 0) mode = Mode::persist;
    if (std::strcmp(m, "short") == 0) mode = Mode::short_count;
    if (std::strcmp(m, "signal") == 0) mode = Mode::signal;
  }
}

// The newest entry first: descriptors are reused once closed.
const char* path_of(const FILE* stream) {
  for (int i = opened_count - 1; i >= 0; --i) {
    if (opened[i].open && opened[i].stream == stream) return opened[i].path;
  }
  return nullptr;
}

Opened* entry_of(int fd) {
  for (int i = opened_count - 1; i >= 0; --i) {
    if (opened[i].open && opened[i].fd == fd) return &opened[i];
  }
  return nullptr;
}

const char* path_of(int fd) {
  const Opened* entry = entry_of(fd);
  return entry != nullptr ? entry->path : nullptr;
}

void remember(const FILE* stream, int fd, const char* path,
              bool directory = false) {
  if (opened_count == kMaxOpened) return;
  Opened& entry = opened[opened_count++];
  entry.stream = stream;
  entry.fd = fd;
  entry.open = true;
  entry.directory = directory;
  entry.synced = false;
  std::snprintf(entry.path, sizeof entry.path, "%s", path);
}

void write_log() {
  const char* log = std::getenv("VARNEL_SWEEP_LOG");
  if (log == nullptr) return;
  char text[760];
  const int length = std::snprintf(
      text, sizeof text, "calls %ld\nfailed %s\nafter %ld\nlate %ld\ntrace\n",
      calls, first_failure[0] != '\0' ? first_failure : "nothing",
      transfers_after, late_writes);
  // The real calls: the log is no file of the program's.
  const int fd = real<int (*)(const char*, int, ...)>("open")(
      log, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return;
  const auto write_fn = real<ssize_t (*)(int, const void*, size_t)>("write");
  (void)write_fn(fd, text, static_cast<size_t>(length));
  (void)write_fn(fd, trace, trace_length);
  real<int (*)(int)>("close")(fd);
}

__attribute__((destructor)) void write_log_at_exit() { write_log(); }

// A copy `copy` of descriptor `fd` goes by the original's name.
void remember_copy(int fd, int copy) {
  const Opened* entry = entry_of(fd);
  if (entry == nullptr) return;
  char path[sizeof entry->path];
  std::memcpy(path, entry->path, sizeof path);
  remember(nullptr, copy, path, entry->directory);
}

// Runs VARNEL_RACE_COMMAND as another process would, at that very moment:
// without this library.
void run_race() {
  const char* command = std::getenv("VARNEL_RACE_COMMAND");
  if (command == nullptr) return;
  (void)::unsetenv("LD_PRELOAD");
  (void)std::system(command);
}

// Folder `folder` and `name` in it, as one name: "out.hy" in ".", not
// "./out.hy".
const char* joined(const char* folder, const char* name, char* into,
                   std::size_t size) {
  if (std::strcmp(name, ".") == 0) return folder;
  if (std::strcmp(folder, ".") == 0) return name;
  const std::size_t length = std::strlen(folder);
  const int written =
      std::snprintf(into, size, "%s%s%s", folder,
                    length > 0 && folder[length - 1] == '/' ? "" : "/", name);
  return written >= 0 ? into : nullptr;
}

// Counts one operation on a file the program opened (`path` is null for any
// other) and says whether it fails. `transfer`: a read or a write of data,
// which may come up short. `moves_data`: it reads, writes or syncs data, and
// counts as such after a signal.
bool must_fail(const char* op, const char* path, bool transfer = false,
               bool moves_data = false) {
  moves_data = moves_data || transfer;
  if (path == nullptr) return false;
  configure();
  ++calls;
  if (calls == race_at) run_race();
  if (fail_at == 0 && trace_length + 600 < sizeof trace) {
    trace_length += static_cast<std::size_t>(
        std::snprintf(trace + trace_length, sizeof trace - trace_length,
                      "%s %s\n", op, path));
  }
  if (mode == Mode::signal) {
    if (calls == fail_at) {
      std::snprintf(first_failure, sizeof first_failure, "%s %s", op, path);
      write_log();
      (void)std::raise(SIGINT);
    } else if (fail_at > 0 && calls > fail_at && moves_data) {
      ++transfers_after;
      write_log();
    }
    return false;
  }
  const bool hit =
      fail_at > 0 && calls >= fail_at &&
      (mode == Mode::persist || calls < fail_at + std::max(fail_count, 1L));
  if (!hit || (mode == Mode::short_count && !transfer)) return false;
  if (first_failure[0] == '\0') {
    std::snprintf(first_failure, sizeof first_failure, "%s %s", op, path);
  }
  errno = fail_errno;
  return true;
}

// Notes a write of data to the file of `entry` after its sync.
void note_write(const Opened* entry) {
  if (entry != nullptr && entry->synced) ++late_writes;
}

const Opened* entry_of_stream(const FILE* stream) {
  for (int i = opened_count - 1; i >= 0; --i) {
    if (opened[i].open && opened[i].stream == stream) return &opened[i];
  }
  return nullptr;
}

// A read or write that fails sets its stream's error indicator, as the real
// one does: glibc keeps it in the stream's flags.
void set_error_indicator(FILE* stream) { stream->_flags |= _IO_ERR_SEEN; }

// Whether VARNEL_REFUSE_ATTRIBUTE names the attribute `name`.
bool refused(const char* name) {
  const char* list = std::getenv("VARNEL_REFUSE_ATTRIBUTE");
  const std::size_t length = std::strlen(name);
  for (const char* each = list; each != nullptr && *each != '\0';) {
    const char* end = std::strchr(each, ',');
    const std::size_t size = end != nullptr
                                 ? static_cast<std::size_t>(end - each)
                                 : std::strlen(each);
    if (size == length && std::strncmp(each, name, length) == 0) return true;
    each = end != nullptr ? end + 1 : nullptr;
  }
  return false;
}

// The interposed calls, each under every name it may be called by.
FILE* open_stream(const char* name, const char* path, const char* how) {
  if (must_fail("fopen", path)) return nullptr;
  FILE* stream = real<FILE* (*)(const char*, const char*)>(name)(path, how);
  if (stream != nullptr) remember(stream, ::fileno(stream), path);
  return stream;
}

// The name the program's file `path` in the folder `folder` goes by (see
// above), into `label`; null for a file of no folder the program opened.
const char* label_at(int folder, const char* path, char* label,
                     std::size_t size) {
  const char prefix[] = "/proc/self/fd/";
  if (path == nullptr) return nullptr;
  if (std::strncmp(path, prefix, sizeof prefix - 1) == 0) {
    return path_of(std::atoi(path + sizeof prefix - 1));
  }
  if (path[0] == '/' || folder == AT_FDCWD) return path;
  const char* folder_path = path_of(folder);
  return folder_path != nullptr ? joined(folder_path, path, label, size)
                                : nullptr;
}

int open_fd(const char* name, int folder, const char* path, int flags,
            mode_t mode) {
  // A file without a name is opened on its folder, and O_TMPFILE holds the
  // bits of O_DIRECTORY.
  const bool unnamed = (flags & O_TMPFILE) == O_TMPFILE;
  if (unnamed && std::getenv("VARNEL_REFUSE_TMPFILE") != nullptr) {
    errno = EOPNOTSUPP;
    return -1;
  }
  char place[512];
  char label[512];
  const char* known_as = label_at(folder, path, place, sizeof place);
  if (unnamed && known_as != nullptr) {
    known_as = joined(known_as, "(unnamed)", label, sizeof label);
  }
  if (must_fail("open", known_as)) return -1;
  const int fd =
      std::strncmp(name, "openat", 6) != 0
          ? real<int (*)(const char*, int, ...)>(name)(path, flags, mode)
          : real<int (*)(int, const char*, int, ...)>(name)(folder, path, flags,
                                                            mode);
  if (fd >= 0 && known_as != nullptr) {
    remember(nullptr, fd, known_as, !unnamed && (flags & O_DIRECTORY) != 0);
  }
  return fd;
}

// The plain names take off_t and the "64" names off64_t, which differ where
// off_t is 32 bits: each is called through its own type.
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

template <typename Offset>
int truncate_fd(const char* name, int fd, Offset size) {
  if (must_fail("ftruncate", path_of(fd))) return -1;
  return real<int (*)(int, Offset)>(name)(fd, size);
}

template <typename Status>
int stat_fd(const char* name, int fd, Status* status) {
  if (must_fail("fstat", path_of(fd))) return -1;
  return real<int (*)(int, Status*)>(name)(fd, status);
}

template <typename Status>
int stat_at(const char* name, int folder, const char* path, Status* status,
            int flags) {
  char label[512];
  if (must_fail("fstatat", label_at(folder, path, label, sizeof label))) {
    return -1;
  }
  return real<int (*)(int, const char*, Status*, int)>(name)(folder, path,
                                                             status, flags);
}

template <typename Offset>
ssize_t read_at(const char* name, int fd, void* buffer, size_t size,
                Offset offset) {
  if (must_fail("pread", path_of(fd), true)) {
    if (mode != Mode::short_count) return -1;
    size = size / 2 > 0 ? size / 2 : 1;
  }
  return real<ssize_t (*)(int, void*, size_t, Offset)>(name)(fd, buffer, size,
                                                             offset);
}

// The mode argument of an open that creates.
mode_t mode_of(int flags, va_list arguments) {
  return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE
             ? static_cast<mode_t>(va_arg(arguments, int))
             : 0;
}

}  // namespace

extern "C" {

FILE* fopen(const char* path, const char* how) {
  return open_stream("fopen", path, how);
}
FILE* fopen64(const char* path, const char* how) {
  return open_stream("fopen64", path, how);
}
int open(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = mode_of(flags, arguments);
  va_end(arguments);
  return open_fd("open", AT_FDCWD, path, flags, mode);
}
int open64(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = mode_of(flags, arguments);
  va_end(arguments);
  return open_fd("open64", AT_FDCWD, path, flags, mode);
}
int openat(int folder, const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = mode_of(flags, arguments);
  va_end(arguments);
  return open_fd("openat", folder, path, flags, mode);
}
int openat64(int folder, const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = mode_of(flags, arguments);
  va_end(arguments);
  return open_fd("openat64", folder, path, flags, mode);
}
// A copy of a descriptor goes by the name of the original. Not counted.
int fcntl(int fd, int command, ...) {
  va_list arguments;
  va_start(arguments, command);
  void* argument = va_arg(arguments, void*);  // as the C library reads it
  va_end(arguments);
  const int result =
      real<int (*)(int, int, ...)>("fcntl")(fd, command, argument);
  if (result >= 0 && (command == F_DUPFD || command == F_DUPFD_CLOEXEC)) {
    remember_copy(fd, result);
  }
  return result;
}
int fcntl64(int fd, int command, ...) {
  va_list arguments;
  va_start(arguments, command);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  const int result =
      real<int (*)(int, int, ...)>("fcntl64")(fd, command, argument);
  if (result >= 0 && (command == F_DUPFD || command == F_DUPFD_CLOEXEC)) {
    remember_copy(fd, result);
  }
  return result;
}
FILE* fdopen(int fd, const char* how) {
  Opened* entry = entry_of(fd);
  if (must_fail("fdopen", entry != nullptr ? entry->path : nullptr)) {
    return nullptr;
  }
  FILE* stream = real<FILE* (*)(int, const char*)>("fdopen")(fd, how);
  if (stream != nullptr && entry != nullptr) entry->stream = stream;
  return stream;
}
int close(int fd) {
  // Only noted: a descriptor closed may come back for another file.
  if (Opened* entry = entry_of(fd)) entry->open = false;
  return real<int (*)(int)>("close")(fd);
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
int ftruncate(int fd, off_t size) { return truncate_fd("ftruncate", fd, size); }
int ftruncate64(int fd, off64_t size) {
  return truncate_fd("ftruncate64", fd, size);
}

int fstat(int fd, struct stat* status) { return stat_fd("fstat", fd, status); }
int fstat64(int fd, struct stat64* status) {
  return stat_fd("fstat64", fd, status);
}
int fstatat(int folder, const char* path, struct stat* status, int flags) {
  return stat_at("fstatat", folder, path, status, flags);
}
int fstatat64(int folder, const char* path, struct stat64* status, int flags) {
  return stat_at("fstatat64", folder, path, status, flags);
}
ssize_t pread(int fd, void* buffer, size_t size, off_t offset) {
  return read_at("pread", fd, buffer, size, offset);
}
ssize_t pread64(int fd, void* buffer, size_t size, off64_t offset) {
  return read_at("pread64", fd, buffer, size, offset);
}

int fsync(int fd) {
  Opened* entry = entry_of(fd);
  if (must_fail("fsync", path_of(fd), false,
                entry != nullptr && !entry->directory)) {
    return -1;
  }
  const int result = real<int (*)(int)>("fsync")(fd);
  if (result == 0 && entry != nullptr && !entry->directory) {
    entry->synced = true;
  }
  return result;
}

int sync_file_range(int fd, off64_t offset, off64_t length,
                    unsigned int flags) {
  if (must_fail("sync_file_range", path_of(fd))) return -1;
  return real<int (*)(int, off64_t, off64_t, unsigned int)>("sync_file_range")(
      fd, offset, length, flags);
}

int fchmod(int fd, mode_t mode) {
  if (must_fail("fchmod", path_of(fd))) return -1;
  return real<int (*)(int, mode_t)>("fchmod")(fd, mode);
}

int fchown(int fd, uid_t owner, gid_t group) {
  if (must_fail("fchown", path_of(fd))) return -1;
  return real<int (*)(int, uid_t, gid_t)>("fchown")(fd, owner, group);
}

ssize_t flistxattr(int fd, char* names, size_t size) {
  if (must_fail("flistxattr", path_of(fd))) return -1;
  return real<ssize_t (*)(int, char*, size_t)>("flistxattr")(fd, names, size);
}

ssize_t fgetxattr(int fd, const char* name, void* value, size_t size) {
  if (must_fail("fgetxattr", path_of(fd))) return -1;
  return real<ssize_t (*)(int, const char*, void*, size_t)>("fgetxattr")(
      fd, name, value, size);
}

int fsetxattr(int fd, const char* name, const void* value, size_t size,
              int flags) {
  if (must_fail("fsetxattr", path_of(fd))) return -1;
  if (refused(name)) {
    errno = EOPNOTSUPP;
    return -1;
  }
  return real<int (*)(int, const char*, const void*, size_t, int)>("fsetxattr")(
      fd, name, value, size, flags);
}

int fremovexattr(int fd, const char* name) {
  if (must_fail("fremovexattr", path_of(fd))) return -1;
  return real<int (*)(int, const char*)>("fremovexattr")(fd, name);
}

int ppoll(struct pollfd* fds, nfds_t count, const struct timespec* timeout,
          const sigset_t* mask) {
  const auto real_ppoll =
      real<int (*)(struct pollfd*, nfds_t, const struct timespec*,
                   const sigset_t*)>("ppoll");
  static bool signalled = false;
  if (!signalled && std::getenv("VARNEL_SIGNAL_WHEN_BLOCKED") != nullptr) {
    const struct timespec now {};
    if (real_ppoll(fds, count, &now, nullptr) == 0) {
      signalled = true;
      (void)std::raise(SIGINT);
    }
  }
  return real_ppoll(fds, count, timeout, mask);
}

int rename(const char* from, const char* to) {
  if (must_fail("rename", from)) return -1;
  return real<int (*)(const char*, const char*)>("rename")(from, to);
}

int renameat(int from_folder, const char* from, int to_folder, const char* to) {
  char label[512];
  if (must_fail("renameat", label_at(from_folder, from, label, sizeof label))) {
    return -1;
  }
  return real<int (*)(int, const char*, int, const char*)>("renameat")(
      from_folder, from, to_folder, to);
}

int renameat2(int from_folder, const char* from, int to_folder, const char* to,
              unsigned int flags) {
  if ((flags & RENAME_EXCHANGE) != 0 &&
      std::getenv("VARNEL_REFUSE_EXCHANGE") != nullptr) {
    errno = EINVAL;
    return -1;
  }
  char label[512];
  if (must_fail("renameat2",
                label_at(from_folder, from, label, sizeof label))) {
    return -1;
  }
  return real<int (*)(int, const char*, int, const char*, unsigned int)>(
      "renameat2")(from_folder, from, to_folder, to, flags);
}

int unlinkat(int folder, const char* path, int flags) {
  char label[512];
  if (must_fail("unlinkat", label_at(folder, path, label, sizeof label))) {
    return -1;
  }
  return real<int (*)(int, const char*, int)>("unlinkat")(folder, path, flags);
}

int faccessat(int folder, const char* path, int how, int flags) {
  char label[512];
  if (must_fail("faccessat", label_at(folder, path, label, sizeof label))) {
    return -1;
  }
  return real<int (*)(int, const char*, int, int)>("faccessat")(folder, path,
                                                                how, flags);
}

// Counted under the name given; an open file named through /proc/self/fd
// goes by that name from then on.
int linkat(int from_folder, const char* from, int to_folder, const char* to,
           int flags) {
  char label[512];
  const char* known_as = label_at(to_folder, to, label, sizeof label);
  if (must_fail("linkat", known_as)) return -1;
  const int result = real<int (*)(int, const char*, int, const char*, int)>(
      "linkat")(from_folder, from, to_folder, to, flags);
  const char prefix[] = "/proc/self/fd/";
  if (result == 0 && known_as != nullptr &&
      std::strncmp(from, prefix, sizeof prefix - 1) == 0) {
    if (Opened* entry = entry_of(std::atoi(from + sizeof prefix - 1))) {
      std::snprintf(entry->path, sizeof entry->path, "%s", known_as);
    }
  }
  return result;
}

size_t fread(void* buffer, size_t size, size_t count, FILE* stream) {
  if (must_fail("fread", path_of(stream), true)) {
    if (mode != Mode::short_count) {
      set_error_indicator(stream);
      return 0;
    }
    count /= 2;
  }
  return real<size_t (*)(void*, size_t, size_t, FILE*)>("fread")(buffer, size,
                                                                 count, stream);
}

size_t fwrite(const void* buffer, size_t size, size_t count, FILE* stream) {
  note_write(entry_of_stream(stream));
  if (must_fail("fwrite", path_of(stream), true)) {
    if (mode != Mode::short_count) {
      set_error_indicator(stream);
      return 0;
    }
    count /= 2;
  }
  return real<size_t (*)(const void*, size_t, size_t, FILE*)>("fwrite")(
      buffer, size, count, stream);
}

int fflush(FILE* stream) {
  if (stream != nullptr && stream->_IO_write_ptr > stream->_IO_write_base) {
    note_write(entry_of_stream(stream));
  }
  if (must_fail("fflush", path_of(stream))) return EOF;
  return real<int (*)(FILE*)>("fflush")(stream);
}

int fclose(FILE* stream) {
  // What the stream still holds is written out by the close, inside the C
  // library, where no call of this library sees it.
  if (stream->_IO_write_ptr > stream->_IO_write_base) {
    note_write(entry_of_stream(stream));
  }
  const char* path = path_of(stream);
  const bool fail = must_fail("fclose", path);
  for (int i = 0; i < opened_count; ++i) {
    if (opened[i].stream == stream) opened[i].open = false;
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
  note_write(entry_of(fd));
  const auto real_write = real<ssize_t (*)(int, const void*, size_t)>("write");
  if (must_fail("write", path_of(fd), true)) {
    if (mode != Mode::short_count) return -1;
    size = size / 2 > 0 ? size / 2 : 1;
  }
  return real_write(fd, buffer, size);
}

ssize_t writev(int fd, const struct iovec* vectors, int count) {
  note_write(entry_of(fd));
  const auto real_writev =
      real<ssize_t (*)(int, const struct iovec*, int)>("writev");
  if (must_fail("writev", path_of(fd), true)) {
    if (mode != Mode::short_count) return -1;
    // Half of the first vector, and no more.
    struct iovec half = vectors[0];
    half.iov_len = half.iov_len / 2 > 0 ? half.iov_len / 2 : 1;
    return real_writev(fd, &half, 1);
  }
  return real_writev(fd, vectors, count);
}

}  // extern "C"
