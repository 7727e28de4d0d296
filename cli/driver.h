// One run of varnel, from the command line to the last message.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>

#include "files/output_file.h"

namespace varnel {

// Runs the converter on `args` (the command line without the program name),
// printing every message on `out`, and on `progress_to`, when it is a
// terminal, a progress line and the system's reason for a failure. Returns the
// exit status, which is 0 on every path: callers tell outcomes apart by the
// messages. An interruption once the destination is open throws the unfinished
// record file away and ends the program.
int run_varnel(std::span<const char* const> args, std::FILE* out,
               std::FILE* progress_to = nullptr);

// The part of a run after both files are open: converts through `records`
// (kBatchBytes), closes the source, publishes the record file or throws it
// away, and prints the outcome.
void convert_and_report(std::FILE* src, Output& dst,
                        std::uint32_t start_address,
                        std::span<std::uint8_t> records, const char* src_name,
                        const char* dst_name, std::FILE* out,
                        std::FILE* progress_to = nullptr);

}  // namespace varnel
