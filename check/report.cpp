#include "check/report.h"

#include <cinttypes>
#include <string>

#include "console/console_output.h"
#include "console/quoting.h"
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

bool print_runs(std::FILE* out, const Summary& summary) {
  bool written = true;
  std::uint64_t number = 0;
  for (const Run& run : summary.runs) {
    const auto last = static_cast<std::uint32_t>(
        (run.first_address + run.length - 1) & kField24Mask);
    written = print_text(out,
                         "run %" PRIu64 ": %06" PRIX32 " to %06" PRIX32
                         " (%" PRIu64 " %s)\n",
                         ++number, run.first_address, last, run.records,
                         run.records == 1 ? "record" : "records") &&
              written;
  }
  // Past the runs kept, only their number.
  if (summary.run_count > summary.runs.size()) {
    const std::uint64_t more = summary.run_count - summary.runs.size();
    written = print_text(out, "... and %" PRIu64 " more %s\n", more,
                         more == 1 ? "run" : "runs") &&
              written;
  }
  return written;
}

bool print_reuse(std::FILE* out, const AddressReuse& reuse,
                 std::uint64_t records) {
  // The addresses are followed within a budget: a file of more runs than it
  // holds is looked at as far as it goes, and the note says so.
  if (reuse.gave_up && records > reuse.looked_up_to) {
    return print_text(out,
                      "note: records after %" PRIu64
                      " were not looked at for addresses used again: too "
                      "many runs\n",
                      reuse.looked_up_to);
  }
  if (!reuse.found) {
    return true;
  }
  const std::string later = records_named(reuse.first, reuse.last);
  const char* verb = reuse.first == reuse.last ? "uses" : "use";
  const std::string earlier =
      reuse.exact
          ? "the addresses of " + records_named(reuse.earliest, reuse.latest)
          : "addresses of earlier records";
  return print_text(out,
                    "note: %s %s %s again: flashed, the later ones "
                    "overwrite the earlier\n",
                    later.c_str(), verb, earlier.c_str());
}

}  // namespace

bool print_report(std::FILE* out, const char* name, const Summary& summary) {
  bool written =
      print_text(out,
                 "%s: valid\n"
                 "records: %" PRIu64
                 "\n"
                 "data bytes: %" PRIu64 "\n",
                 quoted(name).c_str(), summary.records, summary.data_bytes);
  written = print_runs(out, summary) && written;
  written = print_reuse(out, summary.reuse, summary.records) && written;
  if (summary.run_count == 1 && summary.all_blocks) {
    written = print_text(out, "start address for varnel: %06" PRIX32 "\n",
                         summary.runs.front().first_address) &&
              written;
  }
  return written;
}

}  // namespace varnel
