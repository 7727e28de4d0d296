#include "check/record_input.h"

#include <algorithm>
#include <cstring>

#include "console/interruption.h"
#include "files/stream_read.h"

namespace varnel {
namespace {

// Makes room at the end of the buffer: the bytes before keep_from are
// dropped, the rest moved to the front, when that moves no more than it
// frees (so that no byte is moved more than once on average) or when the
// buffer is full.
void make_room(RecordInput& input) {
  const auto dropped = static_cast<std::size_t>(
      std::min<std::uint64_t>(input.keep_from - input.start, input.held));
  const std::size_t kept = input.held - dropped;
  if (dropped == 0 || (kept > dropped && input.held < input.buffer.size())) {
    return;
  }
  std::memmove(input.buffer.data(), input.buffer.data() + dropped, kept);
  input.start += dropped;
  input.held = kept;
}

}  // namespace

bool holds(const RecordInput& input, std::uint64_t position,
           std::size_t count) {
  return position >= input.start && position + count <= read_so_far(input);
}

HeldBytes bytes_at(RecordInput& input, std::uint64_t position,
                   std::size_t count) {
  HeldBytes result;
  while (!holds(input, position, count) && !input.ended) {
    // Once interrupted, nothing more is read.
    if (interrupted()) {
      result.end = ReadEnd::interrupted;
      return result;
    }
    make_room(input);
    if (position < input.start ||
        position + count - input.start > input.buffer.size()) {
      result.end = ReadEnd::failed;
      result.error = std::make_error_code(std::errc::no_buffer_space);
      return result;
    }
    const std::size_t room =
        std::min(input.buffer.size() - input.held, kReadBufferSize);
    const StreamRead read =
        read_available(input.stream, input.waits ? wait_until_ready : nullptr,
                       input.buffer.subspan(input.held, room));
    input.held += read.got;
    if (read.end == ReadEnd::end_of_file) {
      input.ended = true;  // not read again: a terminal would wait
    } else if (read.end != ReadEnd::full) {
      result.end = read.end;
      result.error = read.error;
      return result;
    }
  }
  if (position >= input.start && position < read_so_far(input)) {
    const auto at = static_cast<std::size_t>(position - input.start);
    result.bytes = std::span(input.buffer).subspan(at, input.held - at);
  }
  if (result.bytes.size() < count) {
    result.end = ReadEnd::end_of_file;
  }
  return result;
}

}  // namespace varnel
