// varnel-check's walk over a record file, on any bytes: it never reads out of
// bounds, and what it says about a file adds up: its runs, and the records it
// says use addresses again, against a second reading that compares every
// record with every other. The walk that reads on past wrong records
// (--all-faults, which looks for the next right record past each wrong
// one), and the flash image gathered from a valid file (--flash-image),
// against a second, plain reading of the same bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <vector>

#include "check/flash_image.h"
#include "check/record_input.h"
#include "check/verify.h"
#include "records/record_format.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

struct Span {
  std::uint32_t address;
  std::uint32_t length;
};

// Whether two records share an address, on the circle of 24-bit addresses.
bool overlap(const Span& a, const Span& b) {
  const std::uint32_t from_a = (b.address - a.address) & 0xFFFFFF;
  const std::uint32_t from_b = (a.address - b.address) & 0xFFFFFF;
  return from_a < a.length || from_b < b.length;
}

// Every record's address and length, read again from the valid file.
std::vector<Span> spans_of(const std::uint8_t* data, std::size_t size) {
  std::vector<Span> spans;
  for (std::size_t at = 0; at + varnel::kHeaderSize <= size;) {
    const auto field = [&](std::size_t i) {
      return static_cast<std::uint32_t>(
          data[at + i] << 16 | data[at + i + 1] << 8 | data[at + i + 2]);
    };
    spans.push_back({field(1), field(5)});
    at += varnel::kHeaderSize + spans.back().length;
  }
  return spans;
}

// The note against every pair of records: the first record to use an
// address again, how far the records after it all do, and which records
// before it they overlap.
void check_reuse(const varnel::AddressReuse& reuse,
                 const std::vector<Span>& spans) {
  std::size_t first = 0;  // from 1; 0 for none
  for (std::size_t i = 0; i < spans.size() && first == 0; ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (overlap(spans[i], spans[j])) {
        first = i + 1;
        break;
      }
    }
  }
  check(reuse.found == (first != 0));
  if (first == 0) return;
  check(reuse.first == first);
  std::size_t last = first;
  std::size_t earliest = spans.size() + 1;
  std::size_t latest = 0;
  for (std::size_t i = first - 1; i < spans.size(); ++i) {
    bool any = false;
    for (std::size_t j = 0; j + 1 < first; ++j) {
      if (overlap(spans[i], spans[j])) {
        any = true;
        earliest = j + 1 < earliest ? j + 1 : earliest;
        latest = j + 1 > latest ? j + 1 : latest;
      }
    }
    if (!any) break;
    last = i + 1;
  }
  check(reuse.last == last);
  if (reuse.exact) {
    check(reuse.earliest == earliest && reuse.latest == latest);
  }
}

// A plain reading of the header at `at`, as the format has it: its length
// when it is right.
bool right_header(const std::uint8_t* data, std::size_t size, std::size_t at,
                  std::uint32_t& length) {
  if (at > size || size - at < varnel::kHeaderSize || data[at] != 0x0B) {
    return false;
  }
  unsigned sum = 0;
  for (std::size_t i = 1; i <= 8; ++i) sum += data[at + i];
  length = static_cast<std::uint32_t>(data[at + 5] << 16 | data[at + 6] << 8 |
                                      data[at + 7]);
  return sum % 256 == 0xFF && length != 0;
}

// Whether the data of the record at `at`, whose header is right with
// `length`, is all there and sums right.
bool right_data(const std::uint8_t* data, std::size_t size, std::size_t at,
                std::uint32_t length) {
  if (size - at - varnel::kHeaderSize < length) return false;
  unsigned sum = data[at + 4];
  for (std::size_t i = 0; i < length; ++i) sum += data[at + 9 + i];
  return sum % 256 == 0;
}

// Past a wrong record at `wrong`: whether a whole right record starts at
// `at` (its length in `length`) that the walk's buffer can hold with the
// bytes after `wrong`; `end` when the file ends right there instead.
bool right_record(const std::uint8_t* data, std::size_t size, std::size_t wrong,
                  std::size_t at, std::uint32_t& length, bool& end) {
  constexpr std::size_t kHeld =
      varnel::kReadBufferSize + varnel::kAllFaultsMemory;
  end = false;
  if (at + varnel::kHeaderSize - (wrong + 1) > kHeld) return false;
  if (at == size) {
    end = true;
    return false;
  }
  return right_header(data, size, at, length) &&
         at + varnel::kHeaderSize + length - (wrong + 1) <= kHeld &&
         right_data(data, size, at, length);
}

