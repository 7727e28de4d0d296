// Writing an image in batches: the system is given many pieces of memory
// at once (POSIX systems: one vectored write, batch_io_posix.cpp); elsewhere
// the standard stream writes them one by one (batch_io_windows.cpp).
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <system_error>

namespace varnel {

// Writes every byte of `pieces`, in order, to `file`, which is a file on
// disk (the image) written through nothing else, so that no buffered bytes
// are overtaken. False, with the reason in `error`, on any failure.
[[nodiscard]] bool write_pieces(
    std::FILE* file, std::span<const std::span<const std::uint8_t>> pieces,
    std::error_code& error);

// The portable way, through the stream, which every system falls back to
// for a stream without a descriptor (in memory).
[[nodiscard]] bool write_pieces_to_stream(
    std::FILE* file, std::span<const std::span<const std::uint8_t>> pieces,
    std::error_code& error);

}  // namespace varnel
