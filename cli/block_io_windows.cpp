// Windows: the standard streams do the work, which an interruption cancels.
#include "cli/block_io.h"

namespace varnel {

bool read_blocks(std::FILE* src, std::uint64_t /*offset*/,
                 std::span<std::uint8_t> records) {
  return read_blocks_from_stream(src, records);
}

bool ends_at(std::FILE* src, std::uint64_t /*offset*/) {
  return stream_ends(src);
}

bool write_all(std::FILE* dst, std::span<const std::uint8_t> bytes) {
  return write_to_stream(dst, bytes);
}

}  // namespace varnel
