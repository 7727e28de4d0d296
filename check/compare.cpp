#include "check/compare.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "console/interruption.h"
#include "files/stream_read.h"
#include "records/record_format.h"

namespace varnel {
namespace {

// Reads the next window of the image. False when the read failed.
bool refill(Comparison& comparison) {
  const StreamRead read = read_fully(
      comparison.image, comparison.waits ? wait_until_ready : nullptr,
      comparison.window);
  comparison.at = 0;
  comparison.end = read.got;
  switch (read.end) {
    case ReadEnd::full:
      return true;
    case ReadEnd::end_of_file:
      comparison.image_ended = true;  // not read again: a terminal would wait
      return true;
    case ReadEnd::failed:
      comparison.error = read.error;
      break;
    case ReadEnd::interrupted:
      comparison.error = std::make_error_code(std::errc::interrupted);
      break;
  }
  comparison.failed = true;
  return false;
}

}  // namespace

bool compare_piece(Comparison& comparison, const DataPiece& piece) {
  const std::span<const std::uint8_t> data = piece.data;
  for (std::size_t done = 0; !comparison.differs && done < data.size();) {
    if (comparison.at == comparison.end) {
      if (comparison.image_ended) {
        return true;  // the data goes on past the end of the image
      }
      if (!refill(comparison)) {
        return false;
      }
      continue;
    }
    const std::size_t size =
        std::min(comparison.end - comparison.at, data.size() - done);
    const std::uint8_t* const image = comparison.window.data() + comparison.at;
    const std::uint8_t* const records = data.data() + done;
    // memcmp finds whether they differ fastest; where, only when they do.
    if (std::memcmp(image, records, size) != 0) {
      const auto at = static_cast<std::size_t>(
          std::mismatch(image, image + size, records).first - image);
      comparison.differs = true;
      comparison.record = piece.record;
      comparison.offset = comparison.equal_bytes + at;
      comparison.address =
          static_cast<std::uint32_t>(piece.address + done + at) & kField24Mask;
      return true;
    }
    comparison.at += size;
    comparison.equal_bytes += size;
    done += size;
  }
  return true;
}

CompareResult finish_comparison(Comparison& comparison,
                                std::uint64_t data_bytes) {
  if (comparison.failed) {
    return {Likeness::failed, 0};
  }
  if (comparison.differs) {
    return {Likeness::differs, 0};
  }
  if (comparison.equal_bytes < data_bytes) {
    return {Likeness::shorter, data_bytes - comparison.equal_bytes};
  }
  // The rest of the image, read to be counted.
  std::uint64_t more = comparison.end - comparison.at;
  while (!comparison.image_ended) {
    if (!refill(comparison)) {
      return {Likeness::failed, 0};
    }
    more += comparison.end;
  }
  comparison.at = comparison.end;
  if (more > 0) {
    return {Likeness::longer, more};
  }
  return {Likeness::equal, 0};
}

}  // namespace varnel
