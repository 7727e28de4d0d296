// The record file as the walk reads it: once, front to back, from a stream
// that may be a pipe. To read on past a wrong record, the walk may have to go
// back to bytes it has read already as the data of that record: those after
// the point it may go back to are kept, in a window of fixed size, so that
// reading goes back without a seek and a pipe will still do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <span>

#include "files/stream_read.h"

namespace varnel {

// Bytes of the stream from this position on are not kept.
inline constexpr std::uint64_t kKeepNothing =
    std::numeric_limits<std::uint64_t>::max();

// The bytes that the walk may go back to, kept in a window large enough for
// the data of the longest record (the length field has 24 bits): those of
// position p at window[p % size].
inline constexpr std::size_t kReplayWindowSize = std::size_t{1} << 24;

struct RecordInput {
  std::FILE* stream = nullptr;
  bool waits = false;  // its reads can block: each waits as read_fully does
  std::uint64_t position = 0;  // of the next byte the walk reads
  std::uint64_t fetched = 0;   // bytes taken from the stream so far
  bool ended = false;          // the stream has ended: it is read no more
  // kReplayWindowSize bytes, or empty when the walk never goes back.
  std::span<std::uint8_t> window;
  std::uint64_t keep_from = kKeepNothing;
};

// Reads `into` full, from the bytes kept where the walk went back, then from
// the stream; keeps what comes from the stream past keep_from.
[[nodiscard]] StreamRead read_input(RecordInput& input,
                                    std::span<std::uint8_t> into);

// From now on keeps the bytes from `position` on, which is not before
// input.position; stops keeping them when `position` is kKeepNothing.
void keep_input_from(RecordInput& input, std::uint64_t position);

// Goes back to `position`, between keep_from and the bytes fetched: the next
// read starts there.
void go_back(RecordInput& input, std::uint64_t position);

}  // namespace varnel
