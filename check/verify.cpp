#include "check/verify.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>

#include "check/record_input.h"
#include "console/console_output.h"
#include "console/interruption.h"
#include "files/stream_read.h"
#include "records/record_format.h"
#include "records/record_reader.h"

namespace varnel {
namespace {

std::uint32_t end_address(const RecordFields& fields) {
  return (fields.address + fields.length) & kField24Mask;
}

RecordFault fault_of(HeaderFault fault) {
  switch (fault) {
    case HeaderFault::record_type:
      return RecordFault::record_type;
    case HeaderFault::header_checksum:
      return RecordFault::header_checksum;
    case HeaderFault::length:
      return RecordFault::length;
    case HeaderFault::none:
      break;
  }
  return RecordFault::none;
}

// Why a write failed; a failure that left errno unset is still one.
std::error_code last_error() {
  return {errno != 0 ? errno : EIO, std::generic_category()};
}

// Marks `result` as failed by `read`, which did not fill what it read into:
// cut short (the file ended) as `cut_short`.
void read_stopped(Verification& result, const StreamRead& read,
                  RecordFault cut_short);

// Reads the data bytes of record number `record`, with the header `fields`,
// a chunk at a time, adding them to `sum`, copying them to `image` unless it
// is null and handing them to `sink` unless it is empty. False, with the
// reason in `result`, when they could not all be read, copied or taken.
bool read_data(RecordInput& records, const RecordFields& fields,
               std::uint64_t record, std::span<std::uint8_t> chunk,
               std::FILE* image, const DataSink& sink, std::uint8_t& sum,
               Verification& result) {
  const std::uint32_t length = fields.length;
  // Once interrupted, nothing more is read or written.
  const auto stop_if_interrupted = [&result] {
    if (interrupted()) {
      result.verdict = Verdict::interrupted;
    }
    return interrupted();
  };
  for (std::uint32_t left = length; left > 0;) {
    const std::size_t want = std::min<std::size_t>(left, chunk.size());
    if (stop_if_interrupted()) {
      return false;
    }
    const StreamRead read = read_input(records, chunk.first(want));
    if (stop_if_interrupted()) {
      return false;
    }
    if (read.end != ReadEnd::full) {
      read_stopped(result, read, RecordFault::cut_short_in_data);
      return false;
    }
    sum = byte_sum(sum, chunk.first(want));
    if (image != nullptr && std::fwrite(chunk.data(), 1, want, image) != want) {
      result.verdict = Verdict::write_failed;
      result.error = last_error();
      return false;
    }
    const std::uint32_t done = length - left;
    if (sink && !sink({record, (fields.address + done) & kField24Mask,
                       done == 0, chunk.first(want)})) {
      result.verdict = Verdict::stopped;
      return false;
    }
    left -= static_cast<std::uint32_t>(want);
  }
  return true;
}

// One line of the listing: number, byte offset, address, length and data
// checksum. Plain blanks between the columns, so that two listings compare
// line by line and split with any tool. On a terminal that also shows the
// progress line, the row stands on a line of its own.
bool list_record(std::FILE* listing, Progress* progress, std::uint64_t number,
                 std::uint64_t offset, const RecordFields& fields) {
  if (progress != nullptr) {
    progress_before_row(*progress);
  }
  // A stream keeps a failed write to itself until its buffer is flushed,
  // but remembers it: the listing stops at the first.
  const bool written =
      print_text(listing,
                 "%" PRIu64 " %" PRIu64 " %06" PRIX32 " %" PRIX32 " %02X\n",
                 number, offset, fields.address, fields.length,
                 static_cast<unsigned>(fields.data_checksum)) &&
      std::ferror(listing) == 0;
  if (progress != nullptr) {
    progress_after_row(*progress);
  }
  return written;
}

// Marks `result` as invalid, for the record being read.
Verification& invalid(Verification& result, RecordFault fault) {
  result.verdict = Verdict::invalid;
  result.fault = fault;
  return result;
}

enum class HeaderRead { found, end_of_file, stopped };

void read_stopped(Verification& result, const StreamRead& read,
                  RecordFault cut_short) {
  switch (read.end) {
    case ReadEnd::failed:
      result.verdict = Verdict::read_failed;
      result.error = read.error;
      return;
    case ReadEnd::interrupted:
      result.verdict = Verdict::interrupted;
      return;
    case ReadEnd::end_of_file:
    case ReadEnd::full:
      (void)invalid(result, cut_short);
      return;
  }
}

// Reads and checks the next header into `fields`. At a wrong header or a
// failed read, says why in `result` and stops.
HeaderRead next_header(RecordInput& records, Verification& result,
                       RecordFields& fields) {
  RecordHeader header{};
  const StreamRead read = read_input(records, header);
  if (read.end == ReadEnd::end_of_file && read.got == 0) {
    return HeaderRead::end_of_file;  // between two records
  }
  if (read.end != ReadEnd::full) {
    read_stopped(result, read, RecordFault::cut_short_in_header);
    return HeaderRead::stopped;
  }
  const ParsedHeader parsed = parse_record_header(header);
  if (parsed.fault != HeaderFault::none) {
    (void)invalid(result, fault_of(parsed.fault));
    return HeaderRead::stopped;
  }
  fields = parsed.fields;
  return HeaderRead::found;
}

// Adds a record found right to the summary and its runs, and moves past it.
// Only the first runs are kept; the others are counted.
void count_record(Verification& result, const RecordFields& fields,
                  bool continues_run) {
  Summary& summary = result.summary;
  ++summary.records;
  if (!continues_run) {
    ++summary.run_count;
    if (summary.runs.size() < kMaxRunsKept) {
      summary.runs.push_back({fields.address, 0, 0});
    }
  }
  if (summary.run_count == summary.runs.size()) {
    Run& run = summary.runs.back();
    run.length += fields.length;
    ++run.records;
  }
  note_addresses(summary.reuse, summary.records, fields.address, fields.length,
                 continues_run);
  summary.data_bytes += fields.length;
  summary.all_blocks = summary.all_blocks && fields.length == kBlockSize;
  result.offset += kHeaderSize + fields.length;
}

// After the wrong record that `result` names, at the start of the walk's
// next step: counts it, keeps it among the first kFaultsKept, and moves to
// where the next record of a file of 8192-byte blocks starts, 8201 bytes
// after it. True when the walk reads on; false when the file ended before
// (`result` valid), or a read failed or was interrupted (`result` says so).
bool read_on(RecordInput& input, std::span<std::uint8_t> chunk,
             Verification& result) {
  ++result.wrong_records;
  if (result.faults.size() < kFaultsKept) {
    result.faults.push_back({result.fault, result.record, result.offset});
  }
  result.verdict = Verdict::valid;
  result.fault = RecordFault::none;
  const std::uint64_t next = result.offset + kRecordSize;
  result.offset = next;
  if (input.position > next) {
    go_back(input, next);  // over the data of a record longer than a block
    return true;
  }
  while (input.position < next) {
    const auto want = static_cast<std::size_t>(
        std::min<std::uint64_t>(chunk.size(), next - input.position));
    const StreamRead read = read_input(input, chunk.first(want));
    if (read.end == ReadEnd::end_of_file) {
      return false;
    }
    if (read.end != ReadEnd::full) {
      read_stopped(result, read, RecordFault::none);
      return false;
    }
  }
  return true;
}

// Once the walk has reached the end: with wrong records found on the way,
// the file is invalid, and the first of them is the one it names.
void walked_to_end(Verification& result) {
  if (result.wrong_records > 0) {
    const FaultFound first = result.faults.front();
    (void)invalid(result, first.fault);
    result.record = first.record;
    result.offset = first.offset;
  }
}

// Reads the next record, checks it, and counts and lists it when it is
// right. False at the end of the file (`result` valid), and when the record
// is wrong or could not be read through (`result` says which).
bool next_record(RecordInput& input, const Walk& walk,
                 std::span<std::uint8_t> chunk, std::uint32_t& next_address,
                 Verification& result) {
  RecordFields fields;
  if (next_header(input, result, fields) != HeaderRead::found) {
    return false;
  }
  const Summary& summary = result.summary;
  const bool continues_run =
      summary.records > 0 && fields.address == next_address;
  // The image is the data of one run only; past a second run it is moot.
  std::FILE* const copy_to =
      summary.records == 0 || (continues_run && summary.run_count == 1)
          ? walk.image
          : nullptr;
  // The data of a record longer than a block runs past where the next
  // record would start: kept, to go back to should this one be wrong.
  keep_input_from(input, kHeaderSize + fields.length > kRecordSize
                             ? result.offset + kRecordSize
                             : kKeepNothing);
  std::uint8_t sum = 0;
  const bool read = read_data(input, fields, result.record, chunk, copy_to,
                              walk.data, sum, result);
  keep_input_from(input, kKeepNothing);
  if (!read) {
    return false;
  }
  if (!data_sum_matches(fields, sum)) {
    (void)invalid(result, RecordFault::data_checksum);
    return false;
  }
  // A listing that cannot be written is lost for good (a reader that quit):
  // the rest of the file is not read for it.
  if (walk.listing != nullptr &&
      !list_record(walk.listing, walk.progress, result.record, result.offset,
                   fields)) {
    result.verdict = Verdict::listing_failed;
    return false;
  }
  count_record(result, fields, continues_run);
  next_address = end_address(fields);
  if (walk.progress != nullptr) {
    show_progress(*walk.progress, result.offset);
  }
  return true;
}

}  // namespace

Verification verify_records(std::FILE* records, std::FILE* image,
                            std::FILE* listing, std::span<std::uint8_t> chunk,
                            Progress* progress) {
  Walk walk;
  walk.image = image;
  walk.listing = listing;
  walk.progress = progress;
  walk.chunk = chunk;
  return verify_records(records, walk);
}

Verification verify_records(std::FILE* records, const Walk& walk) {
  Verification result;
  if (walk.listing != nullptr &&
      (!write_text(walk.listing, "record offset address length checksum\n") ||
       std::ferror(walk.listing) != 0)) {
    result.verdict = Verdict::listing_failed;
    return result;
  }
  const std::span<std::uint8_t> chunk = walk.chunk;
  if (chunk.empty()) {
    // Nothing could be read through it: a walk set up without its memory.
    result.verdict = Verdict::read_failed;
    result.error = std::make_error_code(std::errc::invalid_argument);
    return result;
  }
  RecordInput input;
  input.stream = records;
  input.waits = can_block(records);
  if (walk.all_faults) {
    input.window = walk.replay_window;
    result.faults.reserve(kFaultsKept);
  }
  std::uint32_t next_address = 0;
  for (;;) {
    if (interrupted()) {
      result.verdict = Verdict::interrupted;
      return result;
    }
    result.record = result.summary.records + result.wrong_records + 1;
    if (next_record(input, walk, chunk, next_address, result)) {
      continue;
    }
    // A wrong record stops the walk, or with all_faults is noted and passed
    // until the file ends.
    const bool reads_on = walk.all_faults &&
                          result.verdict == Verdict::invalid &&
                          read_on(input, chunk, result);
    if (!reads_on) {
      if (result.verdict == Verdict::valid) {
        walked_to_end(result);
      }
      return result;
    }
  }
}

const char* describe(RecordFault fault) {
  switch (fault) {
    case RecordFault::record_type:
      return "wrong record type";
    case RecordFault::header_checksum:
      return "wrong header checksum";
    case RecordFault::length:
      return "length is 0";
    case RecordFault::data_checksum:
      return "wrong data checksum";
    case RecordFault::cut_short_in_header:
      return "cut short inside the header";
    case RecordFault::cut_short_in_data:
      return "cut short inside the data";
    case RecordFault::none:
      break;
  }
  return "no fault";
}

}  // namespace varnel
