// Comparing the data of a record file's records, in file order, with the
// bytes of an image, as the records are read: both are read once, side by
// side, and nothing is written.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <system_error>

#include "check/verify.h"

namespace varnel {

struct Comparison {
  std::FILE* image = nullptr;
  bool waits = false;  // its reads can block (a pipe): see read_fully
  // What has been read of the image and not yet compared: window[at, end).
  std::span<std::uint8_t> window;
  std::size_t at = 0;
  std::size_t end = 0;
  std::uint64_t equal_bytes = 0;  // compared and found equal so far
  bool image_ended = false;       // the image had no more bytes to compare
  // The first difference: in record `record`, at byte `offset` of the image,
  // which the record puts at `address`.
  bool differs = false;
  std::uint64_t record = 0;
  std::uint64_t offset = 0;
  std::uint32_t address = 0;
  bool failed = false;  // a read of the image failed or was interrupted
  std::error_code error;
};

// Compares `piece` with the next bytes of the image, unless a difference or
// the image's end was found before. False when the image could not be read
// (comparison.failed).
[[nodiscard]] bool compare_piece(Comparison& comparison,
                                 const DataPiece& piece);

enum class Likeness {
  equal,    // the image holds the data exactly
  differs,  // at the first difference that the comparison keeps
  longer,   // the image holds the data, and more bytes after it
  shorter,  // the image holds the start of the data only
  failed,   // the image could not be read (comparison.error)
};

struct CompareResult {
  Likeness likeness = Likeness::equal;
  std::uint64_t bytes = 0;  // longer or shorter by this many
};

// Once the records have been read through, holding `data_bytes` bytes of
// data: reads what is left of the image, to count it, and says how the two
// compare.
[[nodiscard]] CompareResult finish_comparison(Comparison& comparison,
                                              std::uint64_t data_bytes);

}  // namespace varnel
