// varnel-check as a user runs it: the report, the one line naming a wrong
// record, the exit status (0 valid, 1 invalid, 2 could not check), and the
// image it restores or, on any failure, leaves no trace of.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/numbered_image.h"
#include "tests/test_support.h"

namespace varnel {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::console_text;

test::RunResult check(const std::vector<std::string>& args,
                      const test::ScratchDir& dir) {
  return test::run_program(VARNEL_CHECK_BINARY, args, dir.path);
}

using test::convert;
using test::make_records;

// Nothing but the record file and what the test put there: no image and no
// temporary file beside it.
void expect_no_image(const test::ScratchDir& dir) {
  for (const auto& entry : fs::directory_iterator(dir.path)) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == "in.fls" || name == "rec.hy" || name == "part.hy")
        << name;
  }
}

TEST(VarnelCheck, RoundTripsThroughVarnel) {
  const struct {
    std::string start;
    std::size_t blocks;
    std::string report;  // after the "valid" line; empty to skip
  } cases[] = {
      {"270000", 0, "records: 0\ndata bytes: 0\n"},
      {"270000", 1,
       "records: 1\ndata bytes: 8192\nrun 1: 270000 to 271FFF (1 record)\n"
       "start address for varnel: 270000\n"},
      // 0xFFF000 + 0x6000 - 1 wraps to 0x004FFF.
      {"fff000", 3,
       "records: 3\ndata bytes: 24576\nrun 1: FFF000 to 004FFF (3 records)\n"
       "start address for varnel: FFF000\n"},
      // The top byte of the start never reaches the file: FFFFFF rebuilds it.
      {"FFFFFFFF", 2,
       "records: 2\ndata bytes: 16384\nrun 1: FFFFFF to 003FFE (2 records)\n"
       "start address for varnel: FFFFFF\n"},
      {"0", 300, ""},  // more than one batch of the converter
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.start + ", " + std::to_string(c.blocks) + " blocks");
    const test::ScratchDir dir;
    const Bytes image = test::numbered_image(c.blocks);
    test::write_file(dir / "in.fls", image);
    convert(c.start, "in.fls", "rec.hy", dir);

    const test::RunResult run = check({"rec.hy", "back.fls"}, dir);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.err, "");
    ASSERT_EQ(run.out.rfind(console_text("\"rec.hy\": valid\n"), 0), 0U)
        << run.out;
    if (!c.report.empty()) {
      EXPECT_EQ(run.out, console_text("\"rec.hy\": valid\n" + c.report));
    }
    EXPECT_EQ(test::read_file(dir / "back.fls"), image);

    // The address the report gives rebuilds the very same record file.
    const std::string marker = "start address for varnel: ";
    const std::size_t at = run.out.find(marker);
    if (c.blocks == 0) {
      EXPECT_EQ(at, std::string::npos);
      continue;
    }
    ASSERT_NE(at, std::string::npos);
    const std::string start = run.out.substr(at + marker.size(), 6);
    convert(start, "back.fls", "again.hy", dir);
    EXPECT_EQ(test::read_file(dir / "again.hy"),
              test::read_file(dir / "rec.hy"));
  }
}

// Damaged copies of a file of three records of 8201 bytes, at bytes 0, 8201
// and 16402: each is reported for the right record and leaves no image.
TEST(VarnelCheck, NamesTheFirstWrongRecordAndRestoresNothing) {
  const test::ScratchDir source;
  make_records("fff000", 3, "rec.hy", source);
  const Bytes whole = test::read_file(source / "rec.hy");
  const auto flip = [&whole](std::size_t at, std::uint8_t bit) {
    Bytes damaged = whole;
    damaged.at(at) ^= bit;
    return damaged;
  };
  const auto cut = [&whole](std::size_t size) {
    return Bytes(whole.begin(),
                 whole.begin() + static_cast<std::ptrdiff_t>(size));
  };
  // A header that sums right but gives a length of 0.
  const Bytes empty_record{0x0B, 0x00, 0x20, 0x00, 0x00,
                           0x00, 0x00, 0x00, 0xDF};

  const struct {
    std::string why;
    Bytes records;
    std::string line;
  } cases[] = {
      {"record type", flip(0, 0x01), "record 1 at byte 0: wrong record type"},
      {"address", flip(8201 + 1, 0x80),
       "record 2 at byte 8201: wrong header checksum"},
      {"data checksum field", flip(16402 + 4, 0x01),
       "record 3 at byte 16402: wrong header checksum"},
      {"length field", flip(6, 0x20),
       "record 1 at byte 0: wrong header checksum"},
      {"header checksum", flip(8201 + 8, 0x04),
       "record 2 at byte 8201: wrong header checksum"},
      {"first data byte", flip(9, 0x01),
       "record 1 at byte 0: wrong data checksum"},
      {"last data byte", flip(3 * 8201 - 1, 0x80),
       "record 3 at byte 16402: wrong data checksum"},
      {"cut to one byte", cut(1),
       "record 1 at byte 0: cut short inside the header"},
      {"cut inside the third header", cut(2 * 8201 + 5),
       "record 3 at byte 16402: cut short inside the header"},
      {"cut inside the second record's data", cut(8201 + 100),
       "record 2 at byte 8201: cut short inside the data"},
      {"one data byte short", cut(3 * 8201 - 1),
       "record 3 at byte 16402: cut short inside the data"},
      {"a record of length 0", test::concat({cut(8201), empty_record}),
       "record 2 at byte 8201: length is 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    test::write_file(dir / "rec.hy", c.records);
    const test::RunResult run = check({"rec.hy", "back.fls"}, dir);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              console_text("varnel-check: \"rec.hy\": " + c.line + "\n"));
    expect_no_image(dir);
  }
}

