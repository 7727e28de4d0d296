#include "check/check.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "check/compare.h"
#include "check/flash_image.h"
#include "check/options.h"
#include "check/quoting.h"
#include "check/record_input.h"
#include "check/report.h"
#include "check/verify.h"
#include "console/closed_pipe.h"
#include "console/console_output.h"
#include "console/interruption.h"
#include "console/progress.h"
#include "files/file_checks.h"
#include "files/output_file.h"
#include "files/standard_input.h"
#include "files/stream_position.h"
#include "files/stream_read.h"
#include "records/record_reader.h"

namespace varnel {
namespace {

constexpr char kUsage[] =
    "usage: varnel-check [--list | -q] [--all-faults] [--] RECORD_FILE...\n"
    "       varnel-check [--list | -q] [--all-faults] -o IMAGE [--] "
    "RECORD_FILE\n"
    "       varnel-check [--list | -q] [--all-faults] -c IMAGE [--] "
    "RECORD_FILE\n"
    "       varnel-check [--list | -q] [--all-faults] --flash-image OUT\n"
    "                    [--fill XX] [--] RECORD_FILE\n"
    "       varnel-check -h | --help | --version\n";

constexpr char kTryHelp[] = "Try \"varnel-check --help\" for more.\n";

// The image compared with the records is read this much at a time.
constexpr std::size_t kCompareWindowSize = std::size_t{1} << 20;

constexpr char kDescription[] =
    "Checks every record of each record file written by varnel, and reports\n"
    "on each file. With -o, also writes the data of the records of one\n"
    "record file back out as the raw image; with -c, compares it with an\n"
    "image; with --flash-image, writes what the flash holds once every\n"
    "record is written at its address. \"-\" names standard input.\n"
    "\n"
    "A record file is valid when every record in it is right. The format has\n"
    "no record count and no end mark: a file cut between two records is\n"
    "valid too. To know that nothing is missing, compare it with the dump it\n"
    "was made from (--compare IMAGE).\n"
    "\n"
    "Options, before the file names:\n"
    "  --list              print a line per record as it is verified: its\n"
    "                      number, its byte offset in the file, and in\n"
    "                      hexadecimal its address, its length and its data\n"
    "                      checksum\n"
    "  -q, --quiet         print no report: only the error lines, on\n"
    "                      standard error, and the exit status\n"
    "  --all-faults        read on past a wrong record, 8201 bytes after its\n"
    "                      start (where the next record of a file from\n"
    "                      varnel starts), and name every wrong record (the\n"
    "                      first 100), then how many records are wrong\n"
    "  -o, --output IMAGE  write the image of the record file to IMAGE,\n"
    "                      whole or not at all\n"
    "  -c, --compare IMAGE\n"
    "                      compare the data of the records, in file order,\n"
    "                      with IMAGE (\"-\": standard input), and name the\n"
    "                      first difference; nothing is written\n"
    "  --flash-image OUT   write to OUT, whole or not at all, the flash from\n"
    "                      the lowest address the records use to the\n"
    "                      highest, a later record over an earlier one\n"
    "  --fill XX           the byte, two hexadecimal digits, for the\n"
    "                      addresses of the flash image that no record\n"
    "                      writes: FF, erased flash, unless given\n"
    "  -h, --help          print this help\n"
    "  --version           print the version\n"
    "  --                  end the options: the names after it may start\n"
    "                      with '-'\n"
    "\n"
    "Exit status: 0 every file valid (and the image written, or found equal);\n"
    "2 a file could not be checked (wrong arguments, a file that cannot be\n"
    "read, an image or a report that cannot be written); otherwise 1 a file\n"
    "with a wrong record or no record at all (or, with -o, records that form\n"
    "more than one run; with -c, a difference).\n";

// Frees memory that std::malloc gave.
void free_memory(void* memory) { std::free(memory); }

bool is_standard_input(const char* name) {
  return std::string_view(name) == "-";
}

// The status of a run that checked several files: the worst of them.
int worse(int a, int b) { return std::max(a, b); }

// Says one problem on `err`, after what `out` holds so far, so that on a
// console the lines come in the order they happened.
void say_problem(std::FILE* out, std::FILE* err, const std::string& line) {
  (void)std::fflush(out);
  // Nowhere is left to say that this could not be said.
  (void)write_text(err, "varnel-check: " + line + "\n");
}

// "cannot open "NAME": No such file or directory".
std::string with_reason(const std::string& what, const char* name,
                        const std::error_code& error) {
  return what + " " + quoted(name) + ": " + error.message();
}

// Whatever has been written to `out` has reached it.
bool reached(std::FILE* out) {
  return std::fflush(out) == 0 && std::ferror(out) == 0;
}

// Opens a record file by name, or standard input for "-". Null after saying
// why it cannot be read, and `hint_if_missing` on the next line, when given,
// if there is no such file.
std::FILE* open_record_file(const char* name, std::FILE* out, std::FILE* err,
                            const std::string& hint_if_missing = {}) {
  if (is_standard_input(name)) {
    std::FILE* in = binary_standard_input();
    if (in == nullptr) {
      say_problem(out, err,
                  with_reason("cannot open", name,
                              std::error_code(errno, std::generic_category())));
    }
    return in;
  }
  // fopen opens a directory for reading, and its reads fail.
  if (is_directory(name)) {
    say_problem(out, err,
                with_reason("cannot open", name,
                            std::make_error_code(std::errc::is_a_directory)));
    return nullptr;
  }
  std::FILE* records = std::fopen(name, "rb");
  if (records == nullptr) {
    const std::error_code why(errno, std::generic_category());
    say_problem(out, err, with_reason("cannot open", name, why));
    if (!hint_if_missing.empty() &&
        why == std::errc::no_such_file_or_directory) {
      (void)write_text(err, hint_if_missing + "\n");
    }
  }
  return records;
}

void close_record_file(const char* name, std::FILE* records) {
  if (!is_standard_input(name)) {
    (void)std::fclose(records);  // only ever read
  }
}

// Walks the record file with a progress line on `err` when it is a terminal:
// over the file's size when it has one that can be taken, by bytes and rate
// alone for a pipe.
Verification verify_with_progress(const char* name, std::FILE* records,
                                  Walk walk, std::FILE* err) {
  Progress progress = start_progress(err, std::nullopt, walk.listing);
  // The size is only for the line, and taken only for it. Standard input may
  // not stand at the start of what it holds: it is left where it is.
  if (progress.terminal != nullptr && !is_standard_input(name) &&
      seek_stream(records, 0, SEEK_END)) {
    progress.total = stream_position(records);
    // Not taken back to its start, the file would look empty.
    if (!seek_stream(records, 0, SEEK_SET)) {
      Verification failed;
      failed.verdict = Verdict::read_failed;
      failed.error =
          std::error_code(errno != 0 ? errno : EIO, std::generic_category());
      return failed;
    }
  }
  walk.progress = &progress;
  const Verification verification = verify_records(records, walk);
  clear_progress(progress);
  return verification;
}

// "1 record", "2 records".
std::string counted(std::uint64_t count, const char* thing) {
  return std::to_string(count) + " " + thing + (count == 1 ? "" : "s");
}

// The lines for a file in which the walk read on past its wrong records:
// the first of them, how many more, and how many are wrong of all.
void say_faults(const Verification& verification, const char* name,
                std::FILE* out, std::FILE* err) {
  for (const FaultFound& fault : verification.faults) {
    char line[160];
    (void)std::snprintf(line, sizeof line,
                        ": record %" PRIu64 " at byte %" PRIu64 ": %s",
                        fault.record, fault.offset, describe(fault.fault));
    say_problem(out, err, quoted(name) + line);
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

// The one line for a record file that is not valid, or could not be read
// through; the status to end with.
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
      char line[160];
      (void)std::snprintf(line, sizeof line,
                          ": record %" PRIu64 " at byte %" PRIu64 ": %s",
                          verification.record, verification.offset,
                          describe(verification.fault));
      say_problem(out, err, quoted(name) + line);
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

// An empty record file is what a failed conversion leaves (an image of the
// wrong size), and what a pipe from a command that failed brings: never a
// valid one, though no record in it is wrong. Says so; the status to end
// with.
int report_no_records(const char* name, std::FILE* out, std::FILE* err) {
  say_problem(out, err, quoted(name) + ": holds no records");
  return kCheckInvalid;
}

// Before the first line that a file's check writes on `out`: an empty line
// if an earlier file's did, so that each file's listing and report stand
// apart. (Error lines, on standard error, stay as they are.)
void separate(std::FILE* out, bool& printed_before, bool& report_lost) {
  if (printed_before) {
    report_lost = !write_text(out, "\n") || report_lost;
  }
  printed_before = true;
}

// Checks one record file and reports on it; sets `report_lost` when some of
// the report or listing could not be written, which then ends the run, and
// `printed` once anything was. With `maybe_image`, the file is the second of
// two, where the image was named before -o: if it does not exist, a hint says
// how to write it.
int check_file(const char* name, const Options& options, const Walk& walk,
               std::FILE* out, std::FILE* err, bool& report_lost, bool& printed,
               bool maybe_image) {
  std::FILE* records = open_record_file(
      name, out, err,
      maybe_image ? "(to write the image, use -o " + escaped(name) + ")" : "");
  if (records == nullptr) {
    return kCheckFailed;
  }
  if (options.list) {
    separate(out, printed, report_lost);  // the listing starts at once
  }
  // Noted, so that the progress line is erased before an interruption ends
  // the program, which it then does here.
  catch_interruptions();
  const Verification verification =
      verify_with_progress(name, records, walk, err);
  close_record_file(name, records);
  stop_catching_interruptions();
  report_lost = report_lost || verification.verdict == Verdict::listing_failed;
  if (verification.verdict != Verdict::valid) {
    return report_not_valid(verification, name, nullptr, out, err);
  }
  if (verification.summary.records == 0) {
    return report_no_records(name, out, err);
  }
  if (options.quiet) {
    return kCheckValid;
  }
  if (!options.list) {
    separate(out, printed, report_lost);
  }
  report_lost = !print_report(out, name, verification.summary) ||
                !reached(out) || report_lost;
  return report_lost ? kCheckFailed : kCheckValid;
}

// varnel-check replaces only what it makes: never a record file, which a
// slip of the names would destroy.
bool is_not_record_file(std::span<const std::uint8_t> first) {
  return !begins_with_block_header(first);
}

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

// The walk that writes an image to `image`: the data of the one run as it
// is read, or, with `flash`, what the records write at their addresses,
// gathered there.
Walk image_walk(const Walk& base, FlashImage* flash, std::FILE* image) {
  Walk walk = base;
  if (flash == nullptr) {
    walk.image = image;
  } else {
    walk.data = [flash](const DataPiece& piece) {
      return flash_piece(*flash, piece);
    };
  }
  return walk;
}

// Writes the flash image gathered from the records, found right, to
// `output`, opened for `image`. kCheckValid when it is written; otherwise
// the status to end with, and in `problem` what stopped it.
int write_flash(FlashImage& flash, const char* image, const Output& output,
                std::string& problem) {
  if (!write_flash_image(flash, output.file)) {
    problem = with_reason("error writing", image,
                          {errno != 0 ? errno : EIO, std::generic_category()});
    return kCheckFailed;
  }
  return kCheckValid;
}

// Checks the one record file and writes its image, under a temporary name
// that takes the image's name only once the records are found right, the
// report is written and the image is on the disk. An interruption meanwhile
// leaves neither the image nor the temporary file. With `flash`, the image
// is what the flash holds once the records are written at their addresses,
// gathered in `flash`; otherwise the data of the one run, in file order.
int restore(const char* name, const char* image, const Options& options,
            const Walk& base, FlashImage* flash, std::FILE* out, std::FILE* err,
            bool& report_lost) {
  // Standard input is compared by what it reads, whatever its name.
  if (is_standard_input(name) ? same_file_as_standard_input(image)
                              : same_file(name, image)) {
    say_problem(out, err, quoted(image) + " is the record file itself");
    return kCheckFailed;
  }
  const DestinationFound found = find_destination(image);
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
  if (!open_output(image, found, is_not_record_file, output)) {
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
  const Verification verification = verify_with_progress(
      name, records, image_walk(base, flash, output.file), err);
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
    return report_not_valid(verification, name, image, out, err);
  }
  if (verification.summary.records == 0) {
    give_up();
    return report_no_records(name, out, err);
  }
  const Summary& summary = verification.summary;
  if (flash != nullptr) {
    std::string problem;
    const int status = write_flash(*flash, image, output, problem);
    if (status != kCheckValid) {
      give_up();
      say_problem(out, err, problem);
      return status;
    }
  }
  report_lost = !options.quiet && !print_report(out, name, summary);
  if (flash == nullptr && summary.run_count > 1) {
    give_up();
    say_problem(out, err,
                quoted(name) + ": not restored: the records form " +
                    std::to_string(summary.run_count) + " runs, not one");
    return kCheckInvalid;
  }
  // The report is the answer: unless it has been told, there is no image.
  // (What went wrong is said at the end, as for any report.)
  if (report_lost || !reached(out)) {
    report_lost = true;
    give_up();
    return kCheckFailed;
  }
  if (!publish_output(output)) {
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

// Checks the one record file and compares the data of its records, in file
// order, with the image named with -c, read side by side with it in
// `window`. Nothing is written.
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
  // Noted, so that the progress line is erased before an interruption ends
  // the program, which it then does here.
  catch_interruptions();
  const Verification verification =
      verify_with_progress(name, records, walk, err);
  close_record_file(name, records);
  stop_catching_interruptions();
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
    return report_not_valid(verification, name, nullptr, out, err);
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

// Memory of `size` bytes for what `what` needs, set aside before any file is
// opened, from the C library, which answers a failure with null rather than
// an exception (C++'s nothrow new throws and catches inside, and with no
// memory left even the throw fails); null after saying that there is not
// enough.
using Memory = std::unique_ptr<std::uint8_t, decltype(&free_memory)>;
Memory set_aside(std::size_t size, const std::string& what, std::FILE* out,
                 std::FILE* err) {
  Memory memory(static_cast<std::uint8_t*>(std::malloc(size)), free_memory);
  if (!memory) {
    say_problem(
        out, err,
        "cannot allocate " + what + ": " +
            std::make_error_code(std::errc::not_enough_memory).message());
  }
  return memory;
}

// Says that the report could not be written; nothing where its reader has
// gone on Windows, which ends the program as quietly as SIGPIPE would.
int report_not_written(std::FILE* out, std::FILE* err) {
  if (!reader_gone(out)) {
    (void)write_text(err, "varnel-check: error writing the report\n");
  }
  return kCheckFailed;
}

// The answer to --help or --version: only its own output can fail.
int print_and_exit(std::FILE* out, std::FILE* err, const std::string& text) {
  if (!write_text(out, text) || !reached(out)) {
    return report_not_written(out, err);
  }
  return kCheckValid;
}

int print_usage(const Options& options, std::FILE* err) {
  (void)print_text(err, "varnel-check: %s\n%s%s", options.problem.c_str(),
                   kUsage, kTryHelp);
  return kCheckFailed;
}

}  // namespace

int run_check(std::span<const char* const> args, std::FILE* out,
              std::FILE* err) {
  const Options options = parse_options(args);
  switch (options.request) {
    case Request::help:
      return print_and_exit(out, err, std::string(kUsage) + kDescription);
    case Request::version:
      return print_and_exit(out, err, "varnel-check " VARNEL_VERSION "\n");
    case Request::usage:
      return print_usage(options, err);
    case Request::check:
      break;
  }
  // The memory of the whole run is had before any file is opened.
  const Memory chunk =
      set_aside(kChunkSize, "the buffer for reading (1 MiB)", out, err);
  if (!chunk) {
    return kCheckFailed;
  }
  Walk walk;
  walk.chunk = {chunk.get(), kChunkSize};
  walk.listing = options.list ? out : nullptr;
  walk.all_faults = options.all_faults;
  Memory replay(nullptr, free_memory);
  if (options.all_faults) {
    replay = set_aside(kReplayWindowSize, "the memory of --all-faults (16 MiB)",
                       out, err);
    if (!replay) {
      return kCheckFailed;
    }
    walk.replay_window = {replay.get(), kReplayWindowSize};
  }
  Memory window(nullptr, free_memory);
  if (options.compare_name != nullptr) {
    window = set_aside(kCompareWindowSize, "the buffer of --compare (1 MiB)",
                       out, err);
    if (!window) {
      return kCheckFailed;
    }
  }
  FlashImage flash;
  if (options.flash_name != nullptr && !make_flash_image(flash, options.fill)) {
    say_problem(
        out, err,
        "cannot allocate the memory of --flash-image (18 MiB): " +
            std::make_error_code(std::errc::not_enough_memory).message());
    return kCheckFailed;
  }

  int status = kCheckValid;
  bool report_lost = false;
  const char* const first = options.record_names.front();
  if (options.image_name != nullptr) {
    status = restore(first, options.image_name, options, walk, nullptr, out,
                     err, report_lost);
  } else if (options.flash_name != nullptr) {
    status = restore(first, options.flash_name, options, walk, &flash, out, err,
                     report_lost);
  } else if (options.compare_name != nullptr) {
    status = compare(first, options, walk, {window.get(), kCompareWindowSize},
                     out, err, report_lost);
  } else {
    // Each file on its own: one that is wrong or cannot be read does not
    // stop the others, but a report that cannot be written stops them all:
    // it would tell nobody. Two names were, before -o, a record file and its
    // image.
    const std::span<const char* const> names = options.record_names;
    bool printed = false;  // on `out`, by an earlier file
    for (std::size_t i = 0; i < names.size() && !report_lost; ++i) {
      const bool maybe_image = names.size() == 2 && i == 1;
      status = worse(status, check_file(names[i], options, walk, out, err,
                                        report_lost, printed, maybe_image));
    }
  }
  // The report is the answer: if it could not be written, nothing was told.
  if (!reached(out) || report_lost) {
    return report_not_written(out, err);
  }
  return status;
}

}  // namespace varnel
