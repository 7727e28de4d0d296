// Throughput of building one record header, checksum included.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "records/record_format.h"
#include "records/record_header.h"

namespace {

void BM_BuildRecordHeader(benchmark::State& state) {
  std::vector<std::uint8_t> block(varnel::kBlockSize);
  for (std::size_t i = 0; i < block.size(); ++i) {
    block[i] = static_cast<std::uint8_t>(i * 7);
  }
  std::uint64_t offset = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        varnel::build_record_header(0x270000, offset, block));
    offset += varnel::kBlockSize;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(block.size()));
}
BENCHMARK(BM_BuildRecordHeader);

}  // namespace

BENCHMARK_MAIN();
