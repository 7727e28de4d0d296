// varnel-check's walk over a record file, on any bytes: it never reads out of
// bounds, and what it says about a file adds up: its runs, and the records it
// says use addresses again, against a second reading that compares every
// record with every other.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size == 0) {
    return 0;  // fmemopen takes no empty buffer
  }
  std::FILE* records = ::fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
  std::FILE* sink = std::fopen("/dev/null", "wb");
  check(records != nullptr && sink != nullptr);

  static std::vector<std::uint8_t> chunk(varnel::kChunkSize);
  const varnel::Verification result =
      varnel::verify_records(records, nullptr, sink, chunk);
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
  return 0;
}
