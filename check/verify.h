// Walking a record file front to back: checking every record, counting what
// it holds, and optionally copying the data out as the raw image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <system_error>
#include <vector>

#include "check/address_reuse.h"
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

// Records, each at the address where the one before it ended (modulo
// 0x1000000).
struct Run {
  std::uint32_t first_address = 0;
  std::uint64_t length = 0;  // bytes of data
  std::uint64_t records = 0;
};

// The runs kept for the report, whatever the number of records: memory stays
// the same for any record file. The rest are only counted.
inline constexpr std::size_t kMaxRunsKept = 10000;

struct Summary {
  std::uint64_t records = 0;
  std::uint64_t data_bytes = 0;
  std::vector<Run> runs;        // the first kMaxRunsKept, in file order
  std::uint64_t run_count = 0;  // all of them
  bool all_blocks = true;       // every record is 8192 bytes long
  AddressReuse reuse;           // records that use addresses again
};

enum class Verdict {
  valid,
  invalid,
  read_failed,
  write_failed,    // of the image
  listing_failed,  // of the listing: nothing more is read
  interrupted,
};

struct Verification {
  Verdict verdict = Verdict::valid;
  Summary summary;
  // For an invalid file: the first wrong record, from 1, and where it starts.
  RecordFault fault = RecordFault::none;
  std::uint64_t record = 0;
  std::uint64_t offset = 0;
  std::error_code error;  // why a read or write failed
};

// The data of a record is read in pieces of this size, whatever its length.
inline constexpr std::size_t kChunkSize = std::size_t{1} << 20U;

// Reads `records` once, from its current position to its end, checking each
// record and gathering the runs as it goes: a pipe will do. The data is read
// through `chunk` (kChunkSize bytes, allocated before any file was opened).
// While the records form one run, their data goes to `image` when it is not
// null. When `listing` is not null, a line naming the columns goes there
// first, then a line for each record once it is found right. Shows
// `progress` unless it is null, kept apart from the rows of the listing where
// they share a terminal. Stops at the first wrong record, failed read or
// write (of the listing too: a listing nobody reads stops the walk), or
// interruption.
[[nodiscard]] Verification verify_records(std::FILE* records, std::FILE* image,
                                          std::FILE* listing,
                                          std::span<std::uint8_t> chunk,
                                          Progress* progress = nullptr);

// What is wrong, in words, for the message naming the record.
[[nodiscard]] const char* describe(RecordFault fault);

}  // namespace varnel
