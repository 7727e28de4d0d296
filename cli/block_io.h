// Moving batches of records between the streams and a record buffer. Where the
// streams sit on file descriptors of a POSIX system, a batch is read with one
// vectored read straight into place and written with one write; elsewhere the
// standard streams do the work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>

namespace varnel {

// Memory for `size` bytes of records, held by `storage`; empty when there is
// not that much memory to be had. Every byte is copied into it and out of it
// by the system, so where the system allows, it is aligned and marked for
// large pages before it is first touched: that spares most of the page-table
// walks of those copies.
[[nodiscard]] std::span<std::uint8_t> allocate_records(
    std::unique_ptr<std::uint8_t[]>& storage, std::size_t size);

// Reads the next blocks of `src`, found at byte `offset`, one into the data
// part of each record of `records` (whose size is a whole number of records).
// False on an error or on the end of the file before the last byte.
[[nodiscard]] bool read_blocks(std::FILE* src, std::uint64_t offset,
                               std::span<std::uint8_t> records);

// Writes all of `bytes` to `dst`. False on any error or short write.
[[nodiscard]] bool write_all(std::FILE* dst,
                             std::span<const std::uint8_t> bytes);

}  // namespace varnel
