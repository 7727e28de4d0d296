// Reading a stream in full, where a pipe or a terminal can keep a read
// waiting for as long as its writer likes: such a read must still give up at
// once on an interruption.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <system_error>

namespace varnel {

// Whether reads and writes of descriptor `fd` can block indefinitely: a pipe,
// a FIFO, a terminal, a device; not a file on disk. False on Windows, where
// an interruption cancels a blocked call instead.
[[nodiscard]] bool can_block(int fd);

// The same for the descriptor of `stream`; false for a stream without one.
[[nodiscard]] bool can_block(std::FILE* stream);

enum class ReadEnd {
  full,         // every byte asked for
  end_of_file,  // the stream ended first
  failed,
  interrupted,  // an interruption came while it waited
};

struct StreamRead {
  std::size_t got = 0;
  ReadEnd end = ReadEnd::full;
  std::error_code error;  // for `failed`
};

// Reads `into` full from `stream`, or up to its end. With `waits` (for a
// stream whose descriptor can block), each read is made on the descriptor
// after waiting for data with wait_until_ready; otherwise through the stream.
// A stream is read one way or the other throughout, never both.
[[nodiscard]] StreamRead read_fully(std::FILE* stream, bool waits,
                                    std::span<std::uint8_t> into);

}  // namespace varnel
