// Walking a record file front to back: checking every record, counting what
// it holds, and optionally copying the data out as the raw image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
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

// A wrong record, found where it starts.
struct FaultFound {
  RecordFault fault = RecordFault::none;
  std::uint64_t record = 0;  // from 1
  std::uint64_t offset = 0;  // byte where it starts
};

// Past a wrong record, the walk names at most this many more.
inline constexpr std::size_t kFaultsKept = 100;

enum class Verdict {
  valid,
  invalid,
  read_failed,
  write_failed,    // of the image
  listing_failed,  // of the listing: nothing more is read
  interrupted,
  stopped,  // the sink of the data stopped the walk, for a reason of its own
};

struct Verification {
  Verdict verdict = Verdict::valid;
  Summary summary;
  // For an invalid file: the first wrong record, from 1, and where it starts.
  RecordFault fault = RecordFault::none;
  std::uint64_t record = 0;
  std::uint64_t offset = 0;
  std::error_code error;  // why a read or write failed
  // Reading on past wrong records: the first kFaultsKept of them, in file
  // order, and how many there are in all.
  std::vector<FaultFound> faults;
  std::uint64_t wrong_records = 0;
};

// A piece of the data of one record, handed over as it is read, before the
// record's data checksum is known: the bytes of `data` belong at the
// addresses from `address` on, which wrap from FFFFFF to 000000.
struct DataPiece {
  std::uint64_t record = 0;  // from 1
  std::uint32_t address = 0;
  bool starts_record = false;  // the first piece of its record
  std::span<const std::uint8_t> data;
};

// Takes the data of every record, piece by piece. False stops the walk
// (Verdict::stopped); the sink keeps its own reason.
using DataSink = std::function<bool(const DataPiece&)>;

// What a walk does besides checking the records.
struct Walk {
  std::FILE* image = nullptr;    // the data of one run, as the raw image
  std::FILE* listing = nullptr;  // a line for each record found right
  Progress* progress = nullptr;
  DataSink data;  // the data of every record, right or wrong; none when empty
  // Read on past each wrong record, at the next record of a file of 8192-byte
  // blocks: 8201 bytes after the start of the wrong one. Going back there
  // over the data of a longer record takes `replay_window`, of
  // kReplayWindowSize bytes.
  bool all_faults = false;
  std::span<std::uint8_t> replay_window;
  // What the data is read through: kChunkSize bytes, allocated before any
  // file was opened.
  std::span<std::uint8_t> chunk;
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

// The same walk, with what `walk` asks for besides. With walk.all_faults, a
// wrong record does not stop it: each is counted and the first kFaultsKept
// kept, and the file is invalid at the end when any was found; a failed read
// or write, or an interruption, still stops it.
[[nodiscard]] Verification verify_records(std::FILE* records, const Walk& walk);

// What is wrong, in words, for the message naming the record.
[[nodiscard]] const char* describe(RecordFault fault);

}  // namespace varnel
