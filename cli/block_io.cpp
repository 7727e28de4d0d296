#include "cli/block_io.h"

#include <cstdlib>
#include <memory>

#include "records/record_format.h"

namespace varnel {
namespace {

// The size of a large page on the machines that have them.
constexpr std::size_t kLargePage = std::size_t{2} << 20;

}  // namespace

void free_memory(void* memory) { std::free(memory); }

RecordMemory allocate_records(std::size_t size) {
  const std::size_t rounded = (size + kLargePage - 1) / kLargePage * kLargePage;
  // Left uninitialised: the first touch is what gives the memory its pages.
  RecordMemory memory;
  memory.held.reset(std::malloc(rounded + kLargePage));
  if (!memory.held) {
    return memory;
  }
  void* start = memory.held.get();
  std::size_t space = rounded + kLargePage;
  start = std::align(kLargePage, rounded, start, space);
  advise_large_pages(start, rounded);
  memory.records = {static_cast<std::uint8_t*>(start), size};
  return memory;
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
