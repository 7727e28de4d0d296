#include "check/batch_io.h"

#include <algorithm>

#include "files/system.h"

namespace varnel {

bool write_pieces_to_stream(
    std::FILE* file, std::span<const std::span<const std::uint8_t>> pieces,
    std::error_code& error) {
  const bool written = std::all_of(
      pieces.begin(), pieces.end(),
      [file](std::span<const std::uint8_t> piece) {
        return std::fwrite(piece.data(), 1, piece.size(), file) == piece.size();
      });
  if (!written) {
    error = errno_error();
  }
  return written;
}

}  // namespace varnel
