#include "check/problems.h"

#include <cinttypes>

#include "check/check.h"
#include "console/closed_pipe.h"
#include "console/console_output.h"
#include "console/quoting.h"

namespace varnel {
namespace {

// The line for a wrong record.
void say_fault(const char* name, RecordFault fault, std::uint64_t record,
               std::uint64_t offset, std::FILE* out, std::FILE* err) {
  char line[160];
  (void)std::snprintf(line, sizeof line,
                      ": record %" PRIu64 " at byte %" PRIu64 ": %s", record,
                      offset, describe(fault));
  say_problem(out, err, quoted(name) + line);
}

// The lines for a file in which the walk read on past its wrong records:
// the first of them, each with the bytes skipped to the next record when
// that had to be searched for, how many more, and how many are wrong of all.
void say_faults(const Verification& verification, const char* name,
                std::FILE* out, std::FILE* err) {
  for (const FaultFound& fault : verification.faults) {
    say_fault(name, fault.fault, fault.record, fault.offset, out, err);
    if (fault.skipped > 0) {
      char line[160];
      (void)std::snprintf(line, sizeof line,
                          " skipped before record %" PRIu64 " at byte %" PRIu64,
                          fault.record + 1, fault.offset + fault.skipped);
      say_problem(out, err,
                  quoted(name) + ": " + counted(fault.skipped, "byte") + line);
    }
  }
  const std::uint64_t wrong = verification.wrong_records;
  if (wrong > verification.faults.size()) {
    say_problem(
        out, err,
        quoted(name) + ": ... and " +
            counted(wrong - verification.faults.size(), "more wrong record"));
  }
  say_problem(out, err,
              quoted(name) + ": wrong records: " + std::to_string(wrong) +
                  " of " +
                  std::to_string(verification.summary.records + wrong));
}

}  // namespace

void say_problem(std::FILE* out, std::FILE* err, const std::string& line) {
  (void)std::fflush(out);
  // Nowhere is left to say that this could not be said.
  (void)write_text(err, "varnel-check: " + line + "\n");
}

void say_hint(std::FILE* out, std::FILE* err, const std::string& hint) {
  (void)std::fflush(out);
  (void)write_text(err, "(" + hint + ")\n");
}

bool may_be_image(const Verification& verification) {
  const bool header_wrong = verification.fault == RecordFault::record_type ||
                            verification.fault == RecordFault::header_checksum;
  return verification.verdict == Verdict::invalid && verification.record == 1 &&
         header_wrong && verification.summary.records == 0;
}

bool begins_without_record(const Verification& verification) {
  const bool too_short = verification.verdict == Verdict::invalid &&
                         verification.record == 1 &&
                         verification.fault == RecordFault::cut_short_in_header;
  const bool empty = verification.verdict == Verdict::valid &&
                     verification.summary.records == 0;
  return may_be_image(verification) || too_short || empty;
}

std::string with_reason(const std::string& what, const char* name,
                        const std::error_code& error) {
  return what + " " + quoted(name) + ": " + error.message();
}

bool reached(std::FILE* out) {
  return std::fflush(out) == 0 && std::ferror(out) == 0;
}

std::string counted(std::uint64_t count, const char* thing) {
  return std::to_string(count) + " " + thing + (count == 1 ? "" : "s");
}

int report_not_valid(const Verification& verification, const char* name,
                     const char* image_name, std::FILE* out, std::FILE* err) {
  switch (verification.verdict) {
    case Verdict::read_failed:
      say_problem(out, err,
                  with_reason("error reading", name, verification.error));
      return kCheckFailed;
    case Verdict::write_failed:
      say_problem(out, err,
                  with_reason("error writing", image_name, verification.error));
      return kCheckFailed;
    case Verdict::invalid: {
      if (verification.wrong_records > 0) {
        say_faults(verification, name, out, err);
        return kCheckInvalid;
      }
      say_fault(name, verification.fault, verification.record,
                verification.offset, out, err);
      return kCheckInvalid;
    }
    case Verdict::listing_failed:  // said once, at the end
    case Verdict::stopped:         // said by whoever stopped it
      return kCheckFailed;
    case Verdict::interrupted:  // ends the program before this is reached
    case Verdict::valid:
      break;
  }
  return kCheckValid;
}

int report_no_records(const char* name, std::FILE* out, std::FILE* err) {
  say_problem(out, err, quoted(name) + ": holds no records");
  return kCheckInvalid;
}

int report_not_written(std::FILE* out, std::FILE* err) {
  if (!reader_gone(out)) {
    (void)write_text(err, "varnel-check: error writing the report\n");
  }
  return kCheckFailed;
}

}  // namespace varnel
