#include "files/stream_read.h"

#include <cerrno>

#include "console/interruption.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace varnel {

namespace {

std::error_code errno_code() {
  return {errno != 0 ? errno : EIO, std::generic_category()};
}

StreamRead read_through_stream(std::FILE* stream,
                               std::span<std::uint8_t> into) {
  StreamRead read;
  read.got = std::fread(into.data(), 1, into.size(), stream);
  if (read.got < into.size()) {
    if (std::ferror(stream) != 0) {
      read.end = ReadEnd::failed;
      read.error = errno_code();
    } else {
      read.end = ReadEnd::end_of_file;
    }
  }
  return read;
}

}  // namespace

#if defined(_WIN32)

bool can_block(int) { return false; }

bool can_block(std::FILE*) { return false; }

StreamRead read_fully(std::FILE* stream, bool, std::span<std::uint8_t> into) {
  return read_through_stream(stream, into);
}

#else

bool can_block(int fd) {
  struct stat status {};
  return ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode);
}

bool can_block(std::FILE* stream) {
  const int fd = ::fileno(stream);
  return fd >= 0 && can_block(fd);
}

StreamRead read_fully(std::FILE* stream, bool waits,
                      std::span<std::uint8_t> into) {
  const int fd = ::fileno(stream);
  if (!waits || fd < 0) {
    return read_through_stream(stream, into);
  }
  StreamRead read;
  while (read.got < into.size()) {
    if (!wait_until_ready(fd, false)) {
      read.end = ReadEnd::interrupted;
      return read;
    }
    const ssize_t got =
        ::read(fd, into.data() + read.got, into.size() - read.got);
    if (got == 0) {
      read.end = ReadEnd::end_of_file;
      return read;
    }
    if (got < 0) {
      if (errno == EINTR) {
        continue;  // the wait tells whether it was an interruption
      }
      read.end = ReadEnd::failed;
      read.error = errno_code();
      return read;
    }
    read.got += static_cast<std::size_t>(got);
  }
  return read;
}

#endif

}  // namespace varnel
