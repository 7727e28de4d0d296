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
#include "records/record_format.h"

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
  // Reading on past it: the bytes from its start to the next record, when
  // that record had to be searched for; 0 when it was where the wrong one
  // ends by its length field, or 8201 bytes after its start.
  std::uint64_t skipped = 0;
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

struct ImageBatch;

// What a walk does besides checking the records.
struct Walk {
  ImageBatch* image = nullptr;   // the data of one run, as the raw image
  std::FILE* listing = nullptr;  // a line for each record found right
  Progress* progress = nullptr;
  // The data of every record, until a wrong one is found; none when empty.
  DataSink data;
  // Read on past each wrong record, at the next record found: where the
  // wrong one ends by its length field, or 8201 bytes after its start (where
  // the next record of a file of 8192-byte blocks starts), when a header is
  // right there; otherwise the first record, up to kSearchedBytes after it,
  // that checks out together with the record after it (see kTriedHeaders);
  // otherwise 8201 bytes after it.
  bool all_faults = false;
  // What the file is read through, allocated before any file was opened:
  // kReadBufferSize bytes, and kAllFaultsMemory more with all_faults.
  std::span<std::uint8_t> buffer;
};

// Past a wrong record, the next record is searched for among the bytes up to
// this many after its start: those of two records from varnel.
inline constexpr std::size_t kSearchedBytes = 2 * kRecordSize;

// Of those, at most this many places with a right header are tried (their
// data and the record after them summed), so that a file made of headers
// costs little more to walk than any other.
inline constexpr std::size_t kTriedHeaders = 16;

// Reads `records` once, from its current position to its end, checking each
// record and gathering the runs as it goes: a pipe will do. While the records
// form one run, their data goes to walk.image when it is not null, a batch at
// a time. When walk.listing is not null, a line naming the columns goes there
// first, then a line for each record once it is found right. Shows
// walk.progress unless it is null, kept apart from the rows of the listing
// where they share a terminal. Stops at the first wrong record, failed read
// or write (of the listing too: a listing nobody reads stops the walk), or
// interruption. With walk.all_faults, a wrong record does not stop it: each
// is counted and the first kFaultsKept kept, and the file is invalid at the
// end when any was found; a failed read or write, or an interruption, still
// stops it.
[[nodiscard]] Verification verify_records(std::FILE* records, const Walk& walk);

// What is wrong, in words, for the message naming the record.
[[nodiscard]] const char* describe(RecordFault fault);

}  // namespace varnel
