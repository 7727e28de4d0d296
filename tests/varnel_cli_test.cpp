// varnel as a user runs it: the real binary, its standard output byte for
// byte, an empty standard error, exit status 0, and the files it leaves.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/numbered_image.h"
#include "tests/test_support.h"

namespace varnel {
namespace {

namespace fs = std::filesystem;
using test::banner_then;
using test::Bytes;
using test::run_binary;

const std::string kUsage =
    "Usage:   varnel <start_addr> <src_file> <dst_file>\n\n"
    "Example: varnel 270000 NHM5_513_u27.fls NHM5_513_u.hy\n\n";
const std::string kSizeMessage =
    "Source files of size that is not a multiple of 8192 bytes\n"
    "are not supported in this version.\n\n";

std::vector<fs::path> entries(const fs::path& dir) {
  std::vector<fs::path> found;
  for (const auto& entry : fs::directory_iterator(dir)) {
    found.push_back(entry.path().filename());
  }
  return found;
}

// Checks what every run shares: status 0 and nothing on standard error.
void expect_run(const test::RunResult& run, const std::string& out) {
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.out, out);
  EXPECT_EQ(run.err, "");
}

// The usage example: two blocks at 270000, 16402 bytes in all.
TEST(VarnelCli, ConvertsTheUsageExample) {
  const test::ScratchDir dir;
  const Bytes first = test::block_filled(0xFF);
  const Bytes second = test::block_with({{0, 0x01}});
  test::write_file(dir / "NHM5_513_u27.fls", test::concat({first, second}));

  expect_run(
      run_binary({"270000", "NHM5_513_u27.fls", "NHM5_513_u.hy"}, dir.path),
      banner_then("Output written to \"NHM5_513_u.hy\".\n\n"));
  EXPECT_EQ(
      test::read_file(dir / "NHM5_513_u.hy"),
      test::concat({{0x0B, 0x27, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0xB8},
                    first,
                    {0x0B, 0x27, 0x20, 0x00, 0xFF, 0x00, 0x20, 0x00, 0x99},
                    second}));
}

// Blocks of the bytes a text stream would change: CR LF pairs that it would
// fold into LF, the LF it would widen to CR LF, the 0x1A at which it would
// stop reading, and NUL. 4095 pairs 0D 0A, then 1A 00; then a block of 0x1A.
Bytes line_ends_block() {
  Bytes block;
  for (int pair = 0; pair < 4095; ++pair) {
    block.insert(block.end(), {0x0D, 0x0A});
  }
  block.insert(block.end(), {0x1A, 0x00});
  return block;
}

Bytes text_stream_image() {
  return test::concat({line_ends_block(), test::block_filled(0x1A)});
}

TEST(VarnelCli, ConvertsImagesOfEveryShape) {
  const Bytes zeros = test::block_filled(0x00);
  const Bytes last80 = test::block_with({{8191, 0x80}});
  const Bytes first01 = test::block_with({{0, 0x01}});
  const struct {
    std::string why;
    std::string start;
    Bytes image;
    Bytes records;
  } cases[] = {
      {"an empty image gives an empty record file", "270000", {}, {}},
      {"an empty start address is 0", "", zeros,
       test::concat(
           {{0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0xDF}, zeros})},
      // 24603 bytes; the second address wraps from 0xFFF000 + 0x2000 to
      // 0x001000.
      {"three blocks crossing 0xFFFFFF", "fff000",
       test::concat({zeros, first01, last80}),
       test::concat({{0x0B, 0xFF, 0xF0, 0x00, 0x00, 0x00, 0x20, 0x00, 0xF0},
                     zeros,
                     {0x0B, 0x00, 0x10, 0x00, 0xFF, 0x00, 0x20, 0x00, 0xD0},
                     first01,
                     {0x0B, 0x00, 0x30, 0x00, 0x80, 0x00, 0x20, 0x00, 0x2F},
                     last80})},
      // The first block sums to 4095 * 0x17 + 0x1A = 94211, 3 modulo 256:
      // data checksum 0xFD; header bytes 1 to 7 sum to 0A + 0D + 1A + FD +
      // 20 = 0x14E, so ~0x4E = 0xB1. The second sums to 0 modulo 256; at
      // 0A2D1A its header sums to 0x71, so ~0x71 = 0x8E. The address puts
      // the same bytes in the headers.
      {"bytes a text stream would change", "0A0D1A", text_stream_image(),
       test::concat({{0x0B, 0x0A, 0x0D, 0x1A, 0xFD, 0x00, 0x20, 0x00, 0xB1},
                     line_ends_block(),
                     {0x0B, 0x0A, 0x2D, 0x1A, 0x00, 0x00, 0x20, 0x00, 0x8E},
                     test::block_filled(0x1A)})},
      {"the largest start address; the 32-bit sum wraps to 0x1FFF", "FFFFFFFF",
       test::concat({zeros, zeros}),
       test::concat({{0x0B, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x20, 0x00, 0xE2},
                     zeros,
                     {0x0B, 0x00, 0x1F, 0xFF, 0x00, 0x00, 0x20, 0x00, 0xC1},
                     zeros})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    test::write_file(dir / "in.fls", c.image);
    expect_run(run_binary({c.start, "in.fls", "out.hy"}, dir.path),
               banner_then("Output written to \"out.hy\".\n\n"));
    EXPECT_EQ(test::read_file(dir / "out.hy"), c.records);
    EXPECT_EQ(test::read_file(dir / "in.fls"), c.image);
  }
}

TEST(VarnelCli, WrongArgumentCountPrintsUsageAndTouchesNothing) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"270000"},
      {"270000", "in.fls"},
      {"270000", "in.fls", "out.hy", "extra"}};
  for (const auto& args : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    const test::ScratchDir dir;
    expect_run(run_binary(args, dir.path), banner_then(kUsage));
    EXPECT_TRUE(entries(dir.path).empty());
  }
}

