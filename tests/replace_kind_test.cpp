// Each command replaces only the kind of file it makes: varnel an empty file
// or a record file, varnel-check anything but a record file. A slip of the
// names, such as the image and the record file swapped, then destroys
// nothing.
#include <gtest/gtest.h>

#include <cstdint>
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
using test::banner_then;
using test::Bytes;

// A block of 0x01 at address 0 and its record: 8192 ones sum to 0 modulo
// 256, so the header is the all-zero block's, 0B 00 00 00 00 00 20 00 DF.
const Bytes kImage = test::block_filled(0x01);
const Bytes kRecords =
    test::concat({{0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0xDF},
                  test::block_filled(0x01)});

// What is at the destination before varnel runs, and whether varnel may
// replace it. The headers are worked by hand: bytes 1 to 8 sum to FF.
struct Existing {
  std::string why;
  Bytes bytes;
  bool record_file;
};

const std::vector<Existing>& existing_files() {
  static const std::vector<Existing> files = {
      {"an empty file", {}, false},
      {"a record file", test::zero_record_file(), true},
      {"a record header alone", {0x0B, 0, 0, 0, 0, 0, 0x20, 0, 0xDF}, true},
      {"a record at 270000 whose data does not match",
       test::concat({{0x0B, 0x27, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0xB8},
                     Bytes(10, 0x55)}),
       true},
      {"a dump", Bytes(16384, 0x01), false},
      {"8 bytes of a record header", {0x0B, 0, 0, 0, 0, 0, 0x20, 0}, false},
      {"a wrong header checksum",
       test::concat(
           {{0x0B, 0, 0, 0, 0, 0, 0x20, 0, 0xDE}, test::block_filled(0)}),
       false},
      {"record type 0C",
       test::concat(
           {{0x0C, 0, 0, 0, 0, 0, 0x20, 0, 0xDF}, test::block_filled(0)}),
       false},
      // Records of any length are record files, as varnel-check reads them.
      // Length 001000: bytes 1 to 7 sum to 10, so the checksum is EF.
      {"a record of 4096 bytes",
       test::concat({{0x0B, 0, 0, 0, 0, 0, 0x10, 0, 0xEF}, Bytes(4096, 0)}),
       true},
      // 16 bytes of 01 at 123456: data checksum F0; bytes 1 to 7 sum to
      // 12 + 34 + 56 + F0 + 10 = 19C, so the checksum is 63.
      {"a valid record file of one record of 16 bytes",
       test::concat(
           {{0x0B, 0x12, 0x34, 0x56, 0xF0, 0, 0, 0x10, 0x63}, Bytes(16, 0x01)}),
       true},
      {"the same header, its checksum one off",
       test::concat(
           {{0x0B, 0x12, 0x34, 0x56, 0xF0, 0, 0, 0x10, 0x64}, Bytes(16, 0x01)}),
       false},
  };
  return files;
}

TEST(ReplaceKind, VarnelReplacesOnlyEmptyFilesAndRecordFiles) {
  for (const Existing& existing : existing_files()) {
    SCOPED_TRACE(existing.why);
    const test::ScratchDir dir;
    test::write_file(dir / "in.fls", kImage);
    test::write_file(dir / "out.hy", existing.bytes);
    const bool replaced = existing.record_file || existing.bytes.empty();
    const test::RunResult run =
        test::run_binary({"0", "in.fls", "out.hy"}, dir.path);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out,
              banner_then(
                  replaced ? "Output written to \"out.hy\".\n\n"
                           : "Cannot create destination file \"out.hy\".\n\n"));
    EXPECT_EQ(test::read_file(dir / "out.hy"),
              replaced ? kRecords : existing.bytes);
    EXPECT_EQ(test::names_in(dir.path),
              (std::vector<std::string>{"in.fls", "out.hy"}));
  }
}

