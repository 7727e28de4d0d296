// Where the bytes of an image (-o, --flash-image) go on their way to the
// disk: gathered into a batch, which is written in one call, and the disk
// started on it at once (as varnel does with its record file), so that the
// sync before the image takes its name finds little left to do. Every byte
// of an image passes through here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <system_error>

namespace varnel {

// The pieces a batch gathers at most before it is written.
inline constexpr std::size_t kImagePieces = 256;

struct ImageBatch {
  std::FILE* file = nullptr;  // the image, open for writing
  // Pieces of memory that their owner leaves as they are until the batch
  // is written.
  std::array<std::span<const std::uint8_t>, kImagePieces> pieces{};
  std::size_t count = 0;
  std::uint64_t written = 0;  // bytes written so far
  std::error_code error;      // why a write failed
};

// Adds `bytes` to the batch, written first when it holds kImagePieces
// pieces. False, with batch.error set, when that write fails.
[[nodiscard]] bool add_to_image(ImageBatch& batch,
                                std::span<const std::uint8_t> bytes);

// Writes the pieces gathered, and starts the disk on them. False, with
// batch.error set, when the write fails, or when an interruption has been
// noted (then nothing is written).
[[nodiscard]] bool write_image_batch(ImageBatch& batch);

}  // namespace varnel
