// What the flash holds once every record of a file has been written at its
// address, in file order: a later record over an earlier one, and the bytes
// that no record wrote holding the value of erased flash, or a byte chosen.
// Gathered as the records are read, in memory of the size of the 24-bit
// address space at most, whatever the size of the file: only what the
// records write, and the gaps between, is ever touched.
#pragma once

#include <cstddef>
#include <cstdint>

#include "check/verify.h"
#include "files/owned_memory.h"

namespace varnel {

// Every 24-bit address.
inline constexpr std::size_t kFlashSize = std::size_t{1} << 24;

// The value of erased flash, which fills the gaps unless another is chosen.
inline constexpr std::uint8_t kErasedFlash = 0xFF;

struct FlashImage {
  // kFlashSize bytes, by address, in `held`: copied into a record at a time,
  // all of it perhaps many times over. Those no record wrote are set only
  // when the gaps are filled.
  CopyMemory held;
  std::uint8_t* bytes = nullptr;
  // One bit per address, set once a record has written it.
  OwnedMemory<std::uint64_t[]> written;
  std::uint8_t fill = kErasedFlash;
  bool any = false;                // some record has written some address
  std::uint32_t low = 0;           // the lowest address written
  std::uint32_t high = 0;          // the highest address written
  std::uint64_t runs = 0;          // runs of records, as the report counts them
  std::uint32_t next_address = 0;  // where the last record written ended
};

// Sets aside the memory of `flash`, unless it has it already, and makes it
// the flash before any record, whose gaps will hold `fill`. False when there
// is not enough memory.
[[nodiscard]] bool make_flash_image(FlashImage& flash, std::uint8_t fill);

// Writes `piece` into `flash` at its addresses. Always true: a DataSink.
bool flash_piece(FlashImage& flash, const DataPiece& piece);

// The bytes from the lowest address written to the highest that no record
// wrote.
[[nodiscard]] std::uint64_t filled_bytes(const FlashImage& flash);

// Sets those bytes to the fill.
void fill_gaps(FlashImage& flash);

struct ImageBatch;

// Fills the gaps and writes the flash from the lowest address written to
// the highest to `image`, a batch at a time. False, with image.error set,
// when a write fails.
[[nodiscard]] bool write_flash_image(FlashImage& flash, ImageBatch& image);

}  // namespace varnel
