// What the flash holds once every record of a file has been written at its
// address, in file order: a later record over an earlier one, and the bytes
// that no record wrote holding the value of erased flash, or a byte chosen.
// Gathered as the records are read, in memory of the size of the 24-bit
// address space, whatever the size of the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "check/verify.h"

namespace varnel {

// Every 24-bit address.
inline constexpr std::size_t kFlashSize = std::size_t{1} << 24;

// The value of erased flash, which fills the gaps unless another is chosen.
inline constexpr std::uint8_t kErasedFlash = 0xFF;

struct FlashImage {
  std::unique_ptr<std::uint8_t[]> bytes;  // kFlashSize, by address
  // One bit per address, set once a record has written it.
  std::unique_ptr<std::uint64_t[]> written;
  bool any = false;                // some record has written some address
  std::uint32_t low = 0;           // the lowest address written
  std::uint32_t high = 0;          // the highest address written
  std::uint64_t runs = 0;          // runs of records, as the report counts them
  std::uint32_t next_address = 0;  // where the last record written ended
};

// Sets aside the memory of `flash`, every byte `fill`. False when there is
// not enough of it.
[[nodiscard]] bool make_flash_image(FlashImage& flash, std::uint8_t fill);

// Writes `piece` into `flash` at its addresses. Always true: a DataSink.
bool flash_piece(FlashImage& flash, const DataPiece& piece);

// The bytes from the lowest address written to the highest that no record
// wrote.
[[nodiscard]] std::uint64_t filled_bytes(const FlashImage& flash);

// Writes the flash from the lowest address written to the highest to
// `out`. False when the write fails.
[[nodiscard]] bool write_flash_image(const FlashImage& flash, std::FILE* out);

}  // namespace varnel
