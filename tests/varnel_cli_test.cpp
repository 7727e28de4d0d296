// varnel as a user runs it: the real binary, its standard output byte for
// byte, an empty standard error, exit status 0, and the files it leaves.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

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
  const test::ScratchDir dir;
  test::write_file(dir / "block.fls", test::block_filled(0x11));
  const fs::path block = dir / "block.fls";
  const test::RunResult run =
      run_binary({"270000", "/dev/stdin", "out.hy"}, dir.path, [&block] {
        int ends[2];
        if (::pipe(ends) != 0) ::_exit(125);
        // 8192 bytes fit in a pipe's buffer; the program reads them or not.
        const Bytes data = test::read_file(block);
        if (::write(ends[1], data.data(), data.size()) != 8192) ::_exit(125);
        ::close(ends[1]);
        if (::dup2(ends[0], STDIN_FILENO) < 0) ::_exit(125);
      });
  expect_run(run, banner_then(kSizeMessage));
  EXPECT_EQ(fs::file_size(dir / "out.hy"), 0U);
}

TEST(VarnelCli, RefusesADestinationThatIsTheSource) {
  const std::string cases[] = {"img.fls", "./img.fls", "sub/../img.fls",
                               "hard.fls", "soft.fls"};
  for (const std::string& dst : cases) {
    SCOPED_TRACE(dst);
    const test::ScratchDir dir;
    const Bytes image =
        test::concat({test::block_filled(0x5A), test::block_filled(0xA5)});
    test::write_file(dir / "img.fls", image);
    fs::create_directory(dir / "sub");
    fs::create_hard_link(dir / "img.fls", dir / "hard.fls");
    fs::create_symlink("img.fls", dir / "soft.fls");

    expect_run(run_binary({"270000", "img.fls", dst}, dir.path),
               banner_then("Cannot create destination file \"" + dst +
                           "\": it is the source file.\n\n"));
    EXPECT_EQ(test::read_file(dir / "img.fls"), image);
    EXPECT_TRUE(fs::is_symlink(dir / "soft.fls"));
  }
}

TEST(VarnelCli, DeviceDestinations) {
  const test::ScratchDir dir;
  test::write_file(dir / "in.fls", test::block_filled(0x11));
  expect_run(run_binary({"0", "in.fls", "/dev/null"}, dir.path),
             banner_then("Output written to \"/dev/null\".\n\n"));

  if (!fs::is_character_file("/dev/full")) {
    GTEST_SKIP() << "/dev/full is not on this machine";
  }
  expect_run(run_binary({"0", "in.fls", "/dev/full"}, dir.path),
             banner_then("Error writing destination file \"/dev/full\".\n\n"));
  EXPECT_TRUE(fs::is_character_file("/dev/full"))
      << "a device must never be removed";
}

// A file-size limit stops the second record: the first record may have been
// written, and the file holding it must be gone.
TEST(VarnelCli, FileSizeLimitIsAWriteErrorAndRemovesTheDestination) {
  const auto limit_size = [] {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{10000, 10000};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(125);
  };
  for (const std::string dst : {"out.hy", "link.hy"}) {
    SCOPED_TRACE(dst);
    const test::ScratchDir dir;
    test::write_file(dir / "in.fls", test::concat({test::block_filled(1),
                                                   test::block_filled(2)}));
    // Through a symbolic link, the file it leads to is the one removed.
    fs::create_symlink("target.hy", dir / "link.hy");
    expect_run(
        run_binary({"0", "in.fls", dst}, dir.path, limit_size),
        banner_then("Error writing destination file \"" + dst + "\".\n\n"));
    EXPECT_FALSE(fs::exists(dir / "out.hy"));
    EXPECT_FALSE(fs::exists(dir / "target.hy"));
  }
}

}  // namespace
}  // namespace varnel
