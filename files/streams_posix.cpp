// The standard streams, sources and positions on POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "files/source_file.h"
#include "files/standard_input.h"
#include "files/standard_streams.h"
#include "files/stream_position.h"
#include "files/stream_read.h"
#include "files/system_posix.h"

namespace varnel {

// Built with _FILE_OFFSET_BITS=64, so off_t is 64 bits on every POSIX system.
static_assert(sizeof(off_t) >= sizeof(std::int64_t),
              "file positions must be 64 bits wide");

bool seek_stream(std::FILE* stream, std::int64_t offset, int whence) {
  return ::fseeko(stream, static_cast<off_t>(offset), whence) == 0;
}

std::optional<std::uint64_t> stream_position(std::FILE* stream) {
  const off_t position = ::ftello(stream);
  if (position < 0) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(position);
}

int descriptor_of(std::FILE* stream) { return ::fileno(stream); }

std::ptrdiff_t read_some(int fd, std::span<std::uint8_t> into) {
  return ::read(fd, into.data(), into.size());
}

bool can_block(int fd) {
  struct stat status {};
  return ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode);
}

std::FILE* open_source(const char* name) {
  // Without O_NONBLOCK, opening a FIFO waits for a writer, for ever if none
  // comes. Once open, reads may wait as they always do.
  Descriptor fd =
      open_path(AT_FDCWD, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (!fd) {
    return nullptr;
  }
  const int flags = ::fcntl(file_number(fd), F_GETFL);
  std::FILE* source = nullptr;
  if (flags >= 0 &&
      ::fcntl(file_number(fd), F_SETFL, flags & ~O_NONBLOCK) == 0) {
    source = ::fdopen(file_number(fd), "rb");
  }
  if (source == nullptr) {
    const int error = errno;  // the reason, kept for the caller
    fd.reset();               // nothing was read from it
    errno = error;
    return nullptr;
  }
  (void)fd.release();  // the stream's now
  return source;
}

std::optional<std::uint64_t> source_size(std::FILE* source) {
  const int fd = ::fileno(source);
  if (fd < 0) {
    return stream_size(source);
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    return std::nullopt;
  }
  if (S_ISREG(status.st_mode) && status.st_size >= 0 && !made_up_as_read(fd)) {
    return static_cast<std::uint64_t>(status.st_size);
  }
  if (S_ISBLK(status.st_mode)) {
    return block_device_size(fd);
  }
  return std::nullopt;
}

std::FILE* binary_standard_input() { return stdin; }

bool take_closed_standard_streams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
      continue;  // open
    }
    // The lowest free number is this one: those below it are open.
    Descriptor null_device =
        open_path(AT_FDCWD, "/dev/null",
                  (fd == STDIN_FILENO ? O_WRONLY : O_RDONLY) | O_NOCTTY);
    if (file_number(null_device) != fd) {
      return false;  // opened only to hold the number: closed again
    }
    (void)null_device.release();  // the number's, for the program's life
  }
  return true;
}

}  // namespace varnel
