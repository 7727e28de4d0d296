// What varnel-check tells a person beyond a record's faults: that an empty
// record file is none, where one file's report ends and the next begins,
// and how the image is written now when the command line of old is used.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/numbered_image.h"
#include "tests/test_support.h"

namespace varnel {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::console_text;
using test::contents_of;
using test::run_check;

const std::string kColumns = "record offset address length checksum\n";

// The report on a record file of one block of zeros at address 0.
std::string report_of(const std::string& name) {
  return "\"" + name +
         "\": valid\nrecords: 1\ndata bytes: 8192\n"
         "run 1: 000000 to 001FFF (1 record)\n"
         "start address for varnel: 000000\n";
}

// An empty record file is what varnel leaves for an image of the wrong size,
// and what a pipe brings from a command that failed: it is named as holding
// no records, with the status of a wrong file, and no image is written from
// it.
TEST(CheckMessages, EmptyRecordFileHoldsNoRecords) {
  const std::string no_records = "varnel-check: \"odd.hy\": holds no records\n";
  const struct {
    std::string why;
    std::vector<std::string> args;
    std::string out;
    std::string err;
  } cases[] = {
      {"alone", {"odd.hy"}, "", no_records},
      {"restored", {"-o", "dump.fls", "odd.hy"}, "", no_records},
      {"listed: the columns, and no row",
       {"--list", "odd.hy"},
       kColumns,
       no_records},
      {"among others, which are reported",
       {"odd.hy", "one.hy"},
       report_of("one.hy"),
       no_records},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    // 8193 bytes: varnel says so, and leaves an empty record file.
    test::write_file(dir / "odd.fls", Bytes(8193, 0xAA));
    (void)test::run_binary({"0", "odd.fls", "odd.hy"}, dir.path);
    ASSERT_EQ(fs::file_size(dir / "odd.hy"), 0U);
    test::make_records("0", 1, "one.hy", dir);
    const std::map<std::string, Bytes> before = contents_of(dir);

    const test::RunResult run = run_check(c.args, dir);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, console_text(c.out));
    EXPECT_EQ(run.err, console_text(c.err));
    EXPECT_EQ(contents_of(dir), before) << "a file changed or appeared";
  }
}

// The same through standard input: a file, or (on POSIX systems) a pipe
// that brings nothing, as `cat missing.hy | varnel-check -o dump.fls -`.
TEST(CheckMessages, NothingOnStandardInputHoldsNoRecords) {
  const test::ScratchDir dir;
  test::write_file(dir / "odd.hy", {});
  const std::string no_records = "varnel-check: \"-\": holds no records\n";
  const test::RunResult from_file =
      test::run_with_streams(VARNEL_CHECK_BINARY, {"-o", "dump.fls", "-"},
                             dir.path, {.input = "odd.hy"});
  EXPECT_EQ(from_file.exit_status, 1);
  EXPECT_EQ(from_file.out, "");
  EXPECT_EQ(from_file.err, console_text(no_records));
  EXPECT_FALSE(fs::exists(dir / "dump.fls"));
#if !defined(_WIN32)
  const test::RunResult from_pipe =
      test::run_program(VARNEL_CHECK_BINARY, {"-o", "dump.fls", "-"}, dir.path,
                        test::stdin_from_pipe({}));
  EXPECT_EQ(from_pipe.exit_status, 1);
  EXPECT_EQ(from_pipe.out, "");
  EXPECT_EQ(from_pipe.err, no_records);
  EXPECT_EQ(test::names_in(dir.path), std::vector<std::string>{"odd.hy"});
#endif
}

