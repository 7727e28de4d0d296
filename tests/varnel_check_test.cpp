// varnel-check as a user runs it: the report on each record file, the one
// line naming a wrong record or saying why a file cannot be used, the exit
// status (0 all valid, 1 a wrong record, 2 could not check), and the image it
// restores with -o or, on any failure, leaves no trace of.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/numbered_image.h"
#include "tests/test_support.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace varnel {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::console_text;
using test::contents_of;
using test::run_check;

using test::convert;
using test::make_records;

// Nothing but the record files and what the test put there: no image and no
// temporary file beside them.
void expect_no_image(const test::ScratchDir& dir) {
  for (const auto& entry : fs::directory_iterator(dir.path)) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == "in.fls" || name == "rec.hy" || name == "part.hy")
        << name;
  }
}

// The help's usage lines, which a wrong command line repeats after saying what
// is wrong.
const std::string kUsageLines =
    "usage: varnel-check [--list | -q] [--all-faults] [--] RECORD_FILE...\n"
    "       varnel-check [--list | -q] [--all-faults] -o IMAGE [--] "
    "RECORD_FILE\n"
    "       varnel-check [--list | -q] [--all-faults] -c IMAGE [--] "
    "RECORD_FILE\n"
    "       varnel-check [--list | -q] [--all-faults] --flash-image OUT\n"
    "                    [--fill XX] [--] RECORD_FILE\n"
    "       varnel-check -h | --help | --version\n";
const std::string kTryHelp = "Try \"varnel-check --help\" for more.\n";

TEST(VarnelCheck, RoundTripsThroughVarnel) {
  const struct {
    std::string start;
    std::size_t blocks;
    std::string report;  // after the "valid" line; empty to skip
  } cases[] = {
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

    const test::RunResult run = run_check({"-o", "back.fls", "rec.hy"}, dir);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.err, "");
    ASSERT_EQ(run.out.rfind(console_text("\"rec.hy\": valid\n"), 0), 0U)
        << run.out;
    const std::string closing = console_text("image written to \"back.fls\"\n");
    ASSERT_GE(run.out.size(), closing.size());
    EXPECT_EQ(run.out.substr(run.out.size() - closing.size()), closing);
    if (!c.report.empty()) {
      EXPECT_EQ(run.out, console_text("\"rec.hy\": valid\n" + c.report +
                                      "image written to \"back.fls\"\n"));
    }
    EXPECT_EQ(test::read_file(dir / "back.fls"), image);

    // The address the report gives rebuilds the very same record file.
    const std::string marker = "start address for varnel: ";
    const std::size_t at = run.out.find(marker);
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

  // After a first header that is none, the file may be an image.
  const std::string image_hint =
      "(it does not begin with a record: it may be an image; to compare an "
      "image with its record file, use -c IMAGE RECORD_FILE)\n";
  const struct {
    std::string why;
    Bytes records;
    std::string line;
    bool image_hint = false;
  } cases[] = {
      {"record type", flip(0, 0x01), "record 1 at byte 0: wrong record type",
       true},
      {"address", flip(8201 + 1, 0x80),
       "record 2 at byte 8201: wrong header checksum"},
      {"data checksum field", flip(16402 + 4, 0x01),
       "record 3 at byte 16402: wrong header checksum"},
      {"length field", flip(6, 0x20),
       "record 1 at byte 0: wrong header checksum", true},
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
    const test::RunResult run = run_check({"-o", "back.fls", "rec.hy"}, dir);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, console_text("varnel-check: \"rec.hy\": " + c.line +
                                    "\n" + (c.image_hint ? image_hint : "")));
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
  const test::RunResult run = run_check({"--output=back.fls", "rec.hy"}, dir);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.err, "");
  // One run, but not of 8192-byte blocks: no address to give varnel.
  EXPECT_EQ(run.out,
            console_text("\"rec.hy\": valid\nrecords: 1\ndata bytes: 3\nrun 1: "
                         "123456 to 123458 (1 record)\n"
                         "image written to \"back.fls\"\n"));
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

    const std::string report =
        "\"rec.hy\": valid\nrecords: 3\ndata bytes: 24576\n" + c.runs;
    const test::RunResult verified = run_check({"rec.hy"}, dir);
    EXPECT_EQ(verified.exit_status, 0);
    EXPECT_EQ(verified.out, console_text(report));
    EXPECT_EQ(verified.err, "");

    const test::RunResult restored =
        run_check({"-o", "back.fls", "rec.hy"}, dir);
    EXPECT_EQ(restored.exit_status, c.status_with_image);
    if (c.status_with_image == 0) {
      EXPECT_EQ(restored.out,
                console_text(report + "image written to \"back.fls\"\n"));
      EXPECT_EQ(restored.err, "");
      EXPECT_EQ(
          test::read_file(dir / "back.fls"),
          test::concat({test::numbered_image(2), test::numbered_image(1)}));
    } else {
      EXPECT_EQ(restored.out, console_text(report));
      EXPECT_EQ(restored.err,
                console_text("varnel-check: \"rec.hy\": not restored: the "
                             "records form 2 runs, not one\n"
                             "(to write what the flash holds, use "
                             "--flash-image back.fls)\n"));
      expect_no_image(dir);
    }
  }
}

