#include "check/verify.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>

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

// Where the records come from: a stream, and whether its reads can block
// (a pipe, a terminal), so that each must wait in a way that no interruption
// slips past.
struct Input {
  std::FILE* stream = nullptr;
  bool waits = false;
};

// Why a write failed; a failure that left errno unset is still one.
std::error_code last_error() {
  return {errno != 0 ? errno : EIO, std::generic_category()};
}

// Marks `result` as failed by `read`, which did not fill what it read into:
// cut short (the file ended) as `cut_short`.
void read_stopped(Verification& result, const StreamRead& read,
                  RecordFault cut_short);

// Reads the `length` data bytes of one record a chunk at a time, adding them
// to `sum` and copying them to `image` unless it is null. False, with the
// reason in `result`, when they could not all be read, or copied.
bool read_data(Input& records, std::uint32_t length,
               std::span<std::uint8_t> chunk, std::FILE* image,
               std::uint8_t& sum, Verification& result) {
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
    const StreamRead read =
        read_fully(records.stream, records.waits, chunk.first(want));
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
HeaderRead next_header(Input& records, Verification& result,
                       RecordFields& fields) {
  RecordHeader header{};
  const StreamRead read = read_fully(records.stream, records.waits, header);
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

}  // namespace

Verification verify_records(std::FILE* records, std::FILE* image,
                            std::FILE* listing, std::span<std::uint8_t> chunk,
                            Progress* progress) {
  Verification result;
  if (listing != nullptr &&
      (!write_text(listing, "record offset address length checksum\n") ||
       std::ferror(listing) != 0)) {
    result.verdict = Verdict::listing_failed;
    return result;
  }
  Summary& summary = result.summary;
  Input input{records, can_block(records)};
  std::uint32_t next_address = 0;

  for (;;) {
    if (interrupted()) {
      result.verdict = Verdict::interrupted;
      return result;
    }
    result.record = summary.records + 1;
    RecordFields fields;
    if (next_header(input, result, fields) != HeaderRead::found) {
      return result;
    }
    const bool continues_run =
        summary.records > 0 && fields.address == next_address;
    // The image is the data of one run only; past a second run it is moot.
    std::FILE* const copy_to =
        summary.records == 0 || (continues_run && summary.run_count == 1)
            ? image
            : nullptr;
    std::uint8_t sum = 0;
    if (!read_data(input, fields.length, chunk, copy_to, sum, result)) {
      return result;
    }
    if (!data_sum_matches(fields, sum)) {
      return invalid(result, RecordFault::data_checksum);
    }
    // A listing that cannot be written is lost for good (a reader that
    // quit): the rest of the file is not read for it.
    if (listing != nullptr &&
        !list_record(listing, progress, summary.records + 1, result.offset,
                     fields)) {
      result.verdict = Verdict::listing_failed;
      return result;
    }
    count_record(result, fields, continues_run);
    next_address = end_address(fields);
    if (progress != nullptr) {
      show_progress(*progress, result.offset);
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
