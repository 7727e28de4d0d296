// The standard streams, sources and positions on Windows.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "files/source_file.h"
#include "files/standard_input.h"
#include "files/standard_streams.h"
#include "files/stream_position.h"
#include "files/stream_read.h"

namespace varnel {

// The standard fseek and ftell count in a long, which is 32 bits on Windows.
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

int descriptor_of(std::FILE* stream) { return ::_fileno(stream); }

std::ptrdiff_t read_some(int fd, std::span<std::uint8_t> into) {
  return ::_read(fd, into.data(), static_cast<unsigned>(into.size()));
}

// An interruption cancels a blocked call instead.
bool can_block(int /*fd*/) { return false; }

std::FILE* open_source(const char* name) {
  // Names reach the program as UTF-8 (its manifest says so), and the C
  // runtime opens them as such. Nothing that a name can lead to on Windows
  // makes the open wait: a named pipe with no free instance fails at once.
  return std::fopen(name, "rb");
}

std::optional<std::uint64_t> source_size(std::FILE* source) {
  const int fd = ::_fileno(source);
  if (fd < 0) {
    return stream_size(source);
  }
  const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  LARGE_INTEGER size{};
  if (handle == INVALID_HANDLE_VALUE ||
      ::GetFileType(handle) != FILE_TYPE_DISK ||
      ::GetFileSizeEx(handle, &size) == 0 || size.QuadPart < 0) {
    return std::nullopt;  // a pipe, a console, NUL
  }
  return static_cast<std::uint64_t>(size.QuadPart);
}

std::FILE* binary_standard_input() {
  if (::_setmode(::_fileno(stdin), _O_BINARY) == -1) {
    return nullptr;
  }
  return stdin;
}

bool take_closed_standard_streams() {
  // The C runtime keeps descriptors 0, 1 and 2 taken even when the program
  // was started without a handle for them: no file it opens gets one of
  // those numbers. Windows handles are not numbered that way.
  return true;
}

}  // namespace varnel
