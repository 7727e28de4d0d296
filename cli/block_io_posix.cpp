// POSIX systems: a batch is read with one vectored read straight into place
// and written with one write, waiting for a pipe or a terminal first in a
// wait that no interruption can slip past.
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>

#include "cli/block_io.h"
#include "console/interruption.h"
#include "files/stream_read.h"
#include "records/record_format.h"

namespace varnel {
namespace {

// Up to this many blocks go into one vectored read.
constexpr std::size_t kMaxVectors = 256;

// Reads until every vector is full, resuming after short reads and signals,
// but for an interruption: a read it cuts short, with EINTR or with some bytes
// moved, is not made again, or the program might wait on for ever. Where a
// read can block, it waits for data first in a wait that no interruption can
// slip past.
bool read_vectors_fully(int fd, std::span<iovec> vectors, bool waits) {
  while (!vectors.empty()) {
    if (interrupted() || (waits && !wait_until_ready(fd, false))) {
      return false;
    }
    const ssize_t got =
        ::readv(fd, vectors.data(), static_cast<int>(vectors.size()));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return false;  // an error, or the file ended early
    }
    auto left = static_cast<std::size_t>(got);
    while (!vectors.empty() && left >= vectors.front().iov_len) {
      left -= vectors.front().iov_len;
      vectors = vectors.subspan(1);
    }
    if (left > 0) {
      vectors.front().iov_base =
          static_cast<char*>(vectors.front().iov_base) + left;
      vectors.front().iov_len -= left;
    }
  }
  return true;
}

bool read_blocks_from_fd(int fd, std::uint64_t offset,
                         std::span<std::uint8_t> records) {
  // The stream keeps its own idea of the position since the size was taken,
  // so the descriptor's is set here rather than trusted.
  if (::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
    return false;
  }
  std::array<iovec, kMaxVectors> vectors{};
  const bool waits = can_block(fd);
  while (!records.empty()) {
    std::size_t count = 0;
    for (; count < vectors.size() && count * kRecordSize < records.size();
         ++count) {
      vectors[count].iov_base =
          records.data() + count * kRecordSize + kHeaderSize;
      vectors[count].iov_len = kBlockSize;
    }
    if (!read_vectors_fully(fd, std::span(vectors.data(), count), waits)) {
      return false;
    }
    records = records.subspan(count * kRecordSize);
  }
  return true;
}

bool ends_at_fd(int fd, std::uint64_t offset) {
  if (::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
    return false;
  }
  std::uint8_t byte = 0;
  iovec vector{&byte, 1};
  const bool waits = can_block(fd);
  for (;;) {
    if (interrupted() || (waits && !wait_until_ready(fd, false))) {
      return false;
    }
    const ssize_t got = ::readv(fd, &vector, 1);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    return got == 0;
  }
}

bool write_to_fd(int fd, std::span<const std::uint8_t> bytes) {
  const bool waits = can_block(fd);
  while (!bytes.empty()) {
    if (interrupted() || (waits && !wait_until_ready(fd, true))) {
      return false;  // as for reads
    }
    // Once a pipe has room, a write of at most PIPE_BUF bytes goes in
    // without blocking: nothing can wait between the wait and the write.
    const std::size_t size =
        waits ? std::min<std::size_t>(bytes.size(), PIPE_BUF) : bytes.size();
    const ssize_t put = ::write(fd, bytes.data(), size);
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      return false;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(put));
  }
  return true;
}

}  // namespace

bool read_blocks(std::FILE* src, std::uint64_t offset,
                 std::span<std::uint8_t> records) {
  // Streams without a descriptor (made by fopencookie, say) have fileno -1.
  if (const int fd = ::fileno(src); fd >= 0) {
    return read_blocks_from_fd(fd, offset, records);
  }
  return read_blocks_from_stream(src, records);
}

bool ends_at(std::FILE* src, std::uint64_t offset) {
  if (const int fd = ::fileno(src); fd >= 0) {
    return ends_at_fd(fd, offset);
  }
  return stream_ends(src);
}

bool write_all(std::FILE* dst, std::span<const std::uint8_t> bytes) {
  // Nothing else is ever written through the stream, so it holds no buffered
  // bytes that a direct write could overtake.
  if (const int fd = ::fileno(dst); fd >= 0) {
    return write_to_fd(fd, bytes);
  }
  return write_to_stream(dst, bytes);
}

}  // namespace varnel