// Where a plain reading goes on past the wrong record at `wrong`, whose
// length is `length` when its header is right: where it ends, or 8201 bytes
// on, when a right header is there (or the file ends there: `size`);
// otherwise the first place, up to 16402 bytes on, of the first 16 with a
// right header, where a right record starts followed by another or by the
// end of the file (the bytes skipped in `skipped`); otherwise 8201 bytes on.
std::size_t next_after(const std::uint8_t* data, std::size_t size,
                       std::size_t wrong, bool header_right,
                       std::uint32_t length, std::uint64_t& skipped) {
  std::vector<std::size_t> expected;
  if (header_right) expected.push_back(wrong + varnel::kHeaderSize + length);
  expected.push_back(wrong + varnel::kRecordSize);
  std::uint32_t unused = 0;
  bool end = false;
  for (const std::size_t at : expected) {
    if (at == size) return size;
    if (right_header(data, size, at, unused)) return at;
  }
  std::size_t tried = 0;
  for (std::size_t at = wrong + 1;
       at <= wrong + varnel::kSearchedBytes &&
       at + varnel::kHeaderSize <= size && tried < varnel::kTriedHeaders;
       ++at) {
    if (!right_header(data, size, at, unused)) continue;
    ++tried;
    std::uint32_t first = 0;
    std::uint32_t second = 0;
    if (right_record(data, size, wrong, at, first, end) &&
        (right_record(data, size, wrong, at + varnel::kHeaderSize + first,
                      second, end) ||
         end)) {
      skipped = at - wrong;
      return at;
    }
  }
  return wrong + varnel::kRecordSize;
}

// What a plain reading finds: the wrong records, each followed by the next
// found as next_after says, and what the valid ones write into the flash.
struct PlainReading {
  std::vector<varnel::FaultFound> faults;  // all of them
  std::uint64_t valid = 0;
  std::map<std::uint32_t, std::uint8_t> flash;  // address: byte written last
  std::uint64_t runs = 0;
};

PlainReading read_plainly(const std::uint8_t* data, std::size_t size) {
  PlainReading reading;
  std::uint32_t next = 0;
  std::size_t at = 0;
  for (std::uint64_t record = 1; at < size; ++record) {
    std::uint32_t length = 0;
    const auto wrong = [&](varnel::RecordFault fault, bool header_right) {
      varnel::FaultFound found{fault, record, at, 0};
      at = next_after(data, size, at, header_right, length, found.skipped);
      reading.faults.push_back(found);
    };
    if (size - at < varnel::kHeaderSize) {
      wrong(varnel::RecordFault::cut_short_in_header, false);
      continue;
    }
    const std::uint8_t* header = data + at;
    const auto field = [header](std::size_t i) {
      return static_cast<std::uint32_t>(header[i] << 16 | header[i + 1] << 8 |
                                        header[i + 2]);
    };
    unsigned sum = 0;
    for (std::size_t i = 1; i <= 8; ++i) sum += header[i];
    const std::uint32_t address = field(1);
    length = field(5);
    if (header[0] != 0x0B) {
      wrong(varnel::RecordFault::record_type, false);
      continue;
    }
    if (sum % 256 != 0xFF) {
      wrong(varnel::RecordFault::header_checksum, false);
      continue;
    }
    if (length == 0) {
      wrong(varnel::RecordFault::length, false);
      continue;
    }
    if (size - at - varnel::kHeaderSize < length) {
      wrong(varnel::RecordFault::cut_short_in_data, true);
      continue;
    }
    unsigned data_sum = header[4];
    for (std::size_t i = 0; i < length; ++i) data_sum += header[9 + i];
    if (data_sum % 256 != 0) {
      wrong(varnel::RecordFault::data_checksum, true);
      continue;
    }
    ++reading.valid;
    if (reading.valid == 1 || address != next) ++reading.runs;
    for (std::size_t i = 0; i < length; ++i) {
      reading.flash[(address + i) & 0xFFFFFF] = header[9 + i];
    }
    next = (address + length) & 0xFFFFFF;
    at += varnel::kHeaderSize + length;
  }
  return reading;
}

bool same(const varnel::FaultFound& a, const varnel::FaultFound& b) {
  return a.fault == b.fault && a.record == b.record && a.offset == b.offset &&
         a.skipped == b.skipped;
}

