// How varnel-check says what went wrong: one line each on standard error,
// each naming its file, after what standard output holds so far.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <system_error>

#include "check/verify.h"

namespace varnel {

// Says one problem on `err`, after what `out` holds so far, so that on a
// console the lines come in the order they happened.
void say_problem(std::FILE* out, std::FILE* err, const std::string& line);

// "cannot open "NAME": No such file or directory".
[[nodiscard]] std::string with_reason(const std::string& what, const char* name,
                                      const std::error_code& error);

// Whatever has been written to `out` has reached it.
[[nodiscard]] bool reached(std::FILE* out);

// "1 record", "2 records".
[[nodiscard]] std::string counted(std::uint64_t count, const char* thing);

// The line, or with --all-faults the lines, for a record file that is not
// valid, or could not be read through (`image_name` for a failed write of
// the image); the status to end with.
int report_not_valid(const Verification& verification, const char* name,
                     const char* image_name, std::FILE* out, std::FILE* err);

// An empty record file is what a failed conversion leaves (an image of the
// wrong size), and what a pipe from a command that failed brings: never a
// valid one, though no record in it is wrong. Says so; the status to end
// with.
int report_no_records(const char* name, std::FILE* out, std::FILE* err);

// Says `hint` on `err`, on a line of its own in parentheses, after the
// problem that it tells how to mend (and after what `out` holds so far).
void say_hint(std::FILE* out, std::FILE* err, const std::string& hint);

// Whether the walk found a file that does not begin with a record, and holds
// none that is right: 9 bytes or more, the first 9 no record header. An
// image given where a record file goes looks like this.
[[nodiscard]] bool may_be_image(const Verification& verification);

// Whether the walk found a file that does not begin with a record: one that
// may be an image, one that is empty, or one too short for a header.
[[nodiscard]] bool begins_without_record(const Verification& verification);

// The hint for a record file that may be an image: what to give to compare
// an image with its record file.
inline constexpr char kImageHint[] =
    "it does not begin with a record: it may be an image; to compare an "
    "image with its record file, use -c IMAGE RECORD_FILE";

// Says that the report could not be written; nothing where its reader has
// gone on Windows, which ends the program as quietly as SIGPIPE would. The
// status to end with.
int report_not_written(std::FILE* out, std::FILE* err);

}  // namespace varnel
