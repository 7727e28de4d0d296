// The file read is never the file written, by whatever name it comes: a
// device by another node or link to it, a loop device and the file behind
// it, a record file that comes on standard input; and a block device is
// written only over a record file. (Paths, hard links and symbolic links to a
// file are in varnel_cli_test.cpp; one folder under two drive letters is staged
// under Wine by wine_names_test.py.)
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/numbered_image.h"
#include "tests/test_support.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace varnel {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::console_text;

#if !defined(_WIN32)

// A loop device over a file, a block device whose bytes are the file's, as
// a flash chip read through a reader would be; detached at the end. Its
// path is empty, and `why_not` says why, where none could be had.
struct LoopDevice {
  std::string path;
  std::string why_not;

  explicit LoopDevice(const fs::path& file) {
    if (::geteuid() != 0) {
      why_not = "only the superuser may attach a loop device";
      return;
    }
    const test::RunResult attached = test::run_program(
        "losetup", {"-f", "--show", file.string()}, file.parent_path());
    if (attached.exit_status != 0 || attached.out.empty()) {
      why_not = "losetup -f --show failed (status " +
                std::to_string(attached.exit_status) + "): " + attached.err;
      return;
    }
    path = attached.out.substr(0, attached.out.find('\n'));
  }
  ~LoopDevice() {
    if (!path.empty()) {
      (void)test::run_program("losetup", {"-d", path}, "/");
    }
  }
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;
};

// Another node in `dir` for the device at `device`: the same device number,
// the same type.
bool make_node_for(const std::string& device, const fs::path& node) {
  struct stat status {};
  return ::stat(device.c_str(), &status) == 0 &&
         ::mknod(node.c_str(), S_IFBLK | 0600, status.st_rdev) == 0;
}

#endif

// A flash image read straight from a block device: the conversion may read
// it, and never writes it back by any name of the device: the same name,
// another node with its number, or a symbolic link to it.
TEST(FileIdentity, BlockDeviceByAnyName) {
  VARNEL_SKIP_ON_WINDOWS("loop devices are Linux's");
#if !defined(_WIN32)
  const test::ScratchDir dir;
  const Bytes first = test::block_filled(0xFF);
  const Bytes second = test::block_with({{0, 0x01}});
  const Bytes image = test::concat({first, second});
  test::write_file(dir / "flash.bin", image);
  const LoopDevice loop(dir / "flash.bin");
  if (loop.path.empty()) {
    GTEST_SKIP() << loop.why_not;
  }
  if (const auto why = test::no_devices_in(dir); why) {
    GTEST_SKIP() << *why;
  }
  if (!make_node_for(loop.path, dir / "node")) {
    GTEST_SKIP() << "cannot make a second node for " << loop.path
                 << " in the scratch folder";
  }
  fs::create_symlink(loop.path, dir / "link");

  // What it reads is converted as from a file: the records of the usage
  // example.
  const test::RunResult read =
      test::run_binary({"270000", loop.path, "out.hy"}, dir.path);
  EXPECT_EQ(read.out, test::banner_then("Output written to \"out.hy\".\n\n"));
  EXPECT_EQ(
      test::read_file(dir / "out.hy"),
      test::concat({{0x0B, 0x27, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0xB8},
                    first,
                    {0x0B, 0x27, 0x20, 0x00, 0xFF, 0x00, 0x20, 0x00, 0x99},
                    second}));

  const struct {
    std::string src;
    std::string dst;
  } cases[] = {
      {loop.path, loop.path},
      {loop.path, "node"},
      {"node", loop.path},
      {loop.path, "link"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.src + " as " + c.dst);
    const test::RunResult run =
        test::run_binary({"270000", c.src, c.dst}, dir.path);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out,
              test::banner_then("Cannot create destination file \"" + c.dst +
                                "\": it is the source file.\n\n"));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(test::read_file(dir / "flash.bin"), image);
  }

  // A record file on the device is no image to restore onto it.
  test::write_file(dir / "flash.bin", test::read_file(dir / "out.hy"));
  const test::RunResult restore = test::run_program(
      VARNEL_CHECK_BINARY, {"-o", "node", loop.path}, dir.path);
  EXPECT_EQ(restore.exit_status, 2);
  EXPECT_EQ(restore.out, "");
  EXPECT_EQ(restore.err, "varnel-check: \"node\" is the record file itself\n");
  EXPECT_EQ(test::read_file(dir / "flash.bin"),
            test::read_file(dir / "out.hy"));
#endif
}

