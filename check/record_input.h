// The record file as the walk reads it: once, front to back, a batch at a
// time into one buffer, from a stream that may be a pipe. The walk asks for
// the bytes from a position on, and says from where on it may still need
// them: bytes before that are dropped when the buffer needs room, and a
// record cut by the end of a batch is carried over to the next. Going back
// over bytes still held needs no seek, so a pipe will do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <system_error>

#include "files/stream_read.h"

namespace varnel {

// The memory a walk reads through, and the most it reads at a time.
inline constexpr std::size_t kReadBufferSize = std::size_t{1} << 20;

// What --all-faults adds to it: room to hold the longest record whole (its
// length field has 24 bits), so that the walk can go back over the data of
// a record that turns out wrong.
inline constexpr std::size_t kAllFaultsMemory = std::size_t{1} << 24;

struct RecordInput {
  std::FILE* stream = nullptr;
  bool waits = false;  // its reads can block: each waits for data first
  std::span<std::uint8_t> buffer;
  std::uint64_t start = 0;  // the position in the stream of buffer[0]
  std::size_t held = 0;     // buffer[0, held) holds the stream from `start`
  bool ended = false;       // the stream has ended: it is read no more
  // The walk needs no byte before this position again.
  std::uint64_t keep_from = 0;
};

// The bytes held from a position on.
struct HeldBytes {
  // All that is held from the position asked for: at least the count asked
  // for when `end` is full, fewer (maybe none) when the stream ended first.
  std::span<const std::uint8_t> bytes;
  ReadEnd end = ReadEnd::full;  // or end_of_file, failed, interrupted
  std::error_code error;        // for `failed`
};

// Where the bytes read so far end.
[[nodiscard]] inline std::uint64_t read_so_far(const RecordInput& input) {
  return input.start + input.held;
}

// Whether `count` bytes from `position` on are held: no read is needed for
// them.
[[nodiscard]] bool holds(const RecordInput& input, std::uint64_t position,
                         std::size_t count);

// The bytes from `position` on, which is not before input.keep_from: reads
// batches until `count` of them are held, or the stream ends. The buffer
// keeps what it holds from keep_from on, which with `count` bytes from
// `position` must fit in it (a read would otherwise fail, with
// errc::no_buffer_space).
[[nodiscard]] HeldBytes bytes_at(RecordInput& input, std::uint64_t position,
                                 std::size_t count);

}  // namespace varnel