// The walks with --all-faults and --flash-image over `data`, against the
// plain reading; `plain` is the walk that stops at the first wrong record.
void check_against_plain_reading(const std::uint8_t* data, std::size_t size,
                                 const varnel::Verification& plain) {
  static std::vector<std::uint8_t> buffer(varnel::kReadBufferSize +
                                          varnel::kAllFaultsMemory);
  static varnel::FlashImage flash;
  const PlainReading reading = read_plainly(data, size);

  std::FILE* records = ::fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
  check(records != nullptr);
  varnel::Walk walk;
  walk.all_faults = true;
  walk.buffer = buffer;
  const varnel::Verification all = varnel::verify_records(records, walk);
  std::fclose(records);

  check(all.wrong_records == reading.faults.size());
  check(all.summary.records == reading.valid);
  check(all.faults.size() ==
        std::min(reading.faults.size(), varnel::kFaultsKept));
  for (std::size_t i = 0; i < all.faults.size(); ++i) {
    check(same(all.faults[i], reading.faults[i]));
  }
  if (reading.faults.empty()) {
    check(all.verdict == varnel::Verdict::valid);
    check(plain.verdict == varnel::Verdict::valid);
  } else {
    // The first wrong record is the one that stops the plain walk.
    const varnel::FaultFound first = reading.faults.front();
    check(all.verdict == varnel::Verdict::invalid);
    check(plain.verdict == varnel::Verdict::invalid);
    check(same({all.fault, all.record, all.offset, first.skipped}, first));
    check(
        same({plain.fault, plain.record, plain.offset, first.skipped}, first));
    return;
  }
  if (reading.valid == 0) return;

  const auto fill = static_cast<std::uint8_t>(size);
  check(varnel::make_flash_image(flash, fill));
  records = ::fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
  check(records != nullptr);
  walk = varnel::Walk{};
  walk.buffer = buffer;
  walk.data = [](const varnel::DataPiece& piece) {
    return varnel::flash_piece(flash, piece);
  };
  check(varnel::verify_records(records, walk).verdict ==
        varnel::Verdict::valid);
  std::fclose(records);
  const std::uint32_t low = reading.flash.begin()->first;
  const std::uint32_t high = reading.flash.rbegin()->first;
  check(flash.any && flash.low == low && flash.high == high);
  check(flash.runs == reading.runs);
  check(varnel::filled_bytes(flash) ==
        std::uint64_t{high} - low + 1 - reading.flash.size());
  varnel::fill_gaps(flash);
  const auto filled = [&](std::uint32_t address) {
    return reading.flash.count(address) != 0 || flash.bytes[address] == fill;
  };
  for (const auto& [address, byte] : reading.flash) {
    check(flash.bytes[address] == byte);
    // The gaps beside each byte written hold the fill.
    check(address == low || filled(address - 1));
    check(address == high || filled(address + 1));
  }
  if (high - low < 0x10000) {
    for (std::uint32_t address = low; address <= high; ++address) {
      check(filled(address));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size == 0) {
    return 0;  // fmemopen takes no empty buffer
  }
  std::FILE* records = ::fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
  std::FILE* sink = std::fopen("/dev/null", "wb");
  check(records != nullptr && sink != nullptr);

  static std::vector<std::uint8_t> buffer(varnel::kReadBufferSize);
  varnel::Walk walk;
  walk.listing = sink;
  walk.buffer = buffer;
  const varnel::Verification result = varnel::verify_records(records, walk);
  const varnel::Summary& summary = result.summary;
  if (result.verdict == varnel::Verdict::valid) {
    // Every byte belongs to a header or to the data its header announced.
    check(summary.records * varnel::kHeaderSize + summary.data_bytes == size);
    check(summary.runs.size() >= 1 && summary.runs.size() <= summary.records);
    // Far fewer runs than are kept: every one of them is.
    check(summary.run_count == summary.runs.size());
    std::uint64_t in_runs = 0;
    std::uint64_t bytes = 0;
    for (const varnel::Run& run : summary.runs) {
      in_runs += run.records;
      bytes += run.length;
    }
    check(in_runs == summary.records && bytes == summary.data_bytes);
    check_reuse(summary.reuse, spans_of(data, size));
  } else {
    check(result.verdict == varnel::Verdict::invalid);
    check(result.record == summary.records + 1 && result.offset < size);
  }
  std::fclose(records);
  std::fclose(sink);
  check_against_plain_reading(data, size, result);
  return 0;
}
