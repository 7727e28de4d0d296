// One run of varnel-check: verify a record file, report on it, and restore
// its image when asked.
#pragma once

#include <cstdio>
#include <span>

namespace varnel {

// Exit statuses, as scripts expect them.
inline constexpr int kCheckValid = 0;
inline constexpr int kCheckInvalid = 1;
inline constexpr int kCheckFailed =
    2;  // could not check: usage, unreadable, unwritable

// Runs varnel-check on `args` (the command line without the program name):
// the report goes to `out`, every problem to `err`. Returns the exit status.
int run_check(std::span<const char* const> args, std::FILE* out,
              std::FILE* err);

}  // namespace varnel
