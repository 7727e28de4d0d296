// The record files varnel-check reads: by name, or standard input for "-",
// each walked once with a progress line where standard error is a terminal.
#pragma once

#include <cstdio>
#include <string>

#include "check/verify.h"

namespace varnel {

// Whether `name` is "-", standard input.
[[nodiscard]] bool is_standard_input(const char* name);

// Opens a record file by name, or standard input for "-". Null after saying
// why it cannot be read, and `hint_if_missing` on the next line, when given,
// if there is no such file.
[[nodiscard]] std::FILE* open_record_file(
    const char* name, std::FILE* out, std::FILE* err,
    const std::string& hint_if_missing = {});

// Closes what open_record_file opened (standard input stays open).
void close_record_file(const char* name, std::FILE* records);

// Walks the record file as `walk` says, with a progress line on `err` when it
// is a terminal: over the file's size when it has one that can be taken, by
// bytes and rate alone for a pipe.
[[nodiscard]] Verification verify_with_progress(const char* name,
                                                std::FILE* records, Walk walk,
                                                std::FILE* err);

// The same walk of `records`, opened by open_record_file for `name`, which
// it then closes. Interruptions are noted meanwhile, so that the progress
// line is erased before one ends the program, which it then does once the
// file is closed.
[[nodiscard]] Verification walk_and_close(const char* name, std::FILE* records,
                                          const Walk& walk, std::FILE* err);

}  // namespace varnel