// Records that use addresses already used by records before them: a run
// longer than the 16 MiB of 24-bit addresses, and runs over the same
// addresses. A note after the runs, with no change to the status.
TEST(VarnelCheck, AddressesUsedTwice) {
  // A record of three bytes at 271FFF, written by hand: checksum FD, bytes 1
  // to 7 sum to 0x27 + 0x1F + 0xFF + 0xFD + 0x03 = 0x245, so ~0x45 = 0xBA.
  const Bytes straddling = {0x0B, 0x27, 0x1F, 0xFF, 0xFD, 0x00,
                            0x00, 0x03, 0xBA, 0x01, 0x01, 0x01};
  const std::string note = ": flashed, the later ones overwrite the earlier\n";
  const struct {
    std::string why;
    std::vector<std::pair<std::string, std::size_t>> parts;  // start, blocks
    Bytes tail;          // a record appended
    std::string report;  // after the "valid" line
  } cases[] = {
      // 2048 records of 0x2000 bytes fill the 0x1000000 addresses exactly.
      {"a run of exactly 16 MiB",
       {{"12345678", 2048}},
       {},
       "records: 2048\ndata bytes: 16777216\n"
       "run 1: 345678 to 345677 (2048 records)\n"
       "start address for varnel: 345678\n"},
      // Record 2049 starts at 0x345678 + 0x1000000: record 1's address.
      {"a run one record longer",
       {{"12345678", 2049}},
       {},
       "records: 2049\ndata bytes: 16785408\n"
       "run 1: 345678 to 347677 (2049 records)\n"
       "note: record 2049 uses the addresses of record 1 again" +
           note + "start address for varnel: 345678\n"},
      {"a run of 32 MiB",
       {{"12345678", 4096}},
       {},
       "records: 4096\ndata bytes: 33554432\n"
       "run 1: 345678 to 345677 (4096 records)\n"
       "note: records 2049 to 4096 use the addresses of records 1 to 2048 "
       "again" +
           note + "start address for varnel: 345678\n"},
      // 272000 to 275FFF are records 2 and 3 of the first run.
      {"a second run over the first",
       {{"270000", 3}, {"272000", 2}},
       {},
       "records: 5\ndata bytes: 40960\n"
       "run 1: 270000 to 275FFF (3 records)\n"
       "run 2: 272000 to 275FFF (2 records)\n"
       "note: records 4 to 5 use the addresses of records 2 to 3 again" +
           note},
      // 271FFF is the last byte of record 1; 272000 and 272001 the first
      // two of record 2.
      {"three bytes across two records",
       {{"270000", 2}},
       straddling,
       "records: 3\ndata bytes: 16387\n"
       "run 1: 270000 to 273FFF (2 records)\n"
       "run 2: 271FFF to 272001 (1 record)\n"
       "note: record 3 uses the addresses of records 1 to 2 again" +
           note},
      {"two runs side by side",
       {{"270000", 2}, {"280000", 2}},
       {},
       "records: 4\ndata bytes: 32768\n"
       "run 1: 270000 to 273FFF (2 records)\n"
       "run 2: 280000 to 283FFF (2 records)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    Bytes records;
    for (const auto& [start, count] : c.parts) {
      make_records(start, count, "part.hy", dir);
      records = test::concat({records, test::read_file(dir / "part.hy")});
    }
    test::write_file(dir / "rec.hy", test::concat({records, c.tail}));

    const test::RunResult run = run_check({"rec.hy"}, dir);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, console_text("\"rec.hy\": valid\n" + c.report));
  }
}

