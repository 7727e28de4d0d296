#include "check/verify.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <vector>

#include "console/console_output.h"
#include "console/interruption.h"
#include "records/record_format.h"
#include "records/record_reader.h"

namespace varnel {
namespace {

// Data is read in pieces of this size, whatever the length of a record.
constexpr std::size_t kChunkSize = 1 << 20;

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

// Reads a header. Sets `cut_short` when the file ends inside it; false with
// neither means the file ended cleanly before it, or a read failed.
bool read_header(std::FILE* in, RecordHeader& header, bool& cut_short) {
  const std::size_t got = std::fread(header.data(), 1, header.size(), in);
  cut_short = got > 0 && got < header.size() && std::ferror(in) == 0;
  return got == header.size();
}

enum class DataRead {
  complete,
  cut_short,
  read_failed,
  write_failed,
  interrupted
};

// Why the last call failed; a failure that left errno unset is still one.
std::error_code last_error() {
  return {errno != 0 ? errno : EIO, std::generic_category()};
}

// Reads the `length` data bytes of one record a chunk at a time, adding them
// to `sum` and copying them to `image` unless it is null.
DataRead read_data(std::FILE* records, std::uint32_t length,
                   std::span<std::uint8_t> chunk, std::FILE* image,
                   std::uint8_t& sum) {
  for (std::uint32_t left = length; left > 0;) {
    if (interrupted()) {
      return DataRead::interrupted;
    }
    const std::size_t want = std::min<std::size_t>(left, chunk.size());
    const std::size_t got = std::fread(chunk.data(), 1, want, records);
    if (got != want) {
      return std::ferror(records) != 0 ? DataRead::read_failed
                                       : DataRead::cut_short;
    }
    sum = byte_sum(sum, chunk.first(got));
    if (image != nullptr && std::fwrite(chunk.data(), 1, got, image) != got) {
      return DataRead::write_failed;
    }
    left -= static_cast<std::uint32_t>(got);
  }
  return DataRead::complete;
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
  const bool written = print_text(
      listing, "%" PRIu64 " %" PRIu64 " %06" PRIX32 " %" PRIX32 " %02X\n",
      number, offset, fields.address, fields.length,
      static_cast<unsigned>(fields.data_checksum));
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

// Reads and checks the next header into `fields`. At a wrong header or a
// failed read, says why in `result` and stops.
HeaderRead next_header(std::FILE* records, Verification& result,
                       RecordFields& fields) {
  RecordHeader header{};
  bool cut_short = false;
  if (!read_header(records, header, cut_short)) {
    if (std::ferror(records) != 0) {
      result.verdict = Verdict::read_failed;
      result.error = last_error();
      return HeaderRead::stopped;
    }
    if (cut_short) {
      (void)invalid(result, RecordFault::cut_short_in_header);
      return HeaderRead::stopped;
    }
    return HeaderRead::end_of_file;  // between two records
  }
  const ParsedHeader parsed = parse_record_header(header);
  if (parsed.fault != HeaderFault::none) {
    (void)invalid(result, fault_of(parsed.fault));
    return HeaderRead::stopped;
  }
  fields = parsed.fields;
  return HeaderRead::found;
}

// Whether the data was read whole; if not, says why in `result`.
bool data_complete(DataRead read, Verification& result) {
  switch (read) {
    case DataRead::complete:
      return true;
    case DataRead::cut_short:
      (void)invalid(result, RecordFault::cut_short_in_data);
      return false;
    case DataRead::read_failed:
      result.verdict = Verdict::read_failed;
      result.error = last_error();
      return false;
    case DataRead::write_failed:
      result.verdict = Verdict::write_failed;
      result.error = last_error();
      return false;
    case DataRead::interrupted:
      result.verdict = Verdict::interrupted;
      return false;
  }
  return false;
}

// Adds a record found right to the summary and its runs, lists it, and moves
// past it.
void count_record(Verification& result, const RecordFields& fields,
                  bool continues_run, std::FILE* listing, Progress* progress) {
  Summary& summary = result.summary;
  ++summary.records;
  if (listing != nullptr &&
      !list_record(listing, progress, summary.records, result.offset, fields)) {
    result.listing_lost = true;
  }
  if (!continues_run) {
    summary.runs.push_back({fields.address, 0, 0});
  }
  Run& run = summary.runs.back();
  run.length += fields.length;
  ++run.records;
  note_addresses(summary.reuse, summary.records, fields.address, fields.length,
                 continues_run);
  summary.data_bytes += fields.length;
  summary.all_blocks = summary.all_blocks && fields.length == kBlockSize;
  result.offset += kHeaderSize + fields.length;
}

}  // namespace

Verification verify_records(std::FILE* records, std::FILE* image,
                            std::FILE* listing, Progress* progress) {
  Verification result;
  if (listing != nullptr &&
      !write_text(listing, "record offset address length checksum\n")) {
    result.listing_lost = true;
  }
  Summary& summary = result.summary;
  std::vector<std::uint8_t> chunk(kChunkSize);
  std::uint32_t next_address = 0;

  for (;;) {
    if (interrupted()) {
      result.verdict = Verdict::interrupted;
      return result;
    }
    result.record = summary.records + 1;
    RecordFields fields;
    if (next_header(records, result, fields) != HeaderRead::found) {
      return result;
    }
    const bool continues_run =
        summary.records > 0 && fields.address == next_address;
    // The image is the data of one run only; past a second run it is moot.
    std::FILE* const copy_to =
        summary.records == 0 || (continues_run && summary.runs.size() == 1)
            ? image
            : nullptr;
    std::uint8_t sum = 0;
    if (!data_complete(read_data(records, fields.length, chunk, copy_to, sum),
                       result)) {
      return result;
    }
    if (!data_sum_matches(fields, sum)) {
      return invalid(result, RecordFault::data_checksum);
    }
    count_record(result, fields, continues_run, listing, progress);
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
