// varnel-check -c: the data of a record file, in file order, against the
// bytes of an image, read side by side in one pass; nothing is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

#include "check/options.h"
#include "check/verify.h"

namespace varnel {

// The image compared with the records is read this much at a time.
inline constexpr std::size_t kCompareWindowSize = std::size_t{1} << 20;

// Checks the record file `name` and compares the data of its records with
// the image named with -c, read in `window` (kCompareWindowSize bytes). The
// status to end with; sets `report_lost` when the report could not be
// written.
int compare(const char* name, const Options& options, const Walk& base,
            std::span<std::uint8_t> window, std::FILE* out, std::FILE* err,
            bool& report_lost);

}  // namespace varnel
