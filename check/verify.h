// Walking a record file front to back: checking every record, counting what
// it holds, and optionally copying the data out as the raw image.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "console/progress.h"

namespace varnel {

enum class RecordFault {
  none,
  record_type,
  header_checksum,
  length,
  data_checksum,
  cut_short_in_header,
  cut_short_in_data,
};

struct Summary {
  std::uint64_t records = 0;
  std::uint64_t data_bytes = 0;
  // Runs of records, each at the address where the previous one ended
  // (modulo 0x1000000).
  std::uint64_t runs = 0;
  std::uint32_t first_address = 0;
  bool all_blocks = true;  // every record is 8192 bytes long
};

enum class Verdict { valid, invalid, read_failed, write_failed, interrupted };

struct Verification {
  Verdict verdict = Verdict::valid;
  Summary summary;
  // For an invalid file: the first wrong record, from 1, and where it starts.
  RecordFault fault = RecordFault::none;
  std::uint64_t record = 0;
  std::uint64_t offset = 0;
};

// Reads `records` from its current position to its end, checking each record.
// While the records form one run, their data goes to `image` when it is not
// null. When `listing` is not null, a line naming the columns goes there
// first, then a line for each record once it is found right. Shows
// `progress` unless it is null. Stops at the first wrong record, failed read
// or write, or interruption.
[[nodiscard]] Verification verify_records(std::FILE* records, std::FILE* image,
                                          std::FILE* listing,
                                          Progress* progress = nullptr);

// What is wrong, in words, for the message naming the record.
[[nodiscard]] const char* describe(RecordFault fault);

// Prints one line per run of a file already found valid, reading its headers
// again from the start: "run N: FIRST to LAST (R records)". False when the
// file cannot be read again or no longer matches `summary`.
[[nodiscard]] bool print_runs(std::FILE* records, const Summary& summary,
                              std::FILE* out);

}  // namespace varnel
