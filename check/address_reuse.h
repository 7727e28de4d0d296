// Records that use addresses an earlier record of the same file used already:
// flashed, the later ones overwrite the earlier. A run longer than the 24-bit
// address space does that to itself; so do two runs over the same addresses.
// Found as the records are walked, with the addresses used so far kept as
// spans of records, one or two for each run, and at most kMaxAddressSpans of
// them: memory stays the same for any record file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>

namespace varnel {

// Consecutive records of one run at the addresses from `first_address` (the
// map's key) up to `end` (exclusive, at most 0x1000000): a run that wraps
// from FFFFFF to 000000 has a second span from 0.
struct AddressSpan {
  std::uint32_t end = 0;
  std::uint32_t base = 0;  // where the span's first record starts
  std::uint64_t first_record = 0;
  std::uint64_t last_record = 0;
  std::uint32_t length = 0;  // of each record; 0 for records of several
};

// Two spans for each run the report keeps (a run that wraps has two).
inline constexpr std::size_t kMaxAddressSpans = 20000;

struct AddressReuse {
  // What is found: records `first` to `last` use addresses that records
  // `earliest` to `latest`, all before them, used already. When some of
  // those are in spans of records of several lengths, which ones is not
  // known (`exact` is false).
  bool found = false;
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  bool exact = true;
  std::uint64_t earliest = 0;
  std::uint64_t latest = 0;

  // The addresses used before `first`, by their first address; no two
  // overlap.
  std::map<std::uint32_t, AddressSpan> used;
  // The span that the run being walked is adding to, if any.
  bool open = false;
  std::uint32_t open_span = 0;
  bool done = false;  // the records after `last` are not looked at

  // Before anything was found, the spans reached kMaxAddressSpans at record
  // `looked_up_to`: the records after it are not looked at.
  bool gave_up = false;
  std::uint64_t looked_up_to = 0;
};

// Notes record number `record` (from 1), of `length` bytes at `address`;
// `continues_run` when it starts where the record before it ended.
void note_addresses(AddressReuse& reuse, std::uint64_t record,
                    std::uint32_t address, std::uint32_t length,
                    bool continues_run);

}  // namespace varnel
