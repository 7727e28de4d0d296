#include "files/stream_read.h"

#include <cerrno>

#include "files/system.h"

namespace varnel {

bool can_block(std::FILE* stream) {
  const int fd = descriptor_of(stream);
  return fd >= 0 && can_block(fd);
}

StreamRead read_fully(std::FILE* stream, WaitUntilReady wait,
                      std::span<std::uint8_t> into) {
  StreamRead read;
  const int fd = wait != nullptr ? descriptor_of(stream) : -1;
  if (fd < 0) {
    read.got = std::fread(into.data(), 1, into.size(), stream);
    if (read.got < into.size()) {
      read.end =
          std::ferror(stream) != 0 ? ReadEnd::failed : ReadEnd::end_of_file;
      if (read.end == ReadEnd::failed) {
        read.error = errno_error();
      }
    }
    return read;
  }
  while (read.got < into.size()) {
    if (!wait(fd, false)) {
      read.end = ReadEnd::interrupted;
      return read;
    }
    const std::ptrdiff_t got = read_some(fd, into.subspan(read.got));
    if (got == 0) {
      read.end = ReadEnd::end_of_file;
      return read;
    }
    if (got < 0) {
      if (errno == EINTR) {
        continue;  // the wait tells whether it was an interruption
      }
      read.end = ReadEnd::failed;
      read.error = errno_error();
      return read;
    }
    read.got += static_cast<std::size_t>(got);
  }
  return read;
}

StreamRead read_available(std::FILE* stream, WaitUntilReady wait,
                          std::span<std::uint8_t> into) {
  const int fd = wait != nullptr ? descriptor_of(stream) : -1;
  if (fd < 0 || into.empty()) {
    return read_fully(stream, nullptr, into);
  }
  StreamRead read;
  for (;;) {
    if (!wait(fd, false)) {
      read.end = ReadEnd::interrupted;
      return read;
    }
    const std::ptrdiff_t got = read_some(fd, into);
    if (got > 0) {
      read.got = static_cast<std::size_t>(got);
      return read;
    }
    if (got == 0) {
      read.end = ReadEnd::end_of_file;
      return read;
    }
    if (errno != EINTR) {
      read.end = ReadEnd::failed;
      read.error = errno_error();
      return read;
    }
    // A signal: the wait tells whether it was an interruption.
  }
}

}  // namespace varnel
