#include "check/image_output.h"

#include <numeric>

#include "check/batch_io.h"
#include "console/interruption.h"
#include "files/system.h"

namespace varnel {

bool add_to_image(ImageBatch& batch, std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) {
    return true;
  }
  if (batch.count == batch.pieces.size() && !write_image_batch(batch)) {
    return false;
  }
  batch.pieces[batch.count++] = bytes;
  return true;
}

bool write_image_batch(ImageBatch& batch) {
  if (batch.count == 0) {
    return true;
  }
  // Once interrupted, nothing more is written: the image is thrown away.
  if (interrupted()) {
    batch.error = std::make_error_code(std::errc::interrupted);
    return false;
  }
  const std::span<const std::span<const std::uint8_t>> pieces(
      batch.pieces.data(), batch.count);
  const std::uint64_t size = std::accumulate(
      pieces.begin(), pieces.end(), std::uint64_t{0},
      [](std::uint64_t total, std::span<const std::uint8_t> piece) {
        return total + piece.size();
      });
  batch.count = 0;
  if (!write_pieces(batch.file, pieces, batch.error) ||
      !write_back(batch.file, batch.written, size, batch.error)) {
    return false;
  }
  batch.written += size;
  return true;
}

}  // namespace varnel