TEST(ReplaceKind, VarnelCheckReplacesAnythingButARecordFile) {
  const test::ScratchDir dir;
  ASSERT_NO_FATAL_FAILURE(test::make_records("0", 1, "rec.hy", dir));
  const Bytes image = test::read_file(dir / "in.fls");
  fs::remove(dir / "in.fls");
  for (const Existing& existing : existing_files()) {
    SCOPED_TRACE(existing.why);
    test::write_file(dir / "back.fls", existing.bytes);
    const test::RunResult run = test::run_program(
        VARNEL_CHECK_BINARY, {"-o", "back.fls", "rec.hy"}, dir.path);
    if (existing.record_file) {
      EXPECT_EQ(run.exit_status, 2);
      EXPECT_EQ(run.out, "");
      EXPECT_EQ(run.err, test::console_text(
                             "varnel-check: \"back.fls\" is a record file: not "
                             "replaced (remove it first to replace it)\n"));
      EXPECT_EQ(test::read_file(dir / "back.fls"), existing.bytes);
    } else {
      EXPECT_EQ(run.exit_status, 0);
      EXPECT_EQ(run.err, "");
      EXPECT_EQ(test::read_file(dir / "back.fls"), image);
    }
    EXPECT_EQ(test::names_in(dir.path),
              (std::vector<std::string>{"back.fls", "rec.hy"}));
  }
}

// The names swapped: a record file of n records is 8201 × n bytes, a
// multiple of 8192 whenever n is, so the record file of a 64 MiB dump (8192
// blocks) passes for an image, and the dump was its destination. It is
// refused, and the dump stays.
TEST(ReplaceKind, SwappedNamesOfA64MiBDump) {
  const test::ScratchDir dir;
  const std::size_t blocks = 8192;
  test::write_file(dir / "big.fls", test::numbered_image(blocks));
  ASSERT_EQ(test::run_binary({"270000", "big.fls", "big.hy"}, dir.path).out,
            banner_then("Output written to \"big.hy\".\n\n"));
  ASSERT_EQ(fs::file_size(dir / "big.hy"), std::uintmax_t{8201} * blocks);
  ASSERT_EQ(fs::file_size(dir / "big.hy") % 8192, 0U);

  const test::RunResult run =
      test::run_binary({"270000", "big.hy", "big.fls"}, dir.path);
  EXPECT_EQ(run.out,
            banner_then("Cannot create destination file \"big.fls\".\n\n"));
  EXPECT_TRUE(test::read_file(dir / "big.fls") == test::numbered_image(blocks))
      << "the dump was changed";
  EXPECT_EQ(test::names_in(dir.path),
            (std::vector<std::string>{"big.fls", "big.hy"}));
}

// Permissions are no guard for the superuser: a read-only record file is
// still no image to replace.
TEST(ReplaceKind, ReadOnlyRecordFileAsRoot) {
  VARNEL_SKIP_ON_WINDOWS("the read-only attribute refuses any replacing");
#if !defined(_WIN32)
  if (::geteuid() != 0) {
    GTEST_SKIP() << "only the superuser may write a read-only file";
  }
  const test::ScratchDir dir;
  ASSERT_NO_FATAL_FAILURE(test::make_records("0", 3, "a3.hy", dir));
  ASSERT_NO_FATAL_FAILURE(test::make_records("0", 1, "a.hy", dir));
  const Bytes records = test::read_file(dir / "a.hy");
  ASSERT_EQ(::chmod((dir / "a.hy").c_str(), 0444), 0);
  const test::RunResult run =
      test::run_program(VARNEL_CHECK_BINARY, {"-o", "a.hy", "a3.hy"}, dir.path);
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(run.err,
            "varnel-check: \"a.hy\" is a record file: not replaced (remove it "
            "first to replace it)\n");
  EXPECT_EQ(test::read_file(dir / "a.hy"), records);
  struct stat status {};
  ASSERT_EQ(::stat((dir / "a.hy").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777U, 0444U);
#endif
}

}  // namespace
}  // namespace varnel
