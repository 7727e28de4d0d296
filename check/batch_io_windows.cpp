#include <algorithm>
#include <cerrno>

#include "check/batch_io.h"

namespace varnel {

// A blocked read is cancelled by an interruption here: a pipe is read as a
// file is, through the stream, until the batch is full or the pipe ends.
StreamRead read_some(std::FILE* stream, bool, std::span<std::uint8_t> into) {
  return read_fully(stream, false, into);
}

bool write_pieces(std::FILE* file,
                  std::span<const std::span<const std::uint8_t>> pieces,
                  std::error_code& error) {
  const bool written = std::all_of(
      pieces.begin(), pieces.end(),
      [file](std::span<const std::uint8_t> piece) {
        return std::fwrite(piece.data(), 1, piece.size(), file) == piece.size();
      });
  if (!written) {
    error = {errno != 0 ? errno : EIO, std::generic_category()};
  }
  return written;
}

}  // namespace varnel