TEST(VarnelCheck, RecordsOfOtherLengths) {
  // Three data bytes of 0x01: checksum 0xFD, length 00 00 03; bytes 1 to 7 sum
  // to 0x12 + 0x34 + 0x56 + 0xFD + 0x03 = 0x19C, so the header checksum is
  // 0x63.
  const test::ScratchDir dir;
  test::write_file(dir / "rec.hy", {0x0B, 0x12, 0x34, 0x56, 0xFD, 0x00, 0x00,
                                    0x03, 0x63, 0x01, 0x01, 0x01});
  const test::RunResult run = check({"rec.hy", "back.fls"}, dir);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.err, "");
  // One run, but not of 8192-byte blocks: no address to give varnel.
  EXPECT_EQ(run.out,
            console_text("\"rec.hy\": valid\nrecords: 1\ndata bytes: 3\nrun 1: "
                         "123456 to 123458 (1 record)\n"));
  EXPECT_EQ(test::read_file(dir / "back.fls"), (Bytes{0x01, 0x01, 0x01}));
}

TEST(VarnelCheck, JoinedFilesAreOneRunOnlyWithoutAGap) {
  const struct {
    std::string why;
    std::string second_start;
    int status_with_image;
    std::string runs;
  } cases[] = {
      {"a gap: verified, not restored", "280000", 1,
       "run 1: 270000 to 273FFF (2 records)\nrun 2: 280000 to 281FFF (1 "
       "record)\n"},
      {"no gap: one run", "274000", 0,
       "run 1: 270000 to 275FFF (3 records)\nstart address for varnel: "
       "270000\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    make_records("270000", 2, "rec.hy", dir);
    const Bytes first = test::read_file(dir / "rec.hy");
    make_records(c.second_start, 1, "part.hy", dir);
    test::write_file(dir / "rec.hy",
                     test::concat({first, test::read_file(dir / "part.hy")}));

    const std::string report = console_text(
        "\"rec.hy\": valid\nrecords: 3\ndata bytes: 24576\n" + c.runs);
    const test::RunResult verified = check({"rec.hy"}, dir);
    EXPECT_EQ(verified.exit_status, 0);
    EXPECT_EQ(verified.out, report);
    EXPECT_EQ(verified.err, "");

    const test::RunResult restored = check({"rec.hy", "back.fls"}, dir);
    EXPECT_EQ(restored.exit_status, c.status_with_image);
    EXPECT_EQ(restored.out, report);
    if (c.status_with_image == 0) {
      EXPECT_EQ(restored.err, "");
      EXPECT_EQ(
          test::read_file(dir / "back.fls"),
          test::concat({test::numbered_image(2), test::numbered_image(1)}));
    } else {
      EXPECT_EQ(restored.err,
                console_text("varnel-check: \"rec.hy\": not restored: the "
                             "records form 2 runs, not one\n"));
      expect_no_image(dir);
    }
  }
}

TEST(VarnelCheck, CouldNotCheck) {
  const std::string usage =
      "usage: varnel-check <record_file> [<image_file>]\n"
      "Checks every record of a record file written by varnel and, given an\n"
      "image file, writes the data of its records back out as the raw image.\n";
  const struct {
    std::string why;
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
    {"no arguments", {}, usage},
    {"three arguments", {"rec.hy", "a", "b"}, usage},
    {"a missing record file",
     {"missing.hy"},
     "varnel-check: cannot open \"missing.hy\"\n"},
    {"a directory", {"sub"}, "varnel-check: cannot open \"sub\"\n"},
    {"the image is the record file",
     {"rec.hy", "./rec.hy"},
     "varnel-check: \"./rec.hy\" is the record file itself\n"},
    {"the image by a hard link to the record file",
     {"rec.hy", "hard.hy"},
     "varnel-check: \"hard.hy\" is the record file itself\n"},
    {"the image would replace a directory",
     {"rec.hy", "sub"},
     "varnel-check: \"sub\" is not a regular file\n"},
#if defined(_WIN32)
    {"the image would replace a device",
     {"rec.hy", "NUL"},
     "varnel-check: \"NUL\" is not a regular file\n"},
#else
    {"the image would replace a device",
     {"rec.hy", "/dev/null"},
     "varnel-check: \"/dev/null\" is not a regular file\n"},
#endif
    {"the image in a directory that does not exist",
     {"rec.hy", "nodir/back.fls"},
     "varnel-check: cannot create \"nodir/back.fls\"\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    make_records("0", 1, "rec.hy", dir);
    const Bytes records = test::read_file(dir / "rec.hy");
    fs::create_directory(dir / "sub");
    fs::create_hard_link(dir / "rec.hy", dir / "hard.hy");

    const test::RunResult run = check(c.args, dir);
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, console_text(c.err));
    EXPECT_EQ(test::read_file(dir / "rec.hy"), records);
    EXPECT_TRUE(fs::is_directory(dir / "sub"));
  }
}

TEST(VarnelCheck, AReportThatCannotBeWrittenIsNoAnswer) {
  VARNEL_SKIP_ON_WINDOWS("Windows has no /dev/full");
  if (!fs::is_character_file("/dev/full")) {
    GTEST_SKIP() << "/dev/full is not on this machine";
  }
  const test::ScratchDir dir;
  make_records("0", 1, "rec.hy", dir);
  const test::RunResult run = test::run_program(
      VARNEL_CHECK_BINARY, {"rec.hy"}, dir.path, test::stdout_to("/dev/full"));
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(run.err, "varnel-check: error writing the report\n");
}

// An image that cannot be written in full (here a file-size limit) is no
// image: nothing is left under its name or a temporary one.
TEST(VarnelCheck, ImageThatCannotBeWrittenIsLeftOut) {
  VARNEL_SKIP_ON_WINDOWS("Windows has no file size limit to set");
  const test::ScratchDir dir;
  make_records("0", 3, "rec.hy", dir);
  const test::RunResult run =
      test::run_program(VARNEL_CHECK_BINARY, {"rec.hy", "back.fls"}, dir.path,
                        test::file_size_limit(10000));
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "varnel-check: error writing \"back.fls\"\n");
  expect_no_image(dir);
}

