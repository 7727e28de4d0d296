#include "check/record_input.h"

#include <algorithm>
#include <cstring>

#include "console/interruption.h"

namespace varnel {
namespace {

// Copies `bytes`, found at `position` of the stream, into the window or out
// of it (`into_window`), in at most two pieces where the window wraps.
void copy_window(RecordInput& input, std::uint64_t position,
                 std::span<std::uint8_t> bytes, bool into_window) {
  const std::size_t size = input.window.size();
  std::size_t done = 0;
  while (done < bytes.size()) {
    const auto at = static_cast<std::size_t>((position + done) % size);
    const std::size_t piece = std::min(bytes.size() - done, size - at);
    if (into_window) {
      std::memcpy(input.window.data() + at, bytes.data() + done, piece);
    } else {
      std::memcpy(bytes.data() + done, input.window.data() + at, piece);
    }
    done += piece;
  }
}

}  // namespace

StreamRead read_input(RecordInput& input, std::span<std::uint8_t> into) {
  // Bytes read before, kept when the walk went back over them.
  const auto again = static_cast<std::size_t>(
      std::min<std::uint64_t>(into.size(), input.fetched - input.position));
  if (again > 0) {
    copy_window(input, input.position, into.first(again), false);
    input.position += again;
  }
  if (again == into.size()) {
    return {again, ReadEnd::full, {}};
  }
  if (input.ended) {
    return {again, ReadEnd::end_of_file, {}};
  }
  StreamRead read =
      read_fully(input.stream, input.waits ? wait_until_ready : nullptr,
                 into.subspan(again));
  input.ended = read.end == ReadEnd::end_of_file;
  if (input.keep_from != kKeepNothing && read.got > 0) {
    const std::uint64_t end = input.fetched + read.got;
    const std::uint64_t from = std::max(input.fetched, input.keep_from);
    if (from < end) {
      copy_window(
          input, from,
          into.subspan(again + static_cast<std::size_t>(from - input.fetched),
                       static_cast<std::size_t>(end - from)),
          true);
    }
  }
  input.fetched += read.got;
  input.position += read.got;
  read.got += again;
  return read;
}

void keep_input_from(RecordInput& input, std::uint64_t position) {
  input.keep_from = input.window.empty() ? kKeepNothing : position;
}

void go_back(RecordInput& input, std::uint64_t position) {
  input.position = position;
  input.keep_from = kKeepNothing;
}

}  // namespace varnel
