// What varnel-check says about a record file found valid.
#pragma once

#include <cstdio>

#include "check/verify.h"

namespace varnel {

// The report: the file's name and "valid", its records and data bytes, each
// run as its first and last address, a note when records use addresses
// again, and, for one run of 8192-byte records, the start address that makes
// varnel rebuild the file. False when some of it could not be written.
[[nodiscard]] bool print_report(std::FILE* out, const char* name,
                                const Summary& summary);

}  // namespace varnel
