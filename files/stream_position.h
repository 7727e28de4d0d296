// Positions in open files, in 64 bits on every platform: images and record
// files of 4 GiB and more are ordinary.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>

namespace varnel {

// Moves `stream` to `offset` bytes from `whence` (SEEK_SET, SEEK_CUR or
// SEEK_END). False when the stream cannot seek (a pipe) or the seek fails.
[[nodiscard]] bool seek_stream(std::FILE* stream, std::int64_t offset,
                               int whence);

// Where `stream` stands, in bytes from its start; nothing when that cannot
// be told.
[[nodiscard]] std::optional<std::uint64_t> stream_position(std::FILE* stream);

// The length of `stream` in bytes, found by seeking to its end and back to
// its start, where it is left. Nothing when any of those steps fails (a pipe,
// for instance).
[[nodiscard]] std::optional<std::uint64_t> stream_size(std::FILE* stream);

}  // namespace varnel
