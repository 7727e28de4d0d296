#include "cli/block_io.h"

#include <utility>

#include "records/record_format.h"

namespace varnel {

RecordMemory allocate_records(std::size_t size) {
  CopyMemory memory = allocate_for_copies(size);
  return {std::move(memory.held), memory.bytes};
}

// One read per block, straight into its place. (A read as large as the
// stream's buffer usually goes around it, as in glibc.)
bool read_blocks_from_stream(std::FILE* src, std::span<std::uint8_t> records) {
  for (std::size_t at = 0; at < records.size(); at += kRecordSize) {
    if (std::fread(records.data() + at + kHeaderSize, 1, kBlockSize, src) !=
        kBlockSize) {
      return false;
    }
  }
  return true;
}

bool stream_ends(std::FILE* src) {
  return std::fgetc(src) == EOF && std::ferror(src) == 0;
}

bool write_to_stream(std::FILE* dst, std::span<const std::uint8_t> bytes) {
  return std::fwrite(bytes.data(), 1, bytes.size(), dst) == bytes.size();
}

}  // namespace varnel
