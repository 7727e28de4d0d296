#include "check/address_reuse.h"

#include <algorithm>
#include <array>
#include <cstddef>

#include "records/record_format.h"

namespace varnel {
namespace {

constexpr std::uint64_t kAddressSpace = std::uint64_t{kField24Mask} + 1;

// A stretch of addresses that does not wrap: from `low` up to `high`,
// exclusive.
struct Piece {
  std::uint32_t low = 0;
  std::uint32_t high = 0;
};

// The addresses of a record, as one piece or, when it wraps from FFFFFF to
// 000000, as two.
std::size_t pieces_of(std::uint32_t address, std::uint32_t length,
                      std::array<Piece, 2>& pieces) {
  const std::uint64_t end = std::uint64_t{address} + length;
  if (end <= kAddressSpace) {
    pieces[0] = {address, static_cast<std::uint32_t>(end)};
    return 1;
  }
  pieces[0] = {address, static_cast<std::uint32_t>(kAddressSpace)};
  pieces[1] = {0, static_cast<std::uint32_t>(end - kAddressSpace)};
  return 2;
}

// Adds the records of `span` that use the addresses from `low` to `high`
// (within the span) to the earlier records of `reuse`.
void add_earlier(AddressReuse& reuse, const AddressSpan& span,
                 std::uint32_t low, std::uint32_t high) {
  std::uint64_t earliest = span.first_record;
  std::uint64_t latest = span.last_record;
  if (span.length != 0) {
    // Offsets from the span's first record, modulo the address space: the
    // second span of a run that wraps starts before 000000.
    const auto offset = [&span](std::uint32_t at) {
      return (at - span.base) & kField24Mask;
    };
    earliest = span.first_record + offset(low) / span.length;
    latest = span.first_record + offset(high - 1) / span.length;
  } else {
    reuse.exact = false;
  }
  reuse.earliest =
      reuse.earliest == 0 ? earliest : std::min(reuse.earliest, earliest);
  reuse.latest = std::max(reuse.latest, latest);
}

// Whether any address of `pieces` was used before; adds the records that
// used it to the earlier records of `reuse`.
bool used_before(AddressReuse& reuse, const std::array<Piece, 2>& pieces,
                 std::size_t count) {
  bool found = false;
  for (std::size_t i = 0; i < count; ++i) {
    const Piece& piece = pieces[i];
    auto span = reuse.used.upper_bound(piece.low);
    if (span != reuse.used.begin()) {
      --span;  // the one starting at or before the piece may reach into it
    }
    for (; span != reuse.used.end() && span->first < piece.high; ++span) {
      const std::uint32_t low = std::max(span->first, piece.low);
      const std::uint32_t high = std::min(span->second.end, piece.high);
      if (low >= high) {
        continue;
      }
      found = true;
      add_earlier(reuse, span->second, low, high);
    }
  }
  return found;
}

// Stops looking, after record `record`: the spans would take more memory
// than they may.
void give_up(AddressReuse& reuse, std::uint64_t record) {
  reuse.gave_up = true;
  reuse.looked_up_to = record;
  reuse.done = true;
  reuse.used.clear();
}

// Adds a record that uses no address used before to the spans.
void add_record(AddressReuse& reuse, std::uint64_t record,
                std::uint32_t address, std::uint32_t length, bool continues_run,
                const std::array<Piece, 2>& pieces, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const Piece& piece = pieces[i];
    if (i == 0 && continues_run && reuse.open) {
      AddressSpan& open = reuse.used[reuse.open_span];
      if (open.end == piece.low) {
        open.end = piece.high;
        open.last_record = record;
        if (open.length != length) {
          open.length = 0;
        }
        continue;
      }
    }
    if (reuse.used.size() == kMaxAddressSpans) {
      give_up(reuse, record);
      return;
    }
    reuse.used[piece.low] = {piece.high, address, record, record, length};
    reuse.open = true;
    reuse.open_span = piece.low;
  }
}

}  // namespace

void note_addresses(AddressReuse& reuse, std::uint64_t record,
                    std::uint32_t address, std::uint32_t length,
                    bool continues_run) {
  if (reuse.done) {
    return;
  }
  std::array<Piece, 2> pieces{};
  const std::size_t count = pieces_of(address, length, pieces);
  if (!reuse.found) {
    if (!used_before(reuse, pieces, count)) {
      add_record(reuse, record, address, length, continues_run, pieces, count);
      return;
    }
    reuse.found = true;
    reuse.first = record;
    reuse.last = record;
    return;
  }
  // The records that follow, as long as each uses addresses of records
  // before the first one found.
  if (record == reuse.last + 1 && used_before(reuse, pieces, count)) {
    reuse.last = record;
    return;
  }
  reuse.done = true;
  reuse.used.clear();
}

}  // namespace varnel
