#include "check/restore.h"

#include <cinttypes>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <utility>

#include "check/check.h"
#include "check/image_output.h"
#include "check/problems.h"
#include "check/record_files.h"
#include "check/report.h"
#include "console/console_output.h"
#include "console/interruption.h"
#include "console/quoting.h"
#include "files/file_checks.h"
#include "files/output_file.h"
#include "records/record_format.h"
#include "records/record_reader.h"

namespace varnel {
namespace {

// varnel-check replaces only what it makes: never a record file, which a
// slip of the names would destroy.
bool is_not_record_file(std::span<const std::uint8_t> first) {
  return !begins_with_record_header(first);
}

// A record file is told by its first record header.
constexpr OutputRules kImageRules{kHeaderSize, is_not_record_file, interrupted};

// What the name given for the image leads to is refused, when it is not a
// file that can be replaced or made: the reason, or nothing.
std::optional<std::string> image_refused(const char* image,
                                         const DestinationFound& found) {
  switch (found.kind) {
    case Destination::nothing:
    case Destination::regular_file:
      return std::nullopt;
    case Destination::descriptor:
      // A file opened for it (/dev/fd/3 with 3>image.fls) is written
      // through; standard output and error carry the report.
      if (!found.descriptor_is_file) {
        return quoted(image) + " is not a regular file";
      }
      if (found.descriptor == 1 || found.descriptor == 2) {
        return quoted(image) + " is where the report goes";
      }
      return std::nullopt;
    case Destination::directory:
      return quoted(image) + " is a directory";
    case Destination::dangling_link:
      return quoted(image) + " is a symbolic link to a file that is not there";
    case Destination::other:
      return quoted(image) + " is not a regular file";
    case Destination::unusable:
      break;
  }
  return with_reason("cannot create", image, found.error);
}

// The walk that writes an image through `batch`: the data of the one run
// as it is read, or, with `flash`, what the records write at their
// addresses, gathered there.
Walk image_walk(const Walk& base, FlashImage* flash, ImageBatch& batch) {
  Walk walk = base;
  if (flash == nullptr) {
    walk.image = &batch;
  } else {
    walk.data = [flash](const DataPiece& piece) {
      return flash_piece(*flash, piece);
    };
  }
  return walk;
}

}  // namespace

int restore(const char* name, const char* image, const Options& options,
            const Walk& base, FlashImage* flash, std::FILE* out, std::FILE* err,
            bool& report_lost) {
  // Standard input is compared by what it reads, whatever its name.
  if (is_standard_input(name) ? same_file_as_standard_input(image)
                              : same_file(name, image)) {
    say_problem(out, err, quoted(image) + " is the record file itself");
    return kCheckFailed;
  }
  DestinationFound found = find_destination(image);
  if (const std::optional<std::string> refused = image_refused(image, found)) {
    say_problem(out, err, *refused);
    return kCheckFailed;
  }
  std::FILE* records = open_record_file(name, out, err);
  if (records == nullptr) {
    return kCheckFailed;
  }

  catch_interruptions();
  Output output;
  if (!open_output(std::move(found), kImageRules, output)) {
    close_record_file(name, records);
    stop_catching_interruptions();  // an open cut short made nothing
    say_problem(out, err,
                output.wrong_kind
                    ? quoted(image) +
                          " is a record file: not replaced (remove it first "
                          "to replace it)"
                    : with_reason("cannot create", image, output.error));
    return kCheckFailed;
  }
  // Every byte of the image goes to the disk through here.
  ImageBatch batch;
  batch.file = output.file.get();
  const Verification verification =
      verify_with_progress(name, records, image_walk(base, flash, batch), err);
  close_record_file(name, records);
  // Every way out below that publishes nothing throws the image away first;
  // an interruption noted by then ends the program there, with nothing
  // more said.
  const auto give_up = [&output] {
    discard_output(output);
    stop_catching_interruptions();
  };
  if (interrupted()) {
    give_up();
  }
  if (verification.verdict != Verdict::valid) {
    give_up();
    report_lost = verification.verdict == Verdict::listing_failed;
    const int status = report_not_valid(verification, name, image, out, err);
    if (may_be_image(verification)) {
      say_hint(out, err, kImageHint);
    }
    return status;
  }
  if (verification.summary.records == 0) {
    give_up();
    return report_no_records(name, out, err);
  }
  const Summary& summary = verification.summary;
  if (flash != nullptr && !write_flash_image(*flash, batch)) {
    give_up();
    say_problem(out, err, with_reason("error writing", image, batch.error));
    return kCheckFailed;
  }
  report_lost = !options.quiet && !print_report(out, name, summary);
  if (flash == nullptr && summary.run_count > 1) {
    give_up();
    say_problem(out, err,
                quoted(name) + ": not restored: the records form " +
                    std::to_string(summary.run_count) + " runs, not one");
    say_hint(
        out, err,
        "to write what the flash holds, use --flash-image " + escaped(image));
    return kCheckInvalid;
  }
  // The report is the answer: unless it has been told, there is no image.
  // (What went wrong is said at the end, as for any report.)
  if (report_lost || !reached(out)) {
    report_lost = true;
    give_up();
    return kCheckFailed;
  }
  if (!commit_output(output)) {
    stop_catching_interruptions();  // the temporary file is gone already
    say_problem(out, err, with_reason("error writing", image, output.error));
    return kCheckFailed;
  }
  // The image has its name: an interruption from here on leaves it.
  stop_catching_interruptions();
  if (options.quiet) {
    return kCheckValid;
  }
  if (flash != nullptr) {
    report_lost = !print_text(
        out,
        "flash image written to %s (from %06" PRIX32 " to %06" PRIX32
        ", %s, %s)\n",
        quoted(image).c_str(), flash->low, flash->high,
        counted(flash->runs, "run").c_str(),
        (counted(filled_bytes(*flash), "byte") + " filled").c_str());
    return kCheckValid;
  }
  report_lost =
      !print_text(out, "image written to %s\n", quoted(image).c_str());
  return kCheckValid;
}

}  // namespace varnel