// Several record files: on standard output, an empty line between what one
// file's check printed and the next one's, listing included; nothing before
// the first, nothing after the last, nothing for a file that printed
// nothing there. The error lines, on standard error, stay one line each.
TEST(CheckMessages, ReportsStandApart) {
  const std::string listing_a = kColumns + "1 0 000000 2000 00\n";
  // Block 1 of a numbered image starts with 0x01: data checksum FF. Its
  // last byte is damaged below.
  const std::string listing_damaged = kColumns + "1 0 000000 2000 00\n";
  const std::string damaged =
      "varnel-check: \"damaged.hy\": record 2 at byte 8201: wrong data "
      "checksum\n";
  const std::string missing =
      "varnel-check: cannot open \"missing.hy\": No such file or directory\n";
  const struct {
    std::string why;
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
  } cases[] = {
      {"two reports",
       {"a.hy", "b.hy"},
       0,
       report_of("a.hy") + "\n" + report_of("b.hy"),
       ""},
      {"three reports",
       {"a.hy", "b.hy", "a.hy"},
       0,
       report_of("a.hy") + "\n" + report_of("b.hy") + "\n" + report_of("a.hy"),
       ""},
      {"a file that cannot be opened prints nothing there",
       {"missing.hy", "a.hy", "missing.hy", "b.hy", "missing.hy"},
       2,
       report_of("a.hy") + "\n" + report_of("b.hy"),
       missing + missing + missing},
      {"a wrong file prints nothing there",
       {"a.hy", "damaged.hy", "b.hy"},
       1,
       report_of("a.hy") + "\n" + report_of("b.hy"),
       damaged},
      {"listings",
       {"--list", "a.hy", "b.hy"},
       0,
       listing_a + report_of("a.hy") + "\n" + listing_a + report_of("b.hy"),
       ""},
      {"a listing that stops at a wrong record",
       {"--list", "a.hy", "damaged.hy", "b.hy"},
       1,
       listing_a + report_of("a.hy") + "\n" + listing_damaged + "\n" +
           listing_a + report_of("b.hy"),
       damaged},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    test::make_records("0", 1, "a.hy", dir);
    test::make_records("0", 1, "b.hy", dir);
    test::make_records("0", 2, "damaged.hy", dir);
    Bytes bad = test::read_file(dir / "damaged.hy");
    bad.back() ^= 0x01;
    test::write_file(dir / "damaged.hy", bad);

    const test::RunResult run = run_check(c.args, dir);
    EXPECT_EQ(run.exit_status, c.status);
    EXPECT_EQ(run.out, console_text(c.out));
    EXPECT_EQ(run.err, console_text(c.err));
  }
}

// The command line before 0.9a, `varnel-check dump.hy restored.fls`, names
// an image that does not exist yet as a second record file: the line that
// says so is followed by how to write it now. Only there: not for the first
// of two names, nor among three, nor with -o, nor for a second name that
// exists.
TEST(CheckMessages, HintForTheCommandLineOfOld) {
  const std::string missing =
      "varnel-check: cannot open \"restored.fls\": No such file or "
      "directory\n";
  const std::string hint = "(to write the image, use -o restored.fls)\n";
  const struct {
    std::string why;
    std::vector<std::string> args;
    std::string out;
    std::string err;
  } cases[] = {
      {"the command line of old",
       {"dump.hy", "restored.fls"},
       report_of("dump.hy"),
       missing + hint},
      {"listed",
       {"--list", "dump.hy", "restored.fls"},
       kColumns + "1 0 000000 2000 00\n" + report_of("dump.hy"),
       missing + hint},
      {"the names the other way round",
       {"restored.fls", "dump.hy"},
       report_of("dump.hy"),
       missing},
      {"among three names",
       {"dump.hy", "dump.hy", "restored.fls"},
       report_of("dump.hy") + "\n" + report_of("dump.hy"),
       missing},
      {"with -o", {"-o", "back.fls", "restored.fls"}, "", missing},
      {"a second name that is there but cannot be read",
       {"dump.hy", "sub"},
       report_of("dump.hy"),
       "varnel-check: cannot open \"sub\": Is a directory\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    test::make_records("0", 1, "dump.hy", dir);
    fs::create_directory(dir / "sub");
    const test::RunResult run = run_check(c.args, dir);
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.out, console_text(c.out));
    EXPECT_EQ(run.err, console_text(c.err));
    EXPECT_FALSE(fs::exists(dir / "restored.fls"));
    EXPECT_FALSE(fs::exists(dir / "back.fls"));
  }
}