// A missing file, a directory: each named, with the system's reason.
TEST(VarnelCheck, CouldNotCheck) {
  const struct {
    std::string why;
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
    {"a missing record file",
     {"missing.hy"},
     "varnel-check: cannot open \"missing.hy\": No such file or directory\n"},
    {"a directory",
     {"sub"},
     "varnel-check: cannot open \"sub\": Is a directory\n"},
    {"the image is the record file",
     {"-o", "./rec.hy", "rec.hy"},
     "varnel-check: \"./rec.hy\" is the record file itself\n"},
    {"the image by a hard link to the record file",
     {"-o", "hard.hy", "rec.hy"},
     "varnel-check: \"hard.hy\" is the record file itself\n"},
    {"the image would replace a directory",
     {"-o", "sub", "rec.hy"},
     "varnel-check: \"sub\" is a directory\n"},
#if defined(_WIN32)
    {"the image would replace a device",
     {"-o", "NUL", "rec.hy"},
     "varnel-check: \"NUL\" is not a regular file\n"},
#else
    {"the image would replace a device",
     {"-o", "/dev/null", "rec.hy"},
     "varnel-check: \"/dev/null\" is not a regular file\n"},
    {"the image through a link to nothing",
     {"-o", "dangling.fls", "rec.hy"},
     "varnel-check: \"dangling.fls\" is a symbolic link to a file that is "
     "not there\n"},
#endif
    {"the image in a directory that does not exist",
     {"-o", "nodir/back.fls", "rec.hy"},
     "varnel-check: cannot create \"nodir/back.fls\": No such file or "
     "directory\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    make_records("0", 1, "rec.hy", dir);
    const Bytes records = test::read_file(dir / "rec.hy");
    fs::create_directory(dir / "sub");
    fs::create_hard_link(dir / "rec.hy", dir / "hard.hy");
#if !defined(_WIN32)
    fs::create_symlink("nothing.fls", dir / "dangling.fls");
#endif

    const test::RunResult run = run_check(c.args, dir);
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, console_text(c.err));
    EXPECT_EQ(test::read_file(dir / "rec.hy"), records);
    EXPECT_TRUE(fs::is_directory(dir / "sub"));
    EXPECT_FALSE(fs::exists(dir / "nothing.fls"));
  }
}

