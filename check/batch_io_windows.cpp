// Windows: the stream writes the pieces one by one.
#include "check/batch_io.h"

namespace varnel {

bool write_pieces(std::FILE* file,
                  std::span<const std::span<const std::uint8_t>> pieces,
                  std::error_code& error) {
  return write_pieces_to_stream(file, pieces, error);
}

}  // namespace varnel
