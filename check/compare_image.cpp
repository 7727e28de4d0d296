#include "check/compare_image.h"

#include <cinttypes>
#include <string>

#include "check/check.h"
#include "check/compare.h"
#include "check/problems.h"
#include "check/record_files.h"
#include "check/report.h"
#include "console/console_output.h"
#include "console/quoting.h"
#include "files/stream_read.h"

namespace varnel {
namespace {

// The line for an image that differs from the data of the records.
std::string difference(const CompareResult& result,
                       const Comparison& comparison, const char* image) {
  if (result.likeness == Likeness::differs) {
    char line[160];
    (void)std::snprintf(line, sizeof line,
                        " at offset 0x%" PRIX64 " (address %06" PRIX32 ")",
                        comparison.offset, comparison.address);
    return "record " + std::to_string(comparison.record) + " differs from " +
           quoted(image) + line;
  }
  return quoted(image) + " is " + counted(result.bytes, "byte") +
         (result.likeness == Likeness::longer ? " longer" : " shorter");
}

}  // namespace

int compare(const char* name, const Options& options, const Walk& base,
            std::span<std::uint8_t> window, std::FILE* out, std::FILE* err,
            bool& report_lost) {
  const char* image_name = options.compare_name;
  std::FILE* image = open_record_file(image_name, out, err);
  if (image == nullptr) {
    return kCheckFailed;
  }
  std::FILE* records = open_record_file(name, out, err);
  if (records == nullptr) {
    close_record_file(image_name, image);
    return kCheckFailed;
  }
  Comparison comparison;
  comparison.image = image;
  comparison.waits = can_block(image);
  comparison.window = window;
  Walk walk = base;
  walk.data = [&comparison](const DataPiece& piece) {
    return compare_piece(comparison, piece);
  };
  const Verification verification = walk_and_close(name, records, walk, err);
  report_lost = report_lost || verification.verdict == Verdict::listing_failed;
  const Summary& summary = verification.summary;
  CompareResult result;
  if (verification.verdict == Verdict::valid && summary.records > 0) {
    result = finish_comparison(comparison, summary.data_bytes);
  }
  close_record_file(image_name, image);
  if (comparison.failed) {
    say_problem(out, err,
                with_reason("error reading", image_name, comparison.error));
    return kCheckFailed;
  }
  if (verification.verdict != Verdict::valid) {
    const int status = report_not_valid(verification, name, nullptr, out, err);
    // The names the other way round: the image where the record file goes.
    if (may_be_image(verification)) {
      say_hint(out, err,
               "it does not begin with a record: it may be an image; -c "
               "takes the image first: -c IMAGE RECORD_FILE");
    }
    return status;
  }
  if (summary.records == 0) {
    return report_no_records(name, out, err);
  }
  if (!options.quiet) {
    report_lost = !print_report(out, name, summary) || report_lost;
  }
  if (result.likeness != Likeness::equal) {
    say_problem(out, err, difference(result, comparison, image_name));
    return kCheckInvalid;
  }
  if (!options.quiet) {
    report_lost =
        !print_text(out, "holds %s exactly\n", quoted(image_name).c_str()) ||
        report_lost;
  }
  return kCheckValid;
}

}  // namespace varnel