// Several record files, in order: every one gets its report or its line,
// whatever the others are; the status is the worst; no file changes. A raw
// image named where the old command line took it is checked like the rest.
TEST(VarnelCheck, SeveralFiles) {
  const std::string report =
      "\"%\": valid\nrecords: 1\ndata bytes: 8192\n"
      "run 1: 000000 to 001FFF (1 record)\nstart address for varnel: 000000\n";
  const auto report_of = [&report](const std::string& name) {
    std::string text = report;
    text.replace(text.find('%'), 1, name);
    return text;
  };
  const std::string damaged =
      "varnel-check: \"damaged.hy\": record 1 at byte 0: wrong data "
      "checksum\n";
  const std::string missing =
      "varnel-check: cannot open \"missing.hy\": No such file or directory\n";
  // The raw image's first byte, 0x00, is no record type.
  const std::string image =
      "varnel-check: \"image.fls\": record 1 at byte 0: wrong record type\n";
  const struct {
    std::string why;
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
  } cases[] = {
      {"all valid",
       {"first.hy", "second.hy"},
       0,
       report_of("first.hy") + "\n" + report_of("second.hy"),
       ""},
      {"one damaged",
       {"first.hy", "damaged.hy", "second.hy"},
       1,
       report_of("first.hy") + "\n" + report_of("second.hy"),
       damaged},
      {"one missing, one damaged",
       {"first.hy", "missing.hy", "damaged.hy", "second.hy"},
       2,
       report_of("first.hy") + "\n" + report_of("second.hy"),
       missing + damaged},
      {"the old way to restore: the image is checked too, and the line "
       "that says how to write it now follows",
       {"first.hy", "image.fls"},
       1,
       report_of("first.hy"),
       image + "(to write the image, use -o image.fls)\n"},
      {"the same file twice",
       {"first.hy", "first.hy"},
       0,
       report_of("first.hy") + "\n" + report_of("first.hy"),
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    make_records("0", 1, "first.hy", dir);
    make_records("0", 1, "second.hy", dir);
    Bytes bad = test::read_file(dir / "first.hy");
    bad.back() ^= 0x01;
    test::write_file(dir / "damaged.hy", bad);
    test::write_file(dir / "image.fls", test::numbered_image(1));
    fs::remove(dir / "in.fls");
    const std::map<std::string, Bytes> before = contents_of(dir);

    const test::RunResult run = run_check(c.args, dir);
    EXPECT_EQ(run.exit_status, c.status);
    EXPECT_EQ(run.out, console_text(c.out));
    EXPECT_EQ(run.err, console_text(c.err));
    EXPECT_EQ(contents_of(dir), before) << "a file changed or appeared";
  }
}

// The command line: options, names, "--" and the spellings of -o, and their
// mistakes, each with its status and what it prints. The record file, one
// block of zeros at 0, is named "-x.hy".
TEST(VarnelCheck, CommandLines) {
  const std::string report =
      "\"-x.hy\": valid\nrecords: 1\ndata bytes: 8192\n"
      "run 1: 000000 to 001FFF (1 record)\nstart address for varnel: 000000\n";
  const std::string restored = report + "image written to \"back.fls\"\n";
  const std::string listing =
      "record offset address length checksum\n1 0 000000 2000 00\n";
  const auto usage = [](const std::string& problem) {
    return "varnel-check: " + problem + "\n" + kUsageLines + kTryHelp;
  };
  const struct {
    std::string why;
    std::vector<std::string> args;
    int status;
    std::string out;  // for the help, how it starts
    std::string err;
    bool image = false;  // back.fls is written
  } cases[] = {
      {"--help", {"--help"}, 0, kUsageLines, ""},
      {"-h", {"-h"}, 0, kUsageLines, ""},
      {"the help, whatever follows",
       {"--help", "-o", "a", "b", "c"},
       0,
       kUsageLines,
       ""},
      {"--version", {"--version"}, 0, "varnel-check 0.9a\n", ""},
      {"-- before a dashed name", {"--", "-x.hy"}, 0, report, ""},
      {"-o NAME", {"-o", "back.fls", "--", "-x.hy"}, 0, restored, "", true},
      {"-oNAME", {"-oback.fls", "--", "-x.hy"}, 0, restored, "", true},
      {"--output NAME",
       {"--output", "back.fls", "--", "-x.hy"},
       0,
       restored,
       "",
       true},
      {"--output=NAME",
       {"--output=back.fls", "--", "-x.hy"},
       0,
       restored,
       "",
       true},
      {"--list and -o before dashed names",
       {"--list", "-o", "back.fls", "--", "-x.hy"},
       0,
       listing + restored,
       "",
       true},
      {"-o takes a name that starts with '-'",
       {"-o", "-back.fls", "--", "-x.hy"},
       0,
       report + "image written to \"-back.fls\"\n",
       ""},
      {"no arguments", {}, 2, "", usage("no record file named")},
      {"options and no name", {"--list"}, 2, "", usage("no record file named")},
      {"an unknown option",
       {"--bogus", "plain.hy"},
       2,
       "",
       usage("unknown option \"--bogus\"")},
      {"a dashed name without --",
       {"-x.hy"},
       2,
       "",
       usage("unknown option \"-x.hy\"")},
      {"an option after a name",
       {"plain.hy", "--list"},
       2,
       "",
       usage("\"--list\" after a file name: options come first, and a name "
             "that starts with '-' comes after \"--\"")},
      {"-o at the end",
       {"-o"},
       2,
       "",
       usage("\"-o\" needs the name of the image to write")},
      {"--output at the end",
       {"--output"},
       2,
       "",
       usage("\"--output\" needs the name of the image to write")},
      {"--output= with no name",
       {"--output=", "plain.hy"},
       2,
       "",
       usage("\"--output\" with an empty name: no file has it")},
      {"-o with an empty name",
       {"-o", "", "plain.hy"},
       2,
       "",
       usage("\"-o\" with an empty name: no file has it")},
      {"-o with two record files",
       {"-o", "back.fls", "a.hy", "b.hy"},
       2,
       "",
       usage("\"-o\" writes the image of one record file, not of 2")},
      {"-o with no record file",
       {"-o", "back.fls"},
       2,
       "",
       usage("no record file named")},
      {"-o twice",
       {"-o", "a.fls", "--output=b.fls", "plain.hy"},
       2,
       "",
       usage("\"--output\" given twice: one image at a time")},
      {"-o to standard output",
       {"-o", "-", "plain.hy"},
       2,
       "",
       usage("\"-o\" takes a file name: the report goes to standard "
             "output")},
      {"standard input twice",
       {"-", "-"},
       2,
       "",
       usage("\"-\" named twice: standard input is read once")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    make_records("0", 1, "-x.hy", dir);
    fs::remove(dir / "in.fls");
    const test::RunResult run = run_check(c.args, dir);
    EXPECT_EQ(run.exit_status, c.status);
    if (c.out == kUsageLines) {
      EXPECT_EQ(run.out.rfind(console_text(c.out), 0), 0U) << run.out;
      for (const char* option :
           {"--list", "-o, --output IMAGE", "--help", "--version", "\n  --  ",
            "Exit status: 0",
            // What valid means: no more than that the records are right.
            "a file cut between two records"}) {
        EXPECT_NE(run.out.find(option), std::string::npos) << option;
      }
    } else {
      EXPECT_EQ(run.out, console_text(c.out));
    }
    EXPECT_EQ(run.err, console_text(c.err));
    EXPECT_EQ(fs::exists(dir / "back.fls"), c.image);
    if (c.why == "-o takes a name that starts with '-'") {
      EXPECT_EQ(test::read_file(dir / "-back.fls"), test::block_filled(0));
    }
  }
}

// A report that cannot be written is no answer, and a restore that could not
// say so leaves no image.
TEST(VarnelCheck, AReportThatCannotBeWrittenIsNoAnswer) {
  VARNEL_SKIP_ON_WINDOWS("Windows has no /dev/full");
  if (!fs::is_character_file("/dev/full")) {
    GTEST_SKIP() << "/dev/full is not on this machine";
  }
  for (const bool restore : {false, true}) {
    SCOPED_TRACE(restore ? "with -o" : "a check");
    const test::ScratchDir dir;
    make_records("0", 1, "rec.hy", dir);
    std::vector<std::string> args = {"rec.hy"};
    if (restore) {
      args = {"-o", "back.fls", "rec.hy"};
    }
    const test::RunResult run = test::run_program(
        VARNEL_CHECK_BINARY, args, dir.path, test::stdout_to("/dev/full"));
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.err, "varnel-check: error writing the report\n");
    expect_no_image(dir);
  }
}

// An image that cannot be written in full (here a file-size limit, set as a
// shell sets it) is no image: nothing is left under its name or a temporary
// one, and the reason is given.
TEST(VarnelCheck, ImageThatCannotBeWrittenIsLeftOut) {
  VARNEL_SKIP_ON_WINDOWS("Windows has no file size limit to set");
  const test::ScratchDir dir;
  make_records("0", 3, "rec.hy", dir);
  // 20 blocks of 512 bytes: less than the image.
  std::vector<std::string> script = {"-c", "ulimit -f 20 && exec \"$@\"", "sh"};
  for (const std::string& word : test::binary_words(VARNEL_CHECK_BINARY)) {
    script.push_back(word);
  }
  script.insert(script.end(), {"-o", "back.fls", "rec.hy"});
  const test::RunResult run = test::run_program("/bin/sh", script, dir.path);
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "varnel-check: error writing \"back.fls\": File too large\n");
  expect_no_image(dir);
}

