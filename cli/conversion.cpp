#include "cli/conversion.h"

#include <algorithm>
#include <cerrno>
#include <span>

#include "cli/block_io.h"
#include "console/interruption.h"
#include "files/source_file.h"
#include "files/system.h"
#include "records/record_format.h"
#include "records/record_header.h"

namespace varnel {
Outcome write_records(std::FILE* src, std::FILE* dst,
                      std::uint32_t start_address, std::uint64_t size,
                      std::span<std::uint8_t> records, Progress* progress) {
  // One buffer for the whole run, whatever the size of the image. Blocks are
  // read straight into their records, so each byte is copied in and out once.
  const std::uint64_t total_blocks = size / kBlockSize;
  for (std::uint64_t done = 0; done < total_blocks;) {
    if (interrupted()) {
      return Outcome::interrupted;
    }
    const auto count = static_cast<std::size_t>(
        std::min<std::uint64_t>(kBatchBlocks, total_blocks - done));
    const std::span<std::uint8_t> batch(records.data(), count * kRecordSize);
    // A short read means the source shrank or failed since it was measured;
    // the stale buffer must never be written as data.
    if (!read_blocks(src, done * kBlockSize, batch)) {
      return Outcome::read_failed;
    }
    for (std::size_t i = 0; i < count; ++i) {
      std::uint8_t* const record = batch.data() + i * kRecordSize;
      const RecordHeader header =
          build_record_header(start_address, (done + i) * kBlockSize,
                              std::span(record + kHeaderSize, kBlockSize));
      std::copy(header.begin(), header.end(), record);
    }
    // The disk starts on each batch as soon as it is written, so that the
    // sync before the record file takes its name finds little left to do.
    std::error_code error;
    if (!write_all(dst, batch) ||
        !write_back(dst, done * kRecordSize, batch.size(), error)) {
      return Outcome::write_failed;
    }
    done += count;
    if (progress != nullptr) {
      show_progress(*progress, done * kBlockSize);
    }
  }
  // A source that holds more than it was measured at grew while it was read:
  // its record file would miss the rest.
  if (!ends_at(src, size)) {
    return Outcome::read_failed;
  }
  return Outcome::converted;
}

Outcome convert_files(std::FILE* src, std::FILE* dst,
                      std::uint32_t start_address,
                      std::span<std::uint8_t> records, Progress* progress,
                      std::error_code* why) {
  const std::optional<std::uint64_t> size = source_size(src);
  Outcome outcome = Outcome::size_unsupported;
  if (size && (*size & kBlockMask) == 0) {
    if (progress != nullptr) {
      progress->total = size;
    }
    outcome = write_records(src, dst, start_address, *size, records, progress);
  }
  // Taken at once: the failed write or sync left it, and the close may not.
  if (outcome == Outcome::write_failed && why != nullptr) {
    *why = errno_error();
  }

  // A failed close only changes an outcome that was a success so far: the
  // first problem is the one reported. All of the data was read, but no
  // failure is hidden.
  if (std::fclose(src) != 0 && outcome == Outcome::converted) {
    outcome = Outcome::read_failed;
  }
  return outcome;
}

}  // namespace varnel
