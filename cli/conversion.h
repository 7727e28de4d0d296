// Turning an open image stream into an open record file stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <system_error>

#include "console/progress.h"
#include "records/record_format.h"

namespace varnel {

// Blocks converted at a time (2 MiB of records): enough that system calls
// cost little next to the copying.
inline constexpr std::size_t kBatchBlocks = 256;
// The buffer of records that a conversion needs: a batch.
inline constexpr std::size_t kBatchBytes = kBatchBlocks * kRecordSize;

enum class Outcome {
  converted,
  size_unsupported,  // the size is not a whole number of blocks, or unknown
  read_failed,
  write_failed,
  interrupted,  // by a signal, or by Ctrl-C on Windows
};

// Reads `size` bytes from `src` (a whole number of blocks) and writes a record
// for each block to `dst`, a batch of blocks at a time through `records`
// (kBatchBytes, allocated before any file was opened), showing `progress`
// unless it is null. Stops at the first short read or short write, and at an
// interruption. A source that holds more than `size` bytes once they are read
// (it grew meanwhile) is a failed read.
[[nodiscard]] Outcome write_records(std::FILE* src, std::FILE* dst,
                                    std::uint32_t start_address,
                                    std::uint64_t size,
                                    std::span<std::uint8_t> records,
                                    Progress* progress = nullptr);

// The conversion of two open streams: size (only where the source's kind
// tells it: see source_size), records, then closing the source. The
// destination stays open for its owner to publish or discard, which it never
// publishes once an interruption is noted. When writing fails, `why`, unless
// null, is set to the system's reason.
[[nodiscard]] Outcome convert_files(std::FILE* src, std::FILE* dst,
                                    std::uint32_t start_address,
                                    std::span<std::uint8_t> records,
                                    Progress* progress = nullptr,
                                    std::error_code* why = nullptr);

}  // namespace varnel
