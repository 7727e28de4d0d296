// Standard streams closed when a program starts, as `<&-`, `>&-` and `2>&-`
// close them in a shell, or as a Windows program is started with no handle
// for them: no file the program opens may take their place, or what it says
// there would land in the file it writes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/numbered_image.h"
#include "tests/test_support.h"

namespace varnel {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::console_text;

// A wrapper such as valgrind writes to the standard error it was started
// with, and cannot start without it: these cases are the program's alone.
constexpr char kWrapperNeedsThem[] =
    "VARNEL_TEST_WRAPPER is set: the wrapper needs the standard streams "
    "these cases close";

bool under_a_wrapper() { return std::getenv("VARNEL_TEST_WRAPPER") != nullptr; }

struct Closed {
  std::string why;
  test::StandardStreams streams;
};

const Closed kClosed[] = {
    {"<&-", {.input_closed = true}},
    {">&-", {.output_closed = true}},
    {"2>&-", {.error_closed = true}},
    {"<&- >&-", {.input_closed = true, .output_closed = true}},
    {"<&- 2>&-", {.input_closed = true, .error_closed = true}},
    {">&- 2>&-", {.output_closed = true, .error_closed = true}},
    {"<&- >&- 2>&-",
     {.input_closed = true, .output_closed = true, .error_closed = true}},
};

// varnel-check restoring an image. Its report is the answer: on a closed
// standard output it cannot be written, so no image is left, and the status
// says so; otherwise the image is the image, byte for byte, with nothing of
// the report in it.
TEST(StandardStreams, ClosedWhileAnImageIsRestored) {
  if (under_a_wrapper()) {
    GTEST_SKIP() << kWrapperNeedsThem;
  }
  for (const Closed& c : kClosed) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    test::make_records("270000", 3, "rec.hy", dir);
    const test::RunResult run = test::run_with_streams(
        VARNEL_CHECK_BINARY, {"-o", "back.fls", "rec.hy"}, dir.path, c.streams);
    if (c.streams.output_closed) {
      EXPECT_EQ(run.exit_status, 2);
      EXPECT_FALSE(fs::exists(dir / "back.fls"));
      EXPECT_EQ(run.err,
                c.streams.error_closed
                    ? ""
                    : console_text("varnel-check: error writing the report\n"));
    } else {
      EXPECT_EQ(run.exit_status, 0);
      EXPECT_EQ(run.out, console_text("\"rec.hy\": valid\nrecords: 3\n"
                                      "data bytes: 24576\n"
                                      "run 1: 270000 to 275FFF (3 records)\n"
                                      "start address for varnel: 270000\n"
                                      "image written to \"back.fls\"\n"));
      EXPECT_EQ(run.err, "");
      EXPECT_EQ(test::read_file(dir / "back.fls"), test::numbered_image(3));
    }
    // No temporary file left either.
    std::vector<std::string> left = {"in.fls", "rec.hy"};
    if (!c.streams.output_closed) {
      left.insert(left.begin(), "back.fls");
    }
    EXPECT_EQ(test::names_in(dir.path), left);
  }
}

// varnel converting an image: the record file holds the records and nothing
// else, and the messages go where standard output still goes.
TEST(StandardStreams, ClosedWhileAnImageIsConverted) {
  if (under_a_wrapper()) {
    GTEST_SKIP() << kWrapperNeedsThem;
  }
  const Bytes first = test::block_filled(0xFF);
  const Bytes second = test::block_with({{0, 0x01}});
  for (const Closed& c : kClosed) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    test::write_file(dir / "in.fls", test::concat({first, second}));
    const test::RunResult run = test::run_with_streams(
        VARNEL_BINARY, {"270000", "in.fls", "out.hy"}, dir.path, c.streams);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out,
              c.streams.output_closed
                  ? ""
                  : test::banner_then("Output written to \"out.hy\".\n\n"));
    EXPECT_EQ(run.err, "");
    // The records of the usage example.
    EXPECT_EQ(
        test::read_file(dir / "out.hy"),
        test::concat({{0x0B, 0x27, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0xB8},
                      first,
                      {0x0B, 0x27, 0x20, 0x00, 0xFF, 0x00, 0x20, 0x00, 0x99},
                      second}));
    EXPECT_EQ(test::names_in(dir.path),
              (std::vector<std::string>{"in.fls", "out.hy"}));
  }
}

}  // namespace
}  // namespace varnel