// The runs are listed from a second reading of the headers, which a pipe
// cannot give: the check is not made, rather than half told.
TEST(VarnelCheck, RecordFileThatCannotBeReadTwice) {
  VARNEL_SKIP_ON_WINDOWS("a pipe as a named file is /dev/stdin, POSIX only");
  const test::ScratchDir dir;
  make_records("0", 1, "rec.hy", dir);
  // One record of 8201 bytes fits in a pipe's buffer.
  const test::RunResult run =
      test::run_program(VARNEL_CHECK_BINARY, {"/dev/stdin"}, dir.path,
                        test::stdin_from_pipe(test::read_file(dir / "rec.hy")));
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(run.err, "varnel-check: error reading \"/dev/stdin\" again\n");
}

const std::string kCheckUsage =
    "usage: varnel-check <record_file> [<image_file>]\n"
    "Checks every record of a record file written by varnel and, given an\n"
    "image file, writes the data of its records back out as the raw image.\n";

// Options come before the names, and "--" ends them. The record file, one
// block of zeros at 0, is named "-x.hy".
TEST(VarnelCheck, Options) {
  const std::string report =
      "\"-x.hy\": valid\nrecords: 1\ndata bytes: 8192\n"
      "run 1: 000000 to 001FFF (1 record)\nstart address for varnel: 000000\n";
  const struct {
    std::string why;
    std::vector<std::string> args;
    int status;
    std::string out;  // for the help, how it starts
    std::string err;
  } cases[] = {
      {"--help",
       {"--help"},
       0,
       "usage: varnel-check [--list] [--] <record_file> [<image_file>]\n",
       ""},
      {"-h",
       {"-h"},
       0,
       "usage: varnel-check [--list] [--] <record_file> [<image_file>]\n",
       ""},
      {"the help, whatever names follow",
       {"--help", "a", "b", "c"},
       0,
       "usage: varnel-check [--list] [--] <record_file> [<image_file>]\n",
       ""},
      {"--version", {"--version"}, 0, "varnel-check " VARNEL_VERSION "\n", ""},
      {"an unknown option",
       {"--bogus", "rec.hy"},
       2,
       "",
       "varnel-check: unknown option \"--bogus\"\n" + kCheckUsage},
      {"a dashed name without --",
       {"-x.hy"},
       2,
       "",
       "varnel-check: unknown option \"-x.hy\"\n" + kCheckUsage},
      {"-- before a dashed name", {"--", "-x.hy"}, 0, report, ""},
      {"an option after a name",
       {"plain.hy", "--list"},
       2,
       "",
       "varnel-check: \"--list\" after a file name: options come first, and "
       "a name that starts with '-' comes after \"--\"\n" +
           kCheckUsage},
      {"--list and -- before dashed names",
       {"--list", "--", "-x.hy", "-back.fls"},
       0,
       "record offset address length checksum\n1 0 000000 2000 00\n" + report,
       ""},
      {"options and no name", {"--list"}, 2, "", kCheckUsage},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    make_records("0", 1, "-x.hy", dir);
    const test::RunResult run = check(c.args, dir);
    EXPECT_EQ(run.exit_status, c.status);
    if (c.why == "--help" || c.why == "-h" ||
        c.why == "the help, whatever names follow") {
      EXPECT_EQ(run.out.rfind(console_text(c.out), 0), 0U) << run.out;
      for (const char* option : {"--list", "--help", "--version", "\n  --  "}) {
        EXPECT_NE(run.out.find(option), std::string::npos) << option;
      }
    } else {
      EXPECT_EQ(run.out, console_text(c.out));
    }
    EXPECT_EQ(run.err, console_text(c.err));
  }
}

