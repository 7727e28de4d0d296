// Writing what the records of one record file hold: their data in file
// order as the raw image (-o), or what the flash holds once every record is
// written at its address (--flash-image). Whole or not at all, and never
// over a record file.
#pragma once

#include <cstdio>

#include "check/flash_image.h"
#include "check/options.h"
#include "check/verify.h"

namespace varnel {

// Checks the record file `name` and writes its image to `image`, under a
// temporary name that takes the image's name only once the records are found
// right, the report is written and the image is on the disk. An interruption
// meanwhile leaves neither the image nor the temporary file. With `flash`,
// the image is what the flash holds once the records are written at their
// addresses, gathered in `flash`; otherwise the data of the one run, in file
// order. The status to end with; sets `report_lost` when the report could
// not be written.
int restore(const char* name, const char* image, const Options& options,
            const Walk& base, FlashImage* flash, std::FILE* out, std::FILE* err,
            bool& report_lost);

}  // namespace varnel
