// Moving batches of records between the streams and a record buffer. Where the
// streams sit on file descriptors of a POSIX system, a batch is read with one
// vectored read straight into place and written with one write
// (block_io_posix.cpp); elsewhere the standard streams do the work
// (block_io_windows.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

#include "files/owned_memory.h"

namespace varnel {

// Memory for records: `records`, inside the block that `held` owns.
struct RecordMemory {
  OwnedMemory<void> held;
  std::span<std::uint8_t> records;
};

// Memory for `size` bytes of records; `records` is empty when there is not
// that much memory to be had. Every byte is copied into it and out of it by
// the system: see allocate_for_copies.
[[nodiscard]] RecordMemory allocate_records(std::size_t size);

// Reads the next blocks of `src`, found at byte `offset`, one into the data
// part of each record of `records` (whose size is a whole number of records).
// False on an error or on the end of the file before the last byte.
[[nodiscard]] bool read_blocks(std::FILE* src, std::uint64_t offset,
                               std::span<std::uint8_t> records);

// Whether `src` ends at byte `offset`: a read there finds nothing more, and
// no error. False when it holds more (it grew since it was measured) or the
// read fails.
[[nodiscard]] bool ends_at(std::FILE* src, std::uint64_t offset);

// Writes all of `bytes` to `dst`. False on any error or short write.
[[nodiscard]] bool write_all(std::FILE* dst,
                             std::span<const std::uint8_t> bytes);

// The portable ways, through the standard streams, which every system falls
// back to for a stream without a descriptor (in memory).
[[nodiscard]] bool read_blocks_from_stream(std::FILE* src,
                                           std::span<std::uint8_t> records);
[[nodiscard]] bool stream_ends(std::FILE* src);
[[nodiscard]] bool write_to_stream(std::FILE* dst,
                                   std::span<const std::uint8_t> bytes);

}  // namespace varnel
