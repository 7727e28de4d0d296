#include "cli/conversion.h"

#include <array>

#include "records/record_format.h"
#include "records/record_header.h"

namespace varnel {

// ftell gives a long; sizes of 2 GiB and more need it to be 64 bits wide.
static_assert(sizeof(long) >= sizeof(std::uint64_t),
              "file positions must be 64 bits wide");

std::optional<std::uint64_t> image_size(std::FILE* src) {
  if (std::fseek(src, 0, SEEK_END) != 0) {
    return std::nullopt;
  }
  const long end = std::ftell(src);
  if (end < 0) {
    return std::nullopt;
  }
  if (std::fseek(src, 0, SEEK_SET) != 0) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(end);
}

Outcome write_records(std::FILE* src, std::FILE* dst,
                      std::uint32_t start_address, std::uint64_t size) {
  std::array<std::uint8_t, kBlockSize> block{};
  for (std::uint64_t offset = 0; offset < size; offset += kBlockSize) {
    // A short read means the source shrank or failed since it was measured;
    // the stale buffer must never be written as data.
    if (std::fread(block.data(), 1, block.size(), src) != block.size()) {
      return Outcome::read_failed;
    }
    const RecordHeader header = build_record_header(start_address, offset, block);
    if (std::fwrite(header.data(), 1, header.size(), dst) != header.size() ||
        std::fwrite(block.data(), 1, block.size(), dst) != block.size()) {
      return Outcome::write_failed;
    }
  }
  return Outcome::converted;
}

Outcome convert_files(std::FILE* src, std::FILE* dst,
                      std::uint32_t start_address) {
  const std::optional<std::uint64_t> size = image_size(src);
  Outcome outcome = Outcome::size_unsupported;
  if (size && (*size & kBlockMask) == 0) {
    outcome = write_records(src, dst, start_address, *size);
  }

  // Both streams are closed whatever happened. A failed close only changes an
  // outcome that was a success so far: the first problem is the one reported.
  const bool src_closed = std::fclose(src) == 0;
  const bool dst_flushed = std::fflush(dst) == 0;
  // The last data may only reach the file here (disk full, I/O error).
  const bool dst_closed = std::fclose(dst) == 0;
  if (outcome == Outcome::converted && !src_closed) {
    outcome = Outcome::read_failed;
  }
  if (outcome == Outcome::converted && !(dst_flushed && dst_closed)) {
    outcome = Outcome::write_failed;
  }
  return outcome;
}

}  // namespace varnel
