#include "check/record_files.h"

#include <cerrno>
#include <optional>
#include <string_view>
#include <system_error>

#include "check/problems.h"
#include "console/console_output.h"
#include "console/interruption.h"
#include "console/progress.h"
#include "files/file_checks.h"
#include "files/standard_input.h"
#include "files/stream_position.h"
#include "files/system.h"

namespace varnel {

bool is_standard_input(const char* name) {
  return std::string_view(name) == "-";
}

std::FILE* open_record_file(const char* name, std::FILE* out, std::FILE* err,
                            const std::string& hint_if_missing) {
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
      failed.error = errno_error();
      return failed;
    }
  }
  walk.progress = &progress;
  const Verification verification = verify_records(records, walk);
  clear_progress(progress);
  return verification;
}

Verification walk_and_close(const char* name, std::FILE* records,
                            const Walk& walk, std::FILE* err) {
  catch_interruptions();
  const Verification verification =
      verify_with_progress(name, records, walk, err);
  close_record_file(name, records);
  stop_catching_interruptions();
  return verification;
}

}  // namespace varnel