// A loop device and the file behind it are one file: writing to either
// changes the other. varnel never writes the image through its loop device,
// nor replaces the file behind the loop device it reads (a record file of
// one record, whose loop device is 8192 bytes long, as loop devices hold
// whole 512-byte sectors: an image varnel would convert), nor writes
// through one loop device over the image it reads through another.
TEST(FileIdentity, LoopDeviceAndTheFileBehindIt) {
  VARNEL_SKIP_ON_WINDOWS("loop devices are Linux's");
#if !defined(_WIN32)
  const test::ScratchDir dir;
  const Bytes image = test::numbered_image(4);
  test::write_file(dir / "big.fls", image);
  test::write_file(dir / "rec.hy", test::zero_record_file());
  const LoopDevice over_image(dir / "big.fls");
  if (over_image.path.empty()) {
    GTEST_SKIP() << over_image.why_not;
  }
  const LoopDevice second(dir / "big.fls");
  const LoopDevice over_records(dir / "rec.hy");
  if (second.path.empty() || over_records.path.empty()) {
    GTEST_SKIP() << "three loop devices are needed: "
                 << second.why_not + over_records.why_not;
  }

  const struct {
    std::string why;
    std::string src;
    std::string dst;
  } cases[] = {
      {"the image written through its loop device", "big.fls", over_image.path},
      {"the file behind the loop device read replaced", over_records.path,
       "rec.hy"},
      {"two loop devices over one image", over_image.path, second.path},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::RunResult run = test::run_binary({"0", c.src, c.dst}, dir.path);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out,
              test::banner_then("Cannot create destination file \"" + c.dst +
                                "\": it is the source file.\n\n"));
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(test::read_file(dir / "big.fls") == image)
        << "the image was written";
    EXPECT_TRUE(test::read_file(dir / "rec.hy") == test::zero_record_file())
        << "the record file was replaced";
  }
#endif
}

// A block device holds what was there before it was written, whatever that
// is: a file system, a dump, a blank medium. varnel writes its records to
// one only where it begins with a record header, as the first record of a
// conversion run before; anything else is refused and left as it was, named
// directly or through a descriptor. The device is written from its start,
// and what it held past the new records stays.
TEST(FileIdentity, BlockDeviceWrittenOnlyOverARecordFile) {
  VARNEL_SKIP_ON_WINDOWS("loop devices are Linux's");
#if !defined(_WIN32)
  // A block of 0x01 at address 0: 8192 ones sum to 0 modulo 256, so its
  // header is the all-zero block's, 0B 00 00 00 00 00 20 00 DF.
  const Bytes block = test::block_filled(0x01);
  const Bytes record = test::concat(
      {{0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0xDF}, block});
  const Bytes three_records =
      test::concat({test::zero_record_file(), test::zero_record_file(),
                    test::zero_record_file()});
  const struct {
    std::string why;
    Bytes before;
    bool through_descriptor;
    bool written;
  } cases[] = {
      {"a dump", Bytes(65536, 0x5A), false, false},
      {"a blank medium, all zeros", Bytes(65536, 0x00), false, false},
      {"a dump, through a descriptor", Bytes(65536, 0x5A), true, false},
      {"three records", three_records, false, true},
      {"three records, through a descriptor", three_records, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    test::write_file(dir / "in.fls", block);
    test::write_file(dir / "medium", c.before);
    const LoopDevice device(dir / "medium");
    if (device.path.empty()) {
      GTEST_SKIP() << device.why_not;
    }
    const std::string dst = c.through_descriptor ? "/dev/fd/3" : device.path;
    std::vector<std::string> words = {"-c", "exec \"$@\" 3<> \"$DEVICE\"",
                                      "sh"};
    for (const std::string& word : test::binary_words(VARNEL_BINARY)) {
      words.push_back(word);
    }
    words.insert(words.end(), {"0", "in.fls", dst});
    const test::RunResult run =
        test::run_program("/bin/sh", words, dir.path,
                          test::with_environment({{"DEVICE", device.path}}));
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.err, "");
    Bytes after = c.before;
    if (c.written) {
      EXPECT_EQ(run.out,
                test::banner_then("Output written to \"" + dst + "\".\n\n"));
      std::copy(record.begin(), record.end(), after.begin());
    } else {
      EXPECT_EQ(run.out, test::banner_then("Cannot create destination file \"" +
                                           dst + "\".\n\n"));
    }
    EXPECT_TRUE(test::read_file(dir / "medium") == after);
  }
#endif
}

// "-" is standard input, whatever file it reads: an image named for that
// file, by its name or a hard link, would replace the records while they
// are read.
TEST(FileIdentity, StandardInputIsTheRecordFile) {
  const test::ScratchDir dir;
  test::make_records("270000", 3, "rec.hy", dir);
  const Bytes records = test::read_file(dir / "rec.hy");
  fs::create_hard_link(dir / "rec.hy", dir / "hard.hy");
  for (const std::string image : {"rec.hy", "hard.hy"}) {
    SCOPED_TRACE(image);
    const test::RunResult run = test::run_with_streams(
        VARNEL_CHECK_BINARY, {"-o", image, "-"}, dir.path, {.input = "rec.hy"});
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, console_text("varnel-check: \"" + image +
                                    "\" is the record file itself\n"));
    EXPECT_EQ(test::read_file(dir / "rec.hy"), records);
  }
  // Any other image is written from it.
  const test::RunResult restored =
      test::run_with_streams(VARNEL_CHECK_BINARY, {"-o", "back.fls", "-"},
                             dir.path, {.input = "rec.hy"});
  EXPECT_EQ(restored.exit_status, 0);
  EXPECT_EQ(restored.err, "");
  EXPECT_EQ(restored.out,
            console_text("\"-\": valid\nrecords: 3\ndata bytes: 24576\n"
                         "run 1: 270000 to 275FFF (3 records)\n"
                         "start address for varnel: 270000\n"
                         "image written to \"back.fls\"\n"));
  EXPECT_EQ(test::read_file(dir / "back.fls"), test::numbered_image(3));
}

}  // namespace
}  // namespace varnel
