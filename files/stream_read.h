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

// Waits until descriptor `fd` can be read (or written, `for_writing`)
// without blocking, or until an interruption: false then (the console's
// wait_until_ready).
using WaitUntilReady = bool (*)(int fd, bool for_writing);

struct StreamRead {
  std::size_t got = 0;
  ReadEnd end = ReadEnd::full;
  std::error_code error;  // for `failed`
};

// Reads `into` full from `stream`, or up to its end. With `wait` (for a
// stream whose descriptor can block), each read is made on the descriptor
// after waiting for data with it; otherwise through the stream. A stream is
// read one way or the other throughout, never both.
[[nodiscard]] StreamRead read_fully(std::FILE* stream, WaitUntilReady wait,
                                    std::span<std::uint8_t> into);

// Reads into `into` what `stream` has, for a reader that takes what comes:
// without `wait`, through the stream, which fills `into` unless the stream
// ends first; with `wait` (a stream whose descriptor can block: a pipe, a
// terminal), what the one read on the descriptor after the wait for data
// brings, at least a byte, so that a slow writer's bytes are not held back.
// `got` is 0 only at the end of the stream, on a failure or on an
// interruption.
[[nodiscard]] StreamRead read_available(std::FILE* stream, WaitUntilReady wait,
                                        std::span<std::uint8_t> into);

// The descriptor of `stream`: -1 for one without (in memory).
[[nodiscard]] int descriptor_of(std::FILE* stream);

// One read from descriptor `fd` into `into`: the count, 0 at its end, or -1
// with errno set.
[[nodiscard]] std::ptrdiff_t read_some(int fd, std::span<std::uint8_t> into);

}  // namespace varnel
