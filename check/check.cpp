#include "check/check.h"

#include <cinttypes>
#include <optional>
#include <string>
#include <system_error>

#include "check/options.h"
#include "check/verify.h"
#include "console/interruption.h"
#include "console/progress.h"
#include "files/file_checks.h"
#include "files/output_file.h"
#include "files/stream_position.h"

namespace varnel {
namespace {

constexpr char kUsage[] =
    "usage: varnel-check <record_file> [<image_file>]\n"
    "Checks every record of a record file written by varnel and, given an\n"
    "image file, writes the data of its records back out as the raw image.\n";

constexpr char kHelp[] =
    "usage: varnel-check [--list] [--] <record_file> [<image_file>]\n"
    "       varnel-check -h | --help | --version\n"
    "Checks every record of a record file written by varnel and, given an\n"
    "image file, writes the data of its records back out as the raw image.\n"
    "\n"
    "Options, before the file names:\n"
    "  --list      print a line per record as it is verified: its number,\n"
    "              its byte offset in the file, and in hexadecimal its\n"
    "              address, its length and its data checksum\n"
    "  -h, --help  print this help\n"
    "  --version   print the version\n"
    "  --          end the options: the names after it may start with '-'\n"
    "\n"
    "Exit status: 0 valid, 1 a wrong record (or, with an image file, more\n"
    "than one run), 2 could not check.\n";

void print_summary(std::FILE* out, const char* record_name,
                   const Summary& summary) {
  (void)std::fprintf(out,
                     "\"%s\": valid\n"
                     "records: %" PRIu64
                     "\n"
                     "data bytes: %" PRIu64 "\n",
                     record_name, summary.records, summary.data_bytes);
}

// The image asked for, while it is written under a temporary name.
struct ImageOut {
  const char* name = nullptr;  // as given; null when no image is asked for
  Output output;               // open until the image is finished or dropped
};

// Finds where the image goes and opens its temporary file. A status to end
// the run with when that fails, after saying why.
std::optional<int> start_image(ImageOut& image, std::FILE* err) {
  // The image replaces a regular file or takes a new name; anything else (a
  // device, a directory) is refused.
  const DestinationFound found = find_destination(image.name);
  if (found.kind != Destination::nothing &&
      found.kind != Destination::regular_file) {
    (void)std::fprintf(err, "varnel-check: \"%s\" is not a regular file\n",
                       image.name);
    return kCheckFailed;
  }
  // From here on an interruption must not leave the image or its temporary
  // file behind.
  catch_interruptions();
  if (!open_output(image.name, found, image.output)) {
    if (interrupted()) {
      end_by_interruption();  // cut short while creating: nothing made
    }
    (void)std::fprintf(err, "varnel-check: cannot create \"%s\"\n", image.name);
    return kCheckFailed;
  }
  return std::nullopt;
}

// Throws the unfinished image away; gives back `status`.
int drop_image(ImageOut& image, int status) {
  discard_output(image.output);
  return status;
}

// An interruption ends the run as soon as it is seen, with nothing more
// said and no image left.
void end_if_interrupted(ImageOut& image) {
  if (interrupted()) {
    (void)drop_image(image, kCheckFailed);
    end_by_interruption();
  }
}

// The one line for a record file that is not valid, or could not be read
// through; the status to end with.
int report_not_valid(const Verification& verification, const char* record_name,
                     ImageOut& image, std::FILE* err) {
  switch (verification.verdict) {
    case Verdict::read_failed:
      (void)std::fprintf(err, "varnel-check: error reading \"%s\"\n",
                         record_name);
      return drop_image(image, kCheckFailed);
    case Verdict::write_failed:
      (void)std::fprintf(err, "varnel-check: error writing \"%s\"\n",
                         image.name);
      return drop_image(image, kCheckFailed);
    case Verdict::invalid:
      (void)std::fprintf(err,
                         "varnel-check: \"%s\": record %" PRIu64
                         " at byte %" PRIu64 ": %s\n",
                         record_name, verification.record, verification.offset,
                         describe(verification.fault));
      return drop_image(image, kCheckInvalid);
    case Verdict::interrupted:  // ended before this is reached
    case Verdict::valid:
      break;
  }
  return kCheckValid;
}

// Gives the image of a valid record file its name, if it is one run.
int finish_image(ImageOut& image, const char* record_name,
                 const Summary& summary, std::FILE* err) {
  if (summary.runs > 1) {
    (void)std::fprintf(
        err,
        "varnel-check: \"%s\": not restored: the records form %" PRIu64
        " runs, not one\n",
        record_name, summary.runs);
    return drop_image(image, kCheckInvalid);
  }
  end_if_interrupted(image);
  if (!publish_output(image.output)) {
    if (interrupted()) {
      end_by_interruption();  // the temporary file is gone already
    }
    (void)std::fprintf(err, "varnel-check: error writing \"%s\"\n", image.name);
    return kCheckFailed;
  }
  // The image has its name: an interruption from here on leaves it.
  stop_catching_interruptions();
  return kCheckValid;
}

int check_open_file(std::FILE* records, const Options& options, std::FILE* out,
                    std::FILE* err) {
  const char* record_name = options.record_name;
  ImageOut image;
  image.name = options.image_name;
  if (image.name != nullptr) {
    if (const std::optional<int> failed = start_image(image, err)) {
      return *failed;
    }
  }

  Progress progress = start_progress(err, std::nullopt);
  if (progress.terminal != nullptr) {
    progress.total = stream_size(records);
    // Measured but not taken back to its start, the file would look empty.
    if (!progress.total && stream_position(records).value_or(0) != 0) {
      (void)std::fprintf(err, "varnel-check: error reading \"%s\"\n",
                         record_name);
      return drop_image(image, kCheckFailed);
    }
  }
  const Verification verification = verify_records(
      records, image.output.file, options.list ? out : nullptr, &progress);
  clear_progress(progress);
  end_if_interrupted(image);
  if (verification.verdict != Verdict::valid) {
    return report_not_valid(verification, record_name, image, err);
  }

  const Summary& summary = verification.summary;
  print_summary(out, record_name, summary);
  if (!print_runs(records, summary, out)) {
    (void)std::fprintf(err, "varnel-check: error reading \"%s\" again\n",
                       record_name);
    return drop_image(image, kCheckFailed);
  }
  if (summary.runs == 1 && summary.all_blocks) {
    (void)std::fprintf(out, "start address for varnel: %06" PRIX32 "\n",
                       summary.first_address);
  }
  if (image.name == nullptr) {
    return kCheckValid;
  }
  return finish_image(image, record_name, summary, err);
}

// The answer to --help or --version: only its own output can fail.
int print_and_exit(std::FILE* out, std::FILE* err, const char* text) {
  (void)std::fputs(text, out);
  if (std::fflush(out) != 0 || std::ferror(out) != 0) {
    (void)std::fputs("varnel-check: error writing the report\n", err);
    return kCheckFailed;
  }
  return kCheckValid;
}

int print_usage(const Options& options, std::FILE* err) {
  if (!options.unknown_option.empty()) {
    (void)std::fprintf(err, "varnel-check: unknown option \"%.*s\"\n",
                       static_cast<int>(options.unknown_option.size()),
                       options.unknown_option.data());
  }
  if (!options.misplaced_option.empty()) {
    (void)std::fprintf(
        err,
        "varnel-check: \"%.*s\" after a file name: options come first, and "
        "a name that starts with '-' comes after \"--\"\n",
        static_cast<int>(options.misplaced_option.size()),
        options.misplaced_option.data());
  }
  (void)std::fputs(kUsage, err);
  return kCheckFailed;
}

}  // namespace

int run_check(std::span<const char* const> args, std::FILE* out,
              std::FILE* err) {
  const Options options = parse_options(args);
  switch (options.request) {
    case Request::help:
      return print_and_exit(out, err, kHelp);
    case Request::version:
      return print_and_exit(out, err, "varnel-check " VARNEL_VERSION "\n");
    case Request::usage:
      return print_usage(options, err);
    case Request::check:
      break;
  }
  const char* record_name = options.record_name;
  const char* image_name = options.image_name;
  if (image_name != nullptr && same_file(record_name, image_name)) {
    (void)std::fprintf(err, "varnel-check: \"%s\" is the record file itself\n",
                       image_name);
    return kCheckFailed;
  }
  std::FILE* records =
      is_directory(record_name) ? nullptr : std::fopen(record_name, "rb");
  if (records == nullptr) {
    (void)std::fprintf(err, "varnel-check: cannot open \"%s\"\n", record_name);
    return kCheckFailed;
  }

  int status = check_open_file(records, options, out, err);
  (void)std::fclose(records);  // only ever read
  // The report is the answer: if it could not be written, nothing was told.
  if (std::fflush(out) != 0 || std::ferror(out) != 0) {
    (void)std::fputs("varnel-check: error writing the report\n", err);
    status = kCheckFailed;
  }
  return status;
}

}  // namespace varnel
