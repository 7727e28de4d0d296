#include "check/report.h"

#include <cinttypes>
#include <string>

#include "records/record_format.h"

namespace varnel {
namespace {

// "record 5" or "records 5 to 9".
std::string records_named(std::uint64_t first, std::uint64_t last) {
  if (first == last) {
    return "record " + std::to_string(first);
  }
  return "records " + std::to_string(first) + " to " + std::to_string(last);
}

void print_runs(std::FILE* out, const Summary& summary) {
  std::uint64_t number = 0;
  for (const Run& run : summary.runs) {
    const auto last = static_cast<std::uint32_t>(
        (run.first_address + run.length - 1) & kField24Mask);
    (void)std::fprintf(out,
                       "run %" PRIu64 ": %06" PRIX32 " to %06" PRIX32
                       " (%" PRIu64 " %s)\n",
                       ++number, run.first_address, last, run.records,
                       run.records == 1 ? "record" : "records");
  }
}

void print_reuse(std::FILE* out, const AddressReuse& reuse) {
  if (!reuse.found) {
    return;
  }
  const std::string later = records_named(reuse.first, reuse.last);
  const char* verb = reuse.first == reuse.last ? "uses" : "use";
  const std::string earlier =
      reuse.exact
          ? "the addresses of " + records_named(reuse.earliest, reuse.latest)
          : "addresses of earlier records";
  (void)std::fprintf(out,
                     "note: %s %s %s again: flashed, the later ones "
                     "overwrite the earlier\n",
                     later.c_str(), verb, earlier.c_str());
}

}  // namespace

void print_report(std::FILE* out, const char* name, const Summary& summary) {
  (void)std::fprintf(out,
                     "\"%s\": valid\n"
                     "records: %" PRIu64
                     "\n"
                     "data bytes: %" PRIu64 "\n",
                     name, summary.records, summary.data_bytes);
  print_runs(out, summary);
  print_reuse(out, summary.reuse);
  if (summary.runs.size() == 1 && summary.all_blocks) {
    (void)std::fprintf(out, "start address for varnel: %06" PRIX32 "\n",
                       summary.runs.front().first_address);
  }
}

}  // namespace varnel