// A record file that this user may not read: the reason says so.
TEST(VarnelCheck, RecordFileThatMayNotBeRead) {
  VARNEL_SKIP_ON_WINDOWS("file modes are POSIX; Windows rights are ACLs");
#if !defined(_WIN32)
  const test::ScratchDir dir;
  make_records("0", 1, "rec.hy", dir);
  ASSERT_EQ(::chmod((dir / "rec.hy").c_str(), 0), 0);
  std::vector<std::string> words;
  std::string program = VARNEL_CHECK_BINARY;
  if (::geteuid() == 0) {
    // The superuser reads anything: the check runs as nobody.
    if (!fs::exists("/usr/bin/setpriv") && !fs::exists("/bin/setpriv")) {
      GTEST_SKIP() << "running as root, without setpriv to drop privileges";
    }
    VARNEL_SKIP_WITHOUT_PROGRAMS_IN(dir);
    words = {"--reuid=65534", "--regid=65534", "--clear-groups"};
    for (const std::string& word :
         test::binary_words(test::copy_for_anyone(VARNEL_CHECK_BINARY, dir))) {
      words.push_back(word);
    }
    program = "setpriv";
  }
  words.push_back("rec.hy");
  const test::RunResult run = test::run_program(program, words, dir.path);
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "varnel-check: cannot open \"rec.hy\": Permission denied\n");
#endif
}

