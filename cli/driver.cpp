#include "cli/driver.h"

#include <cerrno>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "cli/block_io.h"
#include "cli/conversion.h"
#include "cli/messages.h"
#include "cli/start_address.h"
#include "console/console_output.h"
#include "console/interruption.h"
#include "console/progress.h"
#include "console/quoting.h"
#include "console/terminal.h"
#include "files/destination.h"
#include "files/file_checks.h"
#include "files/output_file.h"
#include "files/source_file.h"
#include "records/record_format.h"
#include "records/record_reader.h"

namespace varnel {
namespace {

constexpr std::size_t kArgumentCount = 3;

// The messages are the program's only channel: if the console itself fails
// there is nowhere left to report it, so the results are not acted on.
// On a Windows console they go as wide text, so that names in any script
// show as given.
void say(std::FILE* out, const char* text) {
  (void)write_text(out, text);
  (void)std::fflush(out);
}

// A name is printed as given, but that its control bytes are escaped: one
// that holds a line feed and "Output written to" cannot pass for a success.
void say_file(std::FILE* out, const char* format, const char* name) {
  (void)print_text(out, format, controls_escaped(name).c_str());
  (void)std::fflush(out);
}

// Closes a source that nothing has been read from yet.
void release_source(std::FILE* src) { (void)std::fclose(src); }

// At a terminal, where a person reads them, some messages get one more line,
// on standard error, that says more: the system's reason for a failure
// ("Cannot create" reads the same for a directory, a missing folder and a
// file that may not be written), or how to mend a slip. Standard output
// stays as scripts know it, and nothing is added where standard error is no
// terminal.
void say_at_terminal(std::FILE* terminal, const std::string& line) {
  if (terminal == nullptr || !is_terminal(terminal)) {
    return;
  }
  (void)write_text(terminal, "varnel: " + line + "\n");
  (void)std::fflush(terminal);
}

// A name in double quotes, as the messages print it.
std::string named(std::string_view name) {
  return '"' + controls_escaped(name) + '"';
}

void say_reason(std::FILE* terminal, const char* name,
                const std::error_code& why) {
  if (why) {
    say_at_terminal(terminal, named(name) + ": " + why.message());
  }
}

// The start address in the form varnel takes, when it was given in another.
void say_address_slip(std::FILE* terminal, const char* text) {
  const AddressSlip slip = address_slip(text);
  std::string line = named(text) + ": " + named(slip.character) +
                     " is not a hexadecimal digit: ";
  line += slip.digits.empty()
              ? "give the address in hexadecimal digits alone, as in 270000"
              : "give the address as " + controls_escaped(slip.digits);
  say_at_terminal(terminal, line);
}

// Opens the image for reading; null, with the reason in `why`, when it
// cannot be read. A directory would open, and its reads fail.
std::FILE* open_image(const char* name, std::error_code& why) {
  if (is_directory(name)) {
    why = std::make_error_code(std::errc::is_a_directory);
    return nullptr;
  }
  std::FILE* src = open_source(name);
  if (src == nullptr) {
    why = errno_error();
  }
  return src;
}

// varnel replaces only what it makes: an empty file, or a record file (a
// conversion run again). Anything else, a dump above all, may be what the
// user meant to keep.
bool is_record_file_or_empty(std::span<const std::uint8_t> first) {
  return first.empty() || begins_with_record_header(first);
}

// A record file is told by its first record header.
constexpr OutputRules kRecordFileRules{kHeaderSize, is_record_file_or_empty,
                                       interrupted};

}  // namespace

void convert_and_report(std::FILE* src, Output& dst,
                        std::uint32_t start_address,
                        std::span<std::uint8_t> records, const char* src_name,
                        const char* dst_name, std::FILE* out,
                        std::FILE* progress_to) {
  Progress progress = start_progress(progress_to, std::nullopt);
  std::error_code why;
  Outcome outcome = convert_files(src, dst.file.get(), start_address, records,
                                  &progress, &why);
  clear_progress(progress);
  // The record file reaches its name only whole. A name where nothing was
  // gets its empty file after a size problem, as it always has; an existing
  // destination stays as it was.
  const bool publish = outcome == Outcome::converted ||
                       (outcome == Outcome::size_unsupported && !dst.existed);
  bool created = true;
  if (!publish) {
    discard_output(dst);
  } else if (!commit_output(dst)) {
    created = false;
    if (outcome == Outcome::converted) {
      outcome = Outcome::write_failed;
    }
    why = dst.error;
  }
  if (interrupted() && outcome != Outcome::converted) {
    end_by_interruption();  // nothing was published
  }
  // What is on disk is final now: an interruption noted since the rename, or
  // from here on, ends the program and leaves it.
  stop_catching_interruptions();
  switch (outcome) {
    case Outcome::converted:
      say_file(out, kOutputWritten, dst_name);
      return;
    case Outcome::size_unsupported:
      // The empty file comes first, as the destination is made before the
      // image is measured: where it could not be made, that is the problem
      // to report.
      if (!created) {
        say_file(out, kCannotCreateDestination, dst_name);
        say_reason(progress_to, dst_name, why);
        return;
      }
      say(out, kUnsupportedSize);
      return;
    case Outcome::read_failed:
      say_file(out, kReadFailed, src_name);
      return;
    case Outcome::write_failed:
      say_file(out, kWriteFailed, dst_name);
      say_reason(progress_to, dst_name, why);
      return;
    case Outcome::interrupted:
      return;  // the program has ended above
  }
}

int run_varnel(std::span<const char* const> args, std::FILE* out,
               std::FILE* progress_to) {
  say(out, kBanner);
  if (args.size() != kArgumentCount) {
    say(out, kUsage);
    return 0;
  }
  const std::optional<std::uint32_t> start_address =
      parse_start_address(args[0]);
  if (!start_address) {
    say(out, kInvalidStartAddress);
    say_address_slip(progress_to, args[0]);
    return 0;
  }

  const char* src_name = args[1];
  const char* dst_name = args[2];
  // The memory of the whole run is had before any file is opened: without
  // it, nothing can be made, and nothing has been touched.
  const RecordMemory memory = allocate_records(kBatchBytes);
  if (memory.records.empty()) {
    say_file(out, kCannotCreateDestination, dst_name);
    say_reason(progress_to, dst_name,
               std::make_error_code(std::errc::not_enough_memory));
    return 0;
  }
  std::error_code why;
  std::FILE* src = open_image(src_name, why);
  if (src == nullptr) {
    say_file(out, kCannotOpenSource, src_name);
    say_reason(progress_to, src_name, why);
    return 0;
  }
  // The destination must not be the source: publishing it would replace the
  // image.
  if (same_file(src_name, dst_name)) {
    release_source(src);
    say_file(out, kDestinationIsSource, dst_name);
    return 0;
  }
  // Until the destination is opened an interruption ends the program at once:
  // nothing is on disk to undo. From here on it must not leave a record file
  // behind.
  catch_interruptions();
  Output dst;
  DestinationFound found = find_destination(dst_name);
  // A device or a file reached through a descriptor is written as it is:
  // there is nothing to remove first.
  const bool in_place =
      found.kind == Destination::descriptor || found.kind == Destination::other;
  if (!open_output(std::move(found), kRecordFileRules, dst)) {
    release_source(src);
    if (interrupted()) {
      end_by_interruption();  // the open was cut short: nothing was made
    }
    stop_catching_interruptions();
    say_file(out, kCannotCreateDestination, dst_name);
    if (dst.wrong_kind && in_place) {
      say_at_terminal(
          progress_to,
          named(dst_name) + " does not hold a record file: not written over");
    } else if (dst.wrong_kind) {
      say_at_terminal(progress_to, named(dst_name) +
                                       " is not a record file: not replaced "
                                       "(remove it first to replace it)");
    } else {
      say_reason(progress_to, dst_name, dst.error);
    }
    return 0;
  }
  convert_and_report(src, dst, *start_address, memory.records, src_name,
                     dst_name, out, progress_to);
  return 0;
}

}  // namespace varnel
