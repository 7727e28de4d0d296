#include "check/check.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <system_error>

#include "check/compare_image.h"
#include "check/flash_image.h"
#include "check/options.h"
#include "check/problems.h"
#include "check/record_files.h"
#include "check/record_input.h"
#include "check/report.h"
#include "check/restore.h"
#include "check/verify.h"
#include "console/console_output.h"
#include "console/quoting.h"
#include "files/owned_memory.h"

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
    "  --all-faults        read on past each wrong record at the next record\n"
    "                      found (in a file from varnel, 8201 bytes after\n"
    "                      the start of the wrong one; elsewhere, the bytes\n"
    "                      skipped are said), and name every wrong record\n"
    "                      (the first 100), then how many records are wrong\n"
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

// The status of a run that checked several files: the worst of them.
int worse(int a, int b) { return std::max(a, b); }

// Before the first line that a file's check writes on `out`: an empty line
// if an earlier file's did, so that each file's listing and report stand
// apart. (Error lines, on standard error, stay as they are.)
void separate(std::FILE* out, bool& printed_before, bool& report_lost) {
  if (printed_before) {
    report_lost = !write_text(out, "\n") || report_lost;
  }
  printed_before = true;
}

// After the problem with a file that does not begin with a record: how to
// mend the slip it may be. The second of two names was, before -o, the image
// to write; any other such file may be an image checked as a record file.
void hint_at_start(const Verification& verification, const char* name,
                   bool maybe_image, std::FILE* out, std::FILE* err) {
  if (maybe_image && begins_without_record(verification)) {
    say_hint(out, err, "to write the image, use -o " + escaped(name));
  } else if (may_be_image(verification)) {
    say_hint(out, err, kImageHint);
  }
}

// Checks one record file and reports on it; sets `report_lost` when some of
// the report or listing could not be written, which then ends the run, and
// `printed` once anything was. With `maybe_image`, the file is the second of
// two, where the image was named before -o: if it does not exist or does not
// begin with a record, a hint says how to write it.
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
  const Verification verification = walk_and_close(name, records, walk, err);
  report_lost = report_lost || verification.verdict == Verdict::listing_failed;
  if (verification.verdict != Verdict::valid) {
    const int status = report_not_valid(verification, name, nullptr, out, err);
    hint_at_start(verification, name, maybe_image, out, err);
    return status;
  }
  if (verification.summary.records == 0) {
    const int status = report_no_records(name, out, err);
    hint_at_start(verification, name, maybe_image, out, err);
    return status;
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

using Memory = OwnedMemory<std::uint8_t>;

// Says that there is not enough memory for what `what` needs.
void say_no_memory(const std::string& what, std::FILE* out, std::FILE* err) {
  say_problem(out, err,
              "cannot allocate " + what + ": " +
                  std::make_error_code(std::errc::not_enough_memory).message());
}

// Memory of `size` bytes for what `what` needs, set aside before any file is
// opened; null after saying that there is not enough.
Memory set_aside(std::size_t size, const std::string& what, std::FILE* out,
                 std::FILE* err) {
  Memory memory(static_cast<std::uint8_t*>(std::malloc(size)));
  if (!memory) {
    say_no_memory(what, out, err);
  }
  return memory;
}

// `memory` made `size` bytes long, its bytes kept; false, after saying that
// there is not enough memory for what `what` needs, when it stays as it was.
bool grow(Memory& memory, std::size_t size, const std::string& what,
          std::FILE* out, std::FILE* err) {
  void* const grown = std::realloc(memory.get(), size);
  if (grown == nullptr) {
    say_no_memory(what, out, err);
    return false;
  }
  (void)memory.release();  // moved into `grown`
  memory.reset(static_cast<std::uint8_t*>(grown));
  return true;
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
  Memory buffer =
      set_aside(kReadBufferSize, "the buffer for reading (1 MiB)", out, err);
  if (!buffer) {
    return kCheckFailed;
  }
  // --all-faults holds the longest record whole, to go back over it: in the
  // same buffer, made longer, whose pages are only touched as they are used.
  const std::size_t buffer_size =
      kReadBufferSize + (options.all_faults ? kAllFaultsMemory : 0);
  if (options.all_faults &&
      !grow(buffer, buffer_size, "the memory of --all-faults (16 MiB)", out,
            err)) {
    return kCheckFailed;
  }
  Walk walk;
  walk.buffer = {buffer.get(), buffer_size};
  walk.listing = options.list ? out : nullptr;
  walk.all_faults = options.all_faults;
  Memory window;
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
    // image (never standard input, which -o does not take).
    const std::span<const char* const> names = options.record_names;
    bool printed = false;  // on `out`, by an earlier file
    for (std::size_t i = 0; i < names.size() && !report_lost; ++i) {
      const bool maybe_image =
          names.size() == 2 && i == 1 && !is_standard_input(names[i]);
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