// What comes through a pipe or a FIFO is read once, front to back: the report
// is the one for the same file by name, but for the name; -o works from it
// too.
TEST(VarnelCheck, PipesAndStandardInput) {
  VARNEL_SKIP_ON_WINDOWS("pipes staged for a child and FIFOs are POSIX only");
#if !defined(_WIN32)
  const test::ScratchDir dir;
  // Two runs, so that the runs are known only once the whole file is read.
  make_records("270000", 300, "part.hy", dir);
  const Bytes first = test::read_file(dir / "part.hy");
  make_records("280000", 2, "part.hy", dir);
  test::write_file(dir / "rec.hy",
                   test::concat({first, test::read_file(dir / "part.hy")}));
  fs::remove(dir / "part.hy");
  const Bytes records = test::read_file(dir / "rec.hy");
  const test::RunResult by_name = run_check({"rec.hy"}, dir);
  ASSERT_EQ(by_name.exit_status, 0);
  const auto renamed = [&by_name](const std::string& name) {
    std::string text = by_name.out;
    text.replace(0, std::string("\"rec.hy\"").size(), "\"" + name + "\"");
    return text;
  };

  for (const std::string name : {"-", "/dev/stdin"}) {
    SCOPED_TRACE(name);
    const test::RunResult run = test::run_program(
        VARNEL_CHECK_BINARY, {name}, dir.path, test::stdin_from_pipe(records));
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, renamed(name));
  }

  // A FIFO by name, fed from here.
  ASSERT_EQ(::mkfifo((dir / "fifo.hy").c_str(), 0600), 0);
  std::thread writer = test::running_thread([&] {
    const int fd = ::open((dir / "fifo.hy").c_str(), O_WRONLY);
    if (fd >= 0) {
      (void)!::write(fd, records.data(), records.size());
      ::close(fd);
    }
  });
  const test::RunResult from_fifo = run_check({"fifo.hy"}, dir);
  writer.join();
  EXPECT_EQ(from_fifo.exit_status, 0);
  EXPECT_EQ(from_fifo.out, renamed("fifo.hy"));

  // -o from standard input: one run of three blocks.
  const test::ScratchDir one;
  make_records("270000", 3, "rec.hy", one);
  const test::RunResult restored =
      test::run_program(VARNEL_CHECK_BINARY, {"-o", "back.fls", "-"}, one.path,
                        test::stdin_from_pipe(test::read_file(one / "rec.hy")));
  EXPECT_EQ(restored.exit_status, 0);
  EXPECT_EQ(restored.err, "");
  EXPECT_EQ(restored.out,
            "\"-\": valid\nrecords: 3\ndata bytes: 24576\n"
            "run 1: 270000 to 275FFF (3 records)\n"
            "start address for varnel: 270000\n"
            "image written to \"back.fls\"\n");
  EXPECT_EQ(test::read_file(one / "back.fls"), test::numbered_image(3));

  // An empty pipe is an empty record file, which holds no records.
  const test::RunResult empty = test::run_program(
      VARNEL_CHECK_BINARY, {"-"}, dir.path, test::stdin_from_pipe({}));
  EXPECT_EQ(empty.exit_status, 1);
  EXPECT_EQ(empty.out, "");
  EXPECT_EQ(empty.err, "varnel-check: \"-\": holds no records\n");
#endif
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
  const test::RunResult run = run_check({"--list", "rec.hy"}, dir);
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

  const test::RunResult run =
      run_check({"--list", "-o", "back.fls", "rec.hy"}, dir);
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
      lines(run_check({"--list", "rec.hy"}, a).out);
  const std::vector<std::string> from_b =
      lines(run_check({"--list", "rec.hy"}, b).out);
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
