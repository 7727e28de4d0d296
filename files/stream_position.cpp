#include "files/stream_position.h"

namespace varnel {

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