// Only the first problem is reported, and no file is created before it.
TEST(VarnelCli, ReportsTheFirstProblemOnly) {
  const struct {
    std::string why;
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {"an invalid address before a missing source",
       {"0x270000", "missing.fls", "out.hy"},
       "Error: Invalid starting address.\n\n"},
      {"a byte above 0x7F in the address",
       {"27\xC3\xA9", "missing.fls", "out.hy"},
       "Error: Invalid starting address.\n\n"},
      {"a missing source",
       {"270000", "missing.fls", "out.hy"},
       "Cannot open source file \"missing.fls\".\n\n"},
      {"a directory is not an image",
       {"270000", "subdir", "out.hy"},
       "Cannot open source file \"subdir\".\n\n"},
      {"a missing source before a bad destination",
       {"270000", "missing.fls", "nodir/out.hy"},
       "Cannot open source file \"missing.fls\".\n\n"},
      {"a destination in a directory that does not exist",
       {"270000", "in.fls", "nodir/out.hy"},
       "Cannot create destination file \"nodir/out.hy\".\n\n"},
      {"a directory as destination",
       {"270000", "in.fls", "subdir"},
       "Cannot create destination file \"subdir\".\n\n"},
      {"names are printed as given, % and all",
       {"270000", "100%s.fls", "out.hy"},
       "Cannot open source file \"100%s.fls\".\n\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    test::write_file(dir / "in.fls", test::block_filled(0x11));
    fs::create_directory(dir / "subdir");
    expect_run(run_binary(c.args, dir.path), banner_then(c.message));
    EXPECT_FALSE(fs::exists(dir / "out.hy"));
    EXPECT_EQ(test::read_file(dir / "in.fls"), test::block_filled(0x11));
  }
}

TEST(VarnelCli, SizeNotAWholeNumberOfBlocksLeavesAnEmptyDestination) {
  for (const std::size_t size : {std::size_t{1}, std::size_t{8191},
                                 std::size_t{8193}, std::size_t{16383}}) {
    SCOPED_TRACE(size);
    const test::ScratchDir dir;
    test::write_file(dir / "in.fls", Bytes(size, 0xAA));
    expect_run(run_binary({"270000", "in.fls", "out.hy"}, dir.path),
               banner_then(kSizeMessage));
    ASSERT_TRUE(fs::exists(dir / "out.hy"));
    EXPECT_EQ(fs::file_size(dir / "out.hy"), 0U);
  }
}

// A pipe has no size to take: nothing that happens to be readable is converted.
TEST(VarnelCli, SourceWithoutASizeIsTheSizeMessage) {
  VARNEL_SKIP_ON_WINDOWS("a pipe as a named source is /dev/stdin, POSIX only");
  const test::ScratchDir dir;
  // 8192 bytes fit in a pipe's buffer; the program reads them or not.
  const test::RunResult run =
      run_binary({"270000", "/dev/stdin", "out.hy"}, dir.path,
                 test::stdin_from_pipe(test::block_filled(0x11)));
  expect_run(run, banner_then(kSizeMessage));
  EXPECT_EQ(fs::file_size(dir / "out.hy"), 0U);
}

// Every other name for the image: opening the destination would empty it.
TEST(VarnelCli, RefusesADestinationThatIsTheSource) {
  const struct {
    std::string src;
    std::string dst;
  } cases[] = {
    {"img.fls", "img.fls"},
    {"img.fls", "./img.fls"},
    {"img.fls", "sub/../img.fls"},
    {"img.fls", "hard.fls"},
    {"prüfung-图像.fls", "./prüfung-图像.fls"},
    {"prüfung-图像.fls", "Ωmega-hard.fls"},
#if defined(_WIN32)
    // Windows ignores letter case, in every script, and takes backslashes.
    {"img.fls", "IMG.FLS"},
    {"prüfung-图像.fls", "PRÜFUNG-图像.FLS"},
    {"img.fls", "sub\\..\\img.fls"},
    {"img.fls", ".\\img.fls"},
#else
    {"img.fls", "soft.fls"},
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.src + " as " + c.dst);
    const test::ScratchDir dir;
    const Bytes image =
        test::concat({test::block_filled(0x5A), test::block_filled(0xA5)});
    test::write_file(dir / "img.fls", image);
    test::write_file(dir / "prüfung-图像.fls", image);
    fs::create_directory(dir / "sub");
    fs::create_hard_link(dir / "img.fls", dir / "hard.fls");
    fs::create_hard_link(dir / "prüfung-图像.fls", dir / "Ωmega-hard.fls");
#if !defined(_WIN32)
    // Windows lets only privileged users make symbolic links.
    fs::create_symlink("img.fls", dir / "soft.fls");
#endif

    expect_run(run_binary({"270000", c.src, c.dst}, dir.path),
               banner_then("Cannot create destination file \"" + c.dst +
                           "\": it is the source file.\n\n"));
    EXPECT_EQ(test::read_file(dir / "img.fls"), image);
    EXPECT_EQ(test::read_file(dir / "prüfung-图像.fls"), image);
#if !defined(_WIN32)
    EXPECT_TRUE(fs::is_symlink(dir / "soft.fls"));
#endif
  }
}