// A file of three records crossing FFFFFF, from varnel, then a record of
// three bytes written by hand at 123456: each row worked out by hand. Block k
// of a numbered image starts with the byte k, so its data checksum is -k.
TEST(VarnelCheck, ListsEveryRecord) {
  const test::ScratchDir dir;
  make_records("ffc000", 3, "part.hy", dir);
  test::write_file(dir / "rec.hy",
                   test::concat({test::read_file(dir / "part.hy"),
                                 {0x0B, 0x12, 0x34, 0x56, 0xFD, 0x00, 0x00,
                                  0x03, 0x63, 0x01, 0x01, 0x01}}));
  const test::RunResult run = check({"--list", "rec.hy"}, dir);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, console_text("record offset address length checksum\n"
                                  "1 0 FFC000 2000 00\n"
                                  "2 8201 FFE000 2000 FF\n"
                                  "3 16402 000000 2000 FE\n"
                                  "4 24603 123456 3 FD\n"
                                  "\"rec.hy\": valid\n"
                                  "records: 4\n"
                                  "data bytes: 24579\n"
                                  "run 1: FFC000 to 001FFF (3 records)\n"
                                  "run 2: 123456 to 123458 (1 record)\n"));
}

// The rows of the records before a wrong one stay; the error line and exit
// status are those of a check without the listing, and no image is left.
TEST(VarnelCheck, ListingStopsAtTheWrongRecord) {
  const test::ScratchDir dir;
  make_records("fff000", 3, "rec.hy", dir);
  Bytes records = test::read_file(dir / "rec.hy");
  records.back() ^= 0x80;  // the last data byte of the third record
  test::write_file(dir / "rec.hy", records);

  const test::RunResult run = check({"--list", "rec.hy", "back.fls"}, dir);
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.out, console_text("record offset address length checksum\n"
                                  "1 0 FFF000 2000 00\n"
                                  "2 8201 001000 2000 FF\n"));
  EXPECT_EQ(run.err, console_text("varnel-check: \"rec.hy\": record 3 at byte "
                                  "16402: wrong data checksum\n"));
  expect_no_image(dir);
}

// Two record files of four blocks at 270000, the same but for one byte of
// the third block: their listings differ in that record's row alone.
TEST(VarnelCheck, ListingsOfTwoFilesDifferWhereTheirBlocksDo) {
  const test::ScratchDir a;
  const test::ScratchDir b;
  make_records("270000", 4, "rec.hy", a);
  Bytes image = test::numbered_image(4);
  image[2 * 8192 + 100] = 0x10;  // block 2 now sums to 0x12: checksum EE
  test::write_file(b / "in.fls", image);
  convert("270000", "in.fls", "rec.hy", b);

  const auto lines = [](const std::string& text) {
    std::vector<std::string> split;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') {
        line.pop_back();  // the console's line ends on Windows
      }
      split.push_back(line);
    }
    return split;
  };
  const std::vector<std::string> from_a =
      lines(check({"--list", "rec.hy"}, a).out);
  const std::vector<std::string> from_b =
      lines(check({"--list", "rec.hy"}, b).out);
  ASSERT_EQ(from_a.size(), from_b.size());
  std::vector<std::pair<std::string, std::string>> differ;
  for (std::size_t i = 0; i < from_a.size(); ++i) {
    if (from_a[i] != from_b[i]) {
      differ.emplace_back(from_a[i], from_b[i]);
    }
  }
  ASSERT_EQ(differ.size(), 1U);
  EXPECT_EQ(differ[0].first, "3 16402 274000 2000 FE");
  EXPECT_EQ(differ[0].second, "3 16402 274000 2000 EE");
}

}  // namespace
}  // namespace varnel