// The command line of old run a second time: `restored.fls` is there now,
// what an earlier run left, and does not begin with a record. The line that
// says what is wrong with it is followed by how to write the image now.
// Only for the second of two names without -o, and only for a file that does
// not begin with a record.
TEST(CheckMessages, HintForTheCommandLineOfOldRunAgain) {
  const std::string hint = "(to write the image, use -o restored.fls)\n";
  const std::string line = "varnel-check: \"restored.fls\": ";
  const struct {
    std::string why;
    Bytes restored;  // what is at restored.fls
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
  } cases[] = {
      {"an image: its first byte, 00, is no record type",
       test::numbered_image(1),
       {"dump.hy", "restored.fls"},
       1,
       report_of("dump.hy"),
       line + "record 1 at byte 0: wrong record type\n" + hint},
      {"quiet: the same lines",
       test::numbered_image(1),
       {"-q", "dump.hy", "restored.fls"},
       1,
       "",
       line + "record 1 at byte 0: wrong record type\n" + hint},
      {"an image that starts with 0B: its header checksum is wrong",
       test::concat({{0x0B}, Bytes(8191, 0x00)}),
       {"dump.hy", "restored.fls"},
       1,
       report_of("dump.hy"),
       line + "record 1 at byte 0: wrong header checksum\n" + hint},
      {"an empty file, what a failed run leaves",
       {},
       {"dump.hy", "restored.fls"},
       1,
       report_of("dump.hy"),
       line + "holds no records\n" + hint},
      {"a file too short for a header",
       {0x0B, 0x00, 0x00},
       {"dump.hy", "restored.fls"},
       1,
       report_of("dump.hy"),
       line + "record 1 at byte 0: cut short inside the header\n" + hint},
      {"a record file whose data is wrong: it begins with a record",
       test::concat({{0x0B, 0, 0, 0, 0, 0, 0x20, 0, 0xDF},
                     test::block_with({{8191, 0x01}})}),
       {"dump.hy", "restored.fls"},
       1,
       report_of("dump.hy"),
       line + "record 1 at byte 0: wrong data checksum\n"},
      {"a record file: two record files are checked",
       test::zero_record_file(),
       {"dump.hy", "restored.fls"},
       0,
       report_of("dump.hy") + "\n" + report_of("restored.fls"),
       ""},
      {"with -o",
       {},
       {"-o", "back.fls", "restored.fls"},
       1,
       "",
       line + "holds no records\n"},
      {"among three names",
       {},
       {"dump.hy", "dump.hy", "restored.fls"},
       1,
       report_of("dump.hy") + "\n" + report_of("dump.hy"),
       line + "holds no records\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    test::make_records("0", 1, "dump.hy", dir);
    fs::remove(dir / "in.fls");
    test::write_file(dir / "restored.fls", c.restored);
    const std::map<std::string, Bytes> before = contents_of(dir);
    const test::RunResult run = run_check(c.args, dir);
    EXPECT_EQ(run.exit_status, c.status);
    EXPECT_EQ(run.out, console_text(c.out));
    EXPECT_EQ(run.err, console_text(c.err));
    EXPECT_EQ(contents_of(dir), before) << "a file changed or appeared";
  }

  // Standard input as the second name: -o takes no "-", and the image is
  // only what any file that may be one gets.
  const test::ScratchDir dir;
  test::make_records("0", 1, "dump.hy", dir);
  fs::rename(dir / "in.fls", dir / "restored.fls");
  const test::RunResult run =
      test::run_with_streams(VARNEL_CHECK_BINARY, {"dump.hy", "-"}, dir.path,
                             {.input = "restored.fls"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.out, console_text(report_of("dump.hy")));
  EXPECT_EQ(run.err,
            console_text("varnel-check: \"-\": record 1 at byte 0: wrong "
                         "record type\n(it does not begin with a record: it "
                         "may be an image; to compare an image with its "
                         "record file, use -c IMAGE RECORD_FILE)\n"));
}

// An image checked where a record file goes, alone, among others, with -o or
// --flash-image, or with -c and the names the other way round: the line
// that names its first record is followed by what it may be and how an
// image is compared. Not for a file that begins with a record, however
// damaged, nor for one too short to be an image.
TEST(CheckMessages, HintForAnImageCheckedAsARecordFile) {
  const std::string hint =
      "(it does not begin with a record: it may be an image; to compare an "
      "image with its record file, use -c IMAGE RECORD_FILE)\n";
  const std::string compare_hint =
      "(it does not begin with a record: it may be an image; -c takes the "
      "image first: -c IMAGE RECORD_FILE)\n";
  const std::string image_fault =
      "varnel-check: \"dump.fls\": record 1 at byte 0: wrong record type\n";
  const struct {
    std::string why;
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
  } cases[] = {
      {"alone", {"dump.fls"}, 1, "", image_fault + hint},
      {"the first of two",
       {"dump.fls", "dump.hy"},
       1,
       report_of("dump.hy"),
       image_fault + hint},
      {"among three",
       {"dump.hy", "dump.fls", "dump.hy"},
       1,
       report_of("dump.hy") + "\n" + report_of("dump.hy"),
       image_fault + hint},
      {"listed: the columns, and no row",
       {"--list", "dump.fls"},
       1,
       kColumns,
       image_fault + hint},
      {"-c with the names the other way round",
       {"-c", "dump.hy", "dump.fls"},
       1,
       "",
       image_fault + compare_hint},
      {"-c the right way round: no hint",
       {"-c", "dump.fls", "dump.hy"},
       0,
       report_of("dump.hy") + "holds \"dump.fls\" exactly\n",
       ""},
      {"-o", {"-o", "back.fls", "dump.fls"}, 1, "", image_fault + hint},
      {"--flash-image",
       {"--flash-image", "back.fls", "dump.fls"},
       1,
       "",
       image_fault + hint},
      {"an image that starts with 0B, a header checksum that does not hold",
       {"0b.fls"},
       1,
       "",
       "varnel-check: \"0b.fls\": record 1 at byte 0: wrong header checksum\n" +
           hint},
      {"a record file whose first data is wrong: no hint",
       {"damaged.hy"},
       1,
       "",
       "varnel-check: \"damaged.hy\": record 1 at byte 0: wrong data "
       "checksum\n"},
      {"a record file whose first header says length 0: no hint",
       {"empty-record.hy"},
       1,
       "",
       "varnel-check: \"empty-record.hy\": record 1 at byte 0: length is 0\n"},
      {"a record file whose second record is wrong: no hint",
       {"second.hy"},
       1,
       "",
       "varnel-check: \"second.hy\": record 2 at byte 8201: wrong record "
       "type\n"},
      {"too short for a header: no hint",
       {"short.fls"},
       1,
       "",
       "varnel-check: \"short.fls\": record 1 at byte 0: cut short inside the "
       "header\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    test::make_records("0", 1, "dump.hy", dir);
    fs::rename(dir / "in.fls", dir / "dump.fls");
    test::write_file(dir / "0b.fls", test::concat({{0x0B}, Bytes(8191, 0)}));
    test::write_file(dir / "damaged.hy",
                     test::concat({{0x0B, 0, 0, 0, 0, 0, 0x20, 0, 0xDF},
                                   test::block_with({{8191, 0x01}})}));
    // Bytes 1 to 8 sum to FF; the length is 0.
    test::write_file(dir / "empty-record.hy",
                     {0x0B, 0, 0, 0, 0, 0, 0, 0, 0xFF});
    test::write_file(
        dir / "second.hy",
        test::concat({test::zero_record_file(), test::numbered_image(1)}));
    test::write_file(dir / "short.fls", {0x00, 0x01, 0x02});
    const std::map<std::string, Bytes> before = contents_of(dir);
    const test::RunResult run = run_check(c.args, dir);
    EXPECT_EQ(run.exit_status, c.status);
    EXPECT_EQ(run.out, console_text(c.out));
    EXPECT_EQ(run.err, console_text(c.err));
    EXPECT_EQ(contents_of(dir), before) << "a file changed or appeared";
  }
}

}  // namespace
}  // namespace varnel
