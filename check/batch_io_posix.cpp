// POSIX systems: the pieces go out in one vectored write, or a few.
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>

#include "check/batch_io.h"
#include "files/system.h"

namespace varnel {
namespace {

// At most this many pieces go into one vectored write.
constexpr std::size_t kMaxVectors = std::min<std::size_t>(IOV_MAX, 1024);

// Writes the pieces with one vectored write for each kMaxVectors of them,
// going on after a short write.
bool write_vectors(int fd,
                   std::span<const std::span<const std::uint8_t>> pieces,
                   std::error_code& error) {
  std::array<iovec, kMaxVectors> vectors{};
  std::size_t done_in_first = 0;  // of pieces.front(), written already
  while (!pieces.empty()) {
    const std::size_t count = std::min(pieces.size(), vectors.size());
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t skip = i == 0 ? done_in_first : 0;
      // writev takes a pointer to data it only reads.
      vectors[i].iov_base = const_cast<std::uint8_t*>(pieces[i].data() + skip);
      vectors[i].iov_len = pieces[i].size() - skip;
    }
    const ssize_t put = ::writev(fd, vectors.data(), static_cast<int>(count));
    if (put < 0 && errno == EINTR) {
      continue;  // a signal that was only noted: the write goes on
    }
    if (put <= 0) {
      error =
          put < 0 ? errno_error() : std::make_error_code(std::errc::io_error);
      return false;
    }
    auto left = static_cast<std::size_t>(put);
    while (!pieces.empty() && left >= pieces.front().size() - done_in_first) {
      left -= pieces.front().size() - done_in_first;
      done_in_first = 0;
      pieces = pieces.subspan(1);
    }
    done_in_first += left;
  }
  return true;
}

}  // namespace

bool write_pieces(std::FILE* file,
                  std::span<const std::span<const std::uint8_t>> pieces,
                  std::error_code& error) {
  // Streams without a descriptor (made by fopencookie, say) have fileno -1.
  if (const int fd = ::fileno(file); fd >= 0) {
    return write_vectors(fd, pieces, error);
  }
  return write_pieces_to_stream(file, pieces, error);
}

}  // namespace varnel
