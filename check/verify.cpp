#include "check/verify.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstring>

#include "check/image_output.h"
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

// The walk as it goes.
struct WalkState {
  RecordInput input;
  Verification result;
  std::uint64_t position = 0;      // where the record being read starts
  std::uint32_t next_address = 0;  // where the last record found right ended
};

ParsedHeader header_in(std::span<const std::uint8_t> bytes) {
  RecordHeader header{};
  std::copy_n(bytes.begin(), kHeaderSize, header.begin());
  return parse_record_header(header);
}

// The bytes from `position` on, as bytes_at gives them. The pieces of the
// image gathered so far lie in the buffer: before it is read into, they are
// written. False, with the reason in the result, when that write or the read
// fails, or an interruption stops the read.
bool fetch(WalkState& state, const Walk& walk, std::uint64_t position,
           std::size_t count, HeldBytes& held) {
  Verification& result = state.result;
  if (walk.image != nullptr && !holds(state.input, position, count) &&
      !write_image_batch(*walk.image)) {
    result.verdict = Verdict::write_failed;
    result.error = walk.image->error;
    return false;
  }
  held = bytes_at(state.input, position, count);
  switch (held.end) {
    case ReadEnd::full:
    case ReadEnd::end_of_file:
      return true;
    case ReadEnd::interrupted:
      result.verdict = Verdict::interrupted;
      return false;
    case ReadEnd::failed:
      break;
  }
  result.verdict = Verdict::read_failed;
  result.error = held.error;
  return false;
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

// Adds a record found right to the summary and its runs. Only the first
// runs are kept; the others are counted.
void count_record(Summary& summary, const RecordFields& fields,
                  bool continues_run) {
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
}

enum class Check {
  right,
  wrong,        // result.fault says why
  end_of_file,  // between two records
  stopped,      // result says why
};

// Reads the data of the record at state.position, whose header is right, a
// piece at a time as the buffer holds it: sums it, and hands it to the
// image and the sink of the walk until a wrong record is found. The image
// is the data of one run only; past a second run it is moot.
Check read_data(WalkState& state, const Walk& walk, const RecordFields& fields,
                std::uint8_t& sum) {
  Verification& result = state.result;
  const Summary& summary = result.summary;
  const bool continues_run =
      summary.records > 0 && fields.address == state.next_address;
  const bool handed_on = result.wrong_records == 0;
  ImageBatch* const image =
      handed_on && (summary.records == 0 ||
                    (continues_run && summary.run_count == 1))
          ? walk.image
          : nullptr;
  const std::uint64_t start = state.position;
  std::uint64_t at = start + kHeaderSize;
  for (std::uint32_t done = 0; done < fields.length;) {
    // Going back over a record that turns out wrong takes its bytes from its
    // start; a walk that never goes back needs only those still to be read.
    state.input.keep_from = walk.all_faults ? start : at;
    HeldBytes held;
    if (!fetch(state, walk, at, 1, held)) {
      return Check::stopped;
    }
    if (interrupted()) {
      result.verdict = Verdict::interrupted;
      return Check::stopped;
    }
    if (held.bytes.empty()) {
      result.fault = RecordFault::cut_short_in_data;
      return Check::wrong;
    }
    const auto piece = held.bytes.first(
        std::min<std::size_t>(held.bytes.size(), fields.length - done));
    sum = byte_sum(sum, piece);
    if (image != nullptr && !add_to_image(*image, piece)) {
      result.verdict = Verdict::write_failed;
      result.error = image->error;
      return Check::stopped;
    }
    if (handed_on && walk.data &&
        !walk.data({result.record, (fields.address + done) & kField24Mask,
                    done == 0, piece})) {
      result.verdict = Verdict::stopped;
      return Check::stopped;
    }
    done += static_cast<std::uint32_t>(piece.size());
    at += piece.size();
  }
  return Check::right;
}

// Reads the record at state.position and checks it; counts and lists it
// when it is right. Its header goes to `header` once read.
Check check_record(WalkState& state, const Walk& walk, ParsedHeader& header) {
  Verification& result = state.result;
  state.input.keep_from = state.position;
  HeldBytes held;
  if (!fetch(state, walk, state.position, kHeaderSize, held)) {
    return Check::stopped;
  }
  if (held.bytes.empty()) {
    return Check::end_of_file;
  }
  if (held.bytes.size() < kHeaderSize) {
    result.fault = RecordFault::cut_short_in_header;
    return Check::wrong;
  }
  header = header_in(held.bytes);
  if (header.fault != HeaderFault::none) {
    result.fault = fault_of(header.fault);
    return Check::wrong;
  }
  const RecordFields& fields = header.fields;
  std::uint8_t sum = 0;
  if (const Check read = read_data(state, walk, fields, sum);
      read != Check::right) {
    return read;
  }
  if (!data_sum_matches(fields, sum)) {
    result.fault = RecordFault::data_checksum;
    return Check::wrong;
  }
  // A listing that cannot be written is lost for good (a reader that quit):
  // the rest of the file is not read for it.
  if (walk.listing != nullptr &&
      !list_record(walk.listing, walk.progress, result.record, result.offset,
                   fields)) {
    result.verdict = Verdict::listing_failed;
    return Check::stopped;
  }
  const bool continues_run =
      result.summary.records > 0 && fields.address == state.next_address;
  count_record(result.summary, fields, continues_run);
  state.next_address = end_address(fields);
  if (walk.progress != nullptr) {
    show_progress(*walk.progress, state.position + kHeaderSize + fields.length);
  }
  return Check::right;
}

// What a place of the file, past a wrong record, holds.
enum class Found {
  record,       // a right header, or with it a whole right record
  end_of_file,  // the file ends exactly there
  nothing,      // no record starts there
  stopped,      // a read failed or was interrupted: the result says so
};

// Whether a right header starts at `position` (then in `header`), or the
// file ends there. A header that the buffer cannot hold together with what
// the walk keeps from before it is not looked at.
Found header_at(WalkState& state, const Walk& walk, std::uint64_t position,
                ParsedHeader& header) {
  if (position + kHeaderSize - state.input.keep_from >
      state.input.buffer.size()) {
    return Found::nothing;  // past what the buffer can hold
  }
  HeldBytes held;
  if (!fetch(state, walk, position, kHeaderSize, held)) {
    return Found::stopped;
  }
  if (held.bytes.empty()) {
    return read_so_far(state.input) == position ? Found::end_of_file
                                                : Found::nothing;
  }
  if (held.bytes.size() < kHeaderSize) {
    return Found::nothing;
  }
  header = header_in(held.bytes);
  return header.fault == HeaderFault::none ? Found::record : Found::nothing;
}

// Whether a whole right record starts at `position` (its fields then in
// `fields`), or the file ends there. A record that the buffer cannot hold
// together with what the walk keeps from before it is not taken.
Found record_at(WalkState& state, const Walk& walk, std::uint64_t position,
                RecordFields& fields) {
  ParsedHeader header;
  const Found found = header_at(state, walk, position, header);
  if (found != Found::record) {
    return found;
  }
  fields = header.fields;
  const std::uint64_t data = position + kHeaderSize;
  if (data + fields.length - state.input.keep_from >
      state.input.buffer.size()) {
    return Found::nothing;
  }
  HeldBytes held;
  if (!fetch(state, walk, data, fields.length, held)) {
    return Found::stopped;
  }
  if (held.bytes.size() < fields.length) {
    return Found::nothing;  // cut short
  }
  const std::uint8_t sum = byte_sum(0, held.bytes.first(fields.length));
  return data_sum_matches(fields, sum) ? Found::record : Found::nothing;
}

// Whether a record that checks out starts at `position`, whose header is
// right: its data is right, and after it comes another whole right record,
// or the end of the file.
Found checks_out(WalkState& state, const Walk& walk, std::uint64_t position) {
  RecordFields fields;
  const Found found = record_at(state, walk, position, fields);
  if (found != Found::record) {
    return found == Found::end_of_file ? Found::nothing : found;
  }
  RecordFields after;
  const Found next =
      record_at(state, walk, position + kHeaderSize + fields.length, after);
  return next == Found::end_of_file ? Found::record : next;
}

// The first place past the wrong record at `wrong`, up to kSearchedBytes
// after it, where a record checks out, trying at most kTriedHeaders places
// with a right header; 0 when there is none.
Found search(WalkState& state, const Walk& walk, std::uint64_t wrong,
             std::uint64_t& next) {
  const std::uint64_t last = wrong + kSearchedBytes;
  std::size_t tried = 0;
  for (std::uint64_t at = wrong + 1; at <= last && tried < kTriedHeaders;) {
    HeldBytes held;
    if (!fetch(state, walk, at, kHeaderSize, held)) {
      return Found::stopped;
    }
    if (held.bytes.size() < kHeaderSize) {
      return Found::nothing;  // no header fits before the end
    }
    // The places whose header is held, up to the last: the next with the
    // record type, found at once.
    const auto places = static_cast<std::size_t>(std::min<std::uint64_t>(
        held.bytes.size() - kHeaderSize + 1, last - at + 1));
    const void* type = std::memchr(held.bytes.data(), kRecordType, places);
    if (type == nullptr) {
      at += places;
      continue;
    }
    at += static_cast<std::size_t>(static_cast<const std::uint8_t*>(type) -
                                   held.bytes.data());
    ParsedHeader header;
    if (header_at(state, walk, at, header) == Found::stopped) {
      return Found::stopped;
    }
    if (header.fault == HeaderFault::none) {
      ++tried;
      const Found found = checks_out(state, walk, at);
      if (found != Found::nothing) {
        next = at;
        return found;
      }
    }
    ++at;
  }
  return Found::nothing;
}

// Counts the wrong record that `result` names, and keeps it among the first
// kFaultsKept; the one kept, or null.
FaultFound* note_fault(Verification& result) {
  ++result.wrong_records;
  if (result.faults.size() >= kFaultsKept) {
    return nullptr;
  }
  result.faults.push_back({result.fault, result.record, result.offset, 0});
  return &result.faults.back();
}

enum class ReadOn { next, end_of_file, stopped };

// Past the wrong record at state.position, whose header is `header` when
// that is right (null otherwise): moves state.position to the record after
// it, as Walk::all_faults says. Notes the bytes skipped in `fault` (null when
// it is not kept).
ReadOn read_on(WalkState& state, const Walk& walk, const RecordFields* header,
               FaultFound* fault) {
  const std::uint64_t wrong = state.position;
  state.input.keep_from = wrong + 1;
  std::array<std::uint64_t, 2> expected{};
  std::size_t places = 0;
  if (header != nullptr) {
    expected[places++] = wrong + kHeaderSize + header->length;
  }
  expected[places++] = wrong + kRecordSize;
  for (std::size_t i = 0; i < places; ++i) {
    ParsedHeader found_header;
    switch (header_at(state, walk, expected[i], found_header)) {
      case Found::record:
        state.position = expected[i];
        return ReadOn::next;
      case Found::end_of_file:
        return ReadOn::end_of_file;
      case Found::stopped:
        return ReadOn::stopped;
      case Found::nothing:
        break;
    }
  }
  std::uint64_t next = 0;
  switch (search(state, walk, wrong, next)) {
    case Found::record:
      state.position = next;
      if (fault != nullptr) {
        fault->skipped = next - wrong;
      }
      return ReadOn::next;
    case Found::stopped:
      return ReadOn::stopped;
    case Found::end_of_file:
    case Found::nothing:
      break;
  }
  state.position = wrong + kRecordSize;
  return ReadOn::next;
}

// Once the walk has reached the end: the image's last pieces are written;
// with wrong records found on the way, the file is invalid, and the first
// of them is the one it names.
void walked_to_end(WalkState& state, const Walk& walk) {
  Verification& result = state.result;
  if (result.wrong_records > 0) {
    const FaultFound first = result.faults.front();
    result.verdict = Verdict::invalid;
    result.fault = first.fault;
    result.record = first.record;
    result.offset = first.offset;
    return;
  }
  if (walk.image != nullptr && !write_image_batch(*walk.image)) {
    result.verdict = Verdict::write_failed;
    result.error = walk.image->error;
  }
}

}  // namespace