TEST(VarnelCli, NullDeviceAsDestination) {
  const test::ScratchDir dir;
  test::write_file(dir / "in.fls", test::block_filled(0x11));
#if defined(_WIN32)
  const std::string null_device = "NUL";
#else
  const std::string null_device = "/dev/null";
#endif
  expect_run(run_binary({"0", "in.fls", null_device}, dir.path),
             banner_then("Output written to \"" + null_device + "\".\n\n"));
}

TEST(VarnelCli, FullDeviceAsDestination) {
  VARNEL_SKIP_ON_WINDOWS("Windows has no /dev/full");
  if (!fs::is_character_file("/dev/full")) {
    GTEST_SKIP() << "/dev/full is not on this machine";
  }
  const test::ScratchDir dir;
  test::write_file(dir / "in.fls", test::block_filled(0x11));
  expect_run(run_binary({"0", "in.fls", "/dev/full"}, dir.path),
             banner_then("Error writing destination file \"/dev/full\".\n\n"));
  EXPECT_TRUE(fs::is_character_file("/dev/full"))
      << "a device must never be removed";
}

// Names in any script reach the files they name and are printed byte for
// byte: Latin, CJK and Greek letters; on POSIX systems, where a name is only
// bytes, one that is not UTF-8 at all.
TEST(VarnelCli, NamesInAnyScript) {
  const struct {
    std::string src;
    std::string dst;
  } cases[] = {
    {"prüfung-图像.fls", "Ωmega.hy"},
    {"данные/образ.fls", "данные/Ωmega.hy"},
#if !defined(_WIN32)
    {"bytes-\xFF\xFE.fls", "bytes-\xC0.hy"},
#endif
  };
  const Bytes image =
      test::concat({test::block_filled(0xFF), test::block_with({{0, 0x01}})});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.src + " to " + c.dst);
    const test::ScratchDir dir;
    fs::create_directory(dir / "данные");
    test::write_file(dir / c.src, image);

    expect_run(run_binary({"270000", c.src, c.dst}, dir.path),
               banner_then("Output written to \"" + c.dst + "\".\n\n"));
    // The records of the usage example.
    EXPECT_EQ(
        test::read_file(dir / c.dst),
        test::concat({{0x0B, 0x27, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0xB8},
                      test::block_filled(0xFF),
                      {0x0B, 0x27, 0x20, 0x00, 0xFF, 0x00, 0x20, 0x00, 0x99},
                      test::block_with({{0, 0x01}})}));
    // Failures name them as given too.
    expect_run(
        run_binary({"270000", "missing-" + c.src, c.dst}, dir.path),
        banner_then("Cannot open source file \"missing-" + c.src + "\".\n\n"));
  }
}

// The records of an image of bytes that a text stream would change are
// converted above; varnel-check reads them back, and restores the image,
// byte for byte.
TEST(VarnelCli, BytesThatATextStreamWouldChangeComeBack) {
  const test::ScratchDir dir;
  test::write_file(dir / "in.fls", text_stream_image());
  ASSERT_NO_FATAL_FAILURE(test::convert("0A0D1A", "in.fls", "out.hy", dir));
  const test::RunResult check = test::run_program(
      VARNEL_CHECK_BINARY, {"-o", "back.fls", "out.hy"}, dir.path);
  EXPECT_EQ(check.exit_status, 0);
  EXPECT_EQ(check.err, "");
  EXPECT_EQ(check.out, test::console_text(
                           "\"out.hy\": valid\nrecords: 2\ndata bytes: 16384\n"
                           "run 1: 0A0D1A to 0A4D19 (2 records)\n"
                           "start address for varnel: 0A0D1A\n"
                           "image written to \"back.fls\"\n"));
  EXPECT_EQ(test::read_file(dir / "back.fls"), text_stream_image());
}

}  // namespace
}  // namespace varnel
