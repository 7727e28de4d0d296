// Moving record files and images in batches: a read takes what the stream
// has, up to a batch, in one call; a write gives the system many pieces of
// memory at once. One body for POSIX systems, one for Windows.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <system_error>

#include "files/stream_read.h"

namespace varnel {

// Reads into `into` what `stream` has: a file on disk fills it unless it ends
// first; with `waits` (a stream whose reads can block: a pipe, a terminal),
// what the one read after the wait for data brings, at least a byte. `got`
// is 0 only at the end of the stream, on a failure or on an interruption.
[[nodiscard]] StreamRead read_some(std::FILE* stream, bool waits,
                                   std::span<std::uint8_t> into);

// Writes every byte of `pieces`, in order, to `file`, which is a file on
// disk (the image) written through nothing else, so that no buffered bytes
// are overtaken. False, with the reason in `error`, on any failure.
[[nodiscard]] bool write_pieces(
    std::FILE* file, std::span<const std::span<const std::uint8_t>> pieces,
    std::error_code& error);

}  // namespace varnel