Verification verify_records(std::FILE* records, const Walk& walk) {
  WalkState state;
  Verification& result = state.result;
  if (walk.listing != nullptr &&
      (!write_text(walk.listing, "record offset address length checksum\n") ||
       std::ferror(walk.listing) != 0)) {
    result.verdict = Verdict::listing_failed;
    return result;
  }
  if (walk.buffer.size() <
      kReadBufferSize + (walk.all_faults ? kAllFaultsMemory : 0)) {
    // A walk set up without its memory.
    result.verdict = Verdict::read_failed;
    result.error = std::make_error_code(std::errc::invalid_argument);
    return result;
  }
  state.input.stream = records;
  state.input.waits = can_block(records);
  state.input.buffer = walk.buffer;
  if (walk.all_faults) {
    result.faults.reserve(kFaultsKept);
  }
  for (;;) {
    if (interrupted()) {
      result.verdict = Verdict::interrupted;
      return result;
    }
    result.record = result.summary.records + result.wrong_records + 1;
    result.offset = state.position;
    ParsedHeader header;
    switch (check_record(state, walk, header)) {
      case Check::right:
        state.position += kHeaderSize + header.fields.length;
        continue;
      case Check::end_of_file:
        walked_to_end(state, walk);
        return result;
      case Check::stopped:
        return result;
      case Check::wrong:
        break;
    }
    result.verdict = Verdict::invalid;
    if (!walk.all_faults) {
      return result;
    }
    // A wrong record is noted and passed until the file ends.
    const bool header_right = result.fault == RecordFault::data_checksum ||
                              result.fault == RecordFault::cut_short_in_data;
    FaultFound* const fault = note_fault(result);
    result.verdict = Verdict::valid;
    result.fault = RecordFault::none;
    switch (
        read_on(state, walk, header_right ? &header.fields : nullptr, fault)) {
      case ReadOn::next:
        continue;
      case ReadOn::end_of_file:
        walked_to_end(state, walk);
        return result;
      case ReadOn::stopped:
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
