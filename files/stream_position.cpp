#include "files/stream_position.h"

#if !defined(_WIN32)
#include <sys/types.h>
#endif

namespace varnel {

// The standard fseek and ftell count in a long, which is 32 bits on Windows
// and on 32-bit POSIX systems; each platform has its own 64-bit pair.
#if defined(_WIN32)

bool seek_stream(std::FILE* stream, std::int64_t offset, int whence) {
  return ::_fseeki64(stream, offset, whence) == 0;
}

std::optional<std::uint64_t> stream_position(std::FILE* stream) {
  const std::int64_t position = ::_ftelli64(stream);
  if (position < 0) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(position);
}

#else

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

#endif

std::optional<std::uint64_t> stream_size(std::FILE* stream) {
  if (!seek_stream(stream, 0, SEEK_END)) {
    return std::nullopt;
  }
  const std::optional<std::uint64_t> end = stream_position(stream);
  if (!end || !seek_stream(stream, 0, SEEK_SET)) {
    return std::nullopt;
  }
  return end;
}

}  // namespace varnel
