// An image whose every block differs from its neighbours, and a check of the
// record file made from it, for tests of images around the batch size.
#pragma once

#include <cstddef>
#include <string>

#include "tests/test_support.h"

namespace varnel::test {

// Block k is zero but for its first byte (k's low byte) and its last byte
// (k's next byte).
Bytes numbered_image(std::size_t blocks);

// Converts `image` in `dir` with varnel at `start` into `records`, and
// checks that varnel says so.
void convert(const std::string& start, const std::string& image,
             const std::string& records, const ScratchDir& dir);

// Writes a numbered image of `blocks` blocks as in.fls in `dir` and converts
// it at `start` into `records`, which, when it makes it, any user may read
// (as write_file's files).
void make_records(const std::string& start, std::size_t blocks,
                  const std::string& records, const ScratchDir& dir);

// Checks every record of a numbered image converted at address 0 by the
// rules of the format: type, address, length, both checksum sums, the data;
// and, when there are more than 256 blocks, the two records around the first
// batch boundary against headers worked out by hand.
void expect_numbered_records(const Bytes& records, std::size_t blocks);

}  // namespace varnel::test
