// varnel-check's walk over a record file, on any bytes: it never reads out of
// bounds, and what it says about a file adds up.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "check/verify.h"
#include "records/record_format.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size == 0) {
    return 0;  // fmemopen takes no empty buffer
  }
  std::FILE* records = ::fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
  std::FILE* sink = std::fopen("/dev/null", "wb");
  check(records != nullptr && sink != nullptr);

  const varnel::Verification result =
      varnel::verify_records(records, nullptr, sink);
  const varnel::Summary& summary = result.summary;
  if (result.verdict == varnel::Verdict::valid) {
    // Every byte belongs to a header or to the data its header announced.
    check(summary.records * varnel::kHeaderSize + summary.data_bytes == size);
    check(summary.runs >= 1 && summary.runs <= summary.records);
    // The second walk, over the headers alone, finds the same runs.
    check(varnel::print_runs(records, summary, sink));
  } else {
    check(result.verdict == varnel::Verdict::invalid);
    check(result.record == summary.records + 1 && result.offset < size);
  }
  std::fclose(records);
  std::fclose(sink);
  return 0;
}
