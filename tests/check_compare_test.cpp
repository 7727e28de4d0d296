// varnel-check -c IMAGE: is this record file exactly my dump? The data of
// its records, in file order, against the bytes of an image: equal, the
// first difference by record, offset and address, or how much longer or
// shorter the image is; the report as for a check, nothing written.
#include <gtest/gtest.h>

#include <map>
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
using test::contents_of;
using test::run_check;

Bytes changed(Bytes bytes, std::size_t at) {
  bytes.at(at) ^= 0x40;
  return bytes;
}

Bytes first_bytes(const Bytes& bytes, std::size_t size) {
  return {bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size)};
}

// The report on five blocks of a numbered image converted at 270000.
const std::string kReport =
    "\"rec.hy\": valid\nrecords: 5\ndata bytes: 40960\n"
    "run 1: 270000 to 279FFF (5 records)\nstart address for varnel: 270000\n";

// Block k of the image is record k + 1, at 270000 + k * 0x2000: a byte at
// offset x of the image is at address 270000 + x.
TEST(CheckCompare, EqualOrTheFirstDifference) {
  const Bytes image = test::numbered_image(5);
  const std::string at = "varnel-check: record ";
  const struct {
    std::string why;
    Bytes compared;
    std::string err;  // empty: equal
  } cases[] = {
      {"the very image", image, ""},
      {"the first byte of the first block", changed(image, 0),
       at + "1 differs from \"img.fls\" at offset 0x0 (address 270000)\n"},
      {"a byte of a middle block", changed(image, 0x4123),
       at + "3 differs from \"img.fls\" at offset 0x4123 (address 274123)\n"},
      {"the last byte of the last block", changed(image, 5 * 8192 - 1),
       at + "5 differs from \"img.fls\" at offset 0x9FFF (address 279FFF)\n"},
      {"longer by a block", test::concat({image, test::block_filled(0xFF)}),
       "varnel-check: \"img.fls\" is 8192 bytes longer\n"},
      {"longer by one byte", test::concat({image, {0x00}}),
       "varnel-check: \"img.fls\" is 1 byte longer\n"},
      {"shorter by a block", first_bytes(image, 4 * 8192),
       "varnel-check: \"img.fls\" is 8192 bytes shorter\n"},
      {"shorter by one byte", first_bytes(image, 5 * 8192 - 1),
       "varnel-check: \"img.fls\" is 1 byte shorter\n"},
      {"empty", {}, "varnel-check: \"img.fls\" is 40960 bytes shorter\n"},
      // A byte that differs comes before a length that does.
      {"shorter, and different before its end",
       changed(first_bytes(image, 4 * 8192), 0x2001),
       at + "2 differs from \"img.fls\" at offset 0x2001 (address 272001)\n"},
      {"longer, and different before the end of the data",
       changed(test::concat({image, test::block_filled(0)}), 0x9000),
       at + "5 differs from \"img.fls\" at offset 0x9000 (address 279000)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    test::make_records("270000", 5, "rec.hy", dir);
    fs::remove(dir / "in.fls");
    test::write_file(dir / "img.fls", c.compared);
    const auto before = contents_of(dir);

    const test::RunResult run = run_check({"-c", "img.fls", "rec.hy"}, dir);
    EXPECT_EQ(run.exit_status, c.err.empty() ? 0 : 1);
    EXPECT_EQ(
        run.out,
        console_text(c.err.empty() ? kReport + "holds \"img.fls\" exactly\n"
                                   : kReport));
    EXPECT_EQ(run.err, console_text(c.err));
    EXPECT_EQ(contents_of(dir), before) << "a file changed or appeared";
  }
}

// 128 blocks: data of 1 MiB, a whole number of the windows in which the
// image is read, against images longer by a byte and by nearly 3 MB: the
// bytes after the data are counted from the window that the data ended.
TEST(CheckCompare, LongerThanAWholeNumberOfWindows) {
  const test::ScratchDir dir;
  test::make_records("270000", 128, "rec.hy", dir);
  const Bytes image = test::numbered_image(128);
  ASSERT_EQ(image.size(), std::size_t{1} << 20);
  const std::string report =
      "\"rec.hy\": valid\nrecords: 128\ndata bytes: 1048576\n"
      "run 1: 270000 to 36FFFF (128 records)\n"
      "start address for varnel: 270000\n";
  const struct {
    std::size_t more;
    std::string err;
  } cases[] = {
      {1, "varnel-check: \"img.fls\" is 1 byte longer\n"},
      {3000000, "varnel-check: \"img.fls\" is 3000000 bytes longer\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.more) + " bytes more");
    test::write_file(dir / "img.fls",
                     test::concat({image, Bytes(c.more, 0x5A)}));
    const test::RunResult run = run_check({"-c", "img.fls", "rec.hy"}, dir);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, console_text(report));
    EXPECT_EQ(run.err, console_text(c.err));
  }
}

// Every spelling of the option; -c takes a name that starts with '-'.
TEST(CheckCompare, Spellings) {
  const std::vector<std::vector<std::string>> lines = {
      {"-c", "-img.fls", "rec.hy"},
      {"-c-img.fls", "rec.hy"},
      {"--compare", "-img.fls", "rec.hy"},
      {"--compare=-img.fls", "--", "rec.hy"},
  };
  const test::ScratchDir dir;
  test::make_records("270000", 5, "rec.hy", dir);
  test::write_file(dir / "-img.fls", test::numbered_image(5));
  for (const auto& args : lines) {
    SCOPED_TRACE(args.front());
    const test::RunResult run = run_check(args, dir);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out, console_text(kReport + "holds \"-img.fls\" exactly\n"));
    EXPECT_EQ(run.err, "");
  }
}

// Two records from varnel at FFF000, the first across FFFFFF to 000FFF,
// and a record of three bytes of 01 at 123456 written by hand (checksum FD;
// bytes 1 to 7 sum to 0x19C, so the header checksum is 0x63).
TEST(CheckCompare, AddressesThatWrapAndRecordsOfOtherLengths) {
  const Bytes tail = {0x0B, 0x12, 0x34, 0x56, 0xFD, 0x00,
                      0x00, 0x03, 0x63, 0x01, 0x01, 0x01};
  const Bytes image = test::concat({test::numbered_image(2), {1, 1, 1}});
  const struct {
    std::string why;
    Bytes compared;
    std::string err;
  } cases[] = {
      {"equal", image, ""},
      {"in the first record, past the wrap", changed(image, 0x1010),
       "varnel-check: record 1 differs from \"img.fls\" at offset 0x1010 "
       "(address 000010)\n"},
      {"in the second record", changed(image, 0x2010),
       "varnel-check: record 2 differs from \"img.fls\" at offset 0x2010 "
       "(address 001010)\n"},
      {"in the short record", changed(image, 0x4001),
       "varnel-check: record 3 differs from \"img.fls\" at offset 0x4001 "
       "(address 123457)\n"},
      {"one byte short of the short record", first_bytes(image, 0x4002),
       "varnel-check: \"img.fls\" is 1 byte shorter\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    test::make_records("fff000", 2, "part.hy", dir);
    test::write_file(dir / "rec.hy",
                     test::concat({test::read_file(dir / "part.hy"), tail}));
    test::write_file(dir / "img.fls", c.compared);
    const test::RunResult run = run_check({"--compare=img.fls", "rec.hy"}, dir);
    EXPECT_EQ(run.exit_status, c.err.empty() ? 0 : 1);
    EXPECT_EQ(run.err, console_text(c.err));
    const std::string report =
        "\"rec.hy\": valid\nrecords: 3\ndata bytes: 16387\n"
        "run 1: FFF000 to 002FFF (2 records)\n"
        "run 2: 123456 to 123458 (1 record)\n";
    EXPECT_EQ(run.out, console_text(c.err.empty()
                                        ? report + "holds \"img.fls\" exactly\n"
                                        : report));
  }
}

// A wrong record is reported as without -c, and the comparison is not: the
// data of a damaged file says nothing about the image.
TEST(CheckCompare, AWrongRecordIsReportedInstead) {
  const test::ScratchDir dir;
  test::make_records("270000", 5, "rec.hy", dir);
  Bytes records = test::read_file(dir / "rec.hy");
  records.at(2 * 8201 + 9 + 5) ^= 0x01;  // a data byte of record 3
  test::write_file(dir / "rec.hy", records);
  test::write_file(dir / "img.fls", test::numbered_image(5));
  for (const bool all_faults : {false, true}) {
    SCOPED_TRACE(all_faults ? "--all-faults" : "the first fault");
    std::vector<std::string> args = {"-c", "img.fls", "rec.hy"};
    if (all_faults) {
      args.insert(args.begin(), "--all-faults");
    }
    const test::RunResult run = run_check(args, dir);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(
        run.err,
        console_text("varnel-check: \"rec.hy\": record 3 at byte 16402: wrong "
                     "data checksum\n" +
                     std::string(all_faults ? "varnel-check: \"rec.hy\": wrong "
                                              "records: 1 of 5\n"
                                            : "")));
  }
}

// A record file with no records holds nothing to compare, even with an
// image that is empty too.
TEST(CheckCompare, AnEmptyPair) {
  const test::ScratchDir dir;
  test::write_file(dir / "rec.hy", {});
  test::write_file(dir / "img.fls", {});
  const test::RunResult run = run_check({"-c", "img.fls", "rec.hy"}, dir);
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            console_text("varnel-check: \"rec.hy\": holds no records\n"));
}

// An image or a record file that cannot be read: named with the system's
// reason, status 2, and no verdict on the other.
TEST(CheckCompare, CouldNotCompare) {
  struct Case {
    std::string why;
    std::vector<std::string> args;
    std::string err;
  };
  std::vector<Case> cases = {
      {"a missing image",
       {"-c", "nothere.fls", "rec.hy"},
       "varnel-check: cannot open \"nothere.fls\": No such file or "
       "directory\n"},
      {"a directory as the image",
       {"-c", "sub", "rec.hy"},
       "varnel-check: cannot open \"sub\": Is a directory\n"},
      {"a missing record file",
       {"-c", "img.fls", "nothere.hy"},
       "varnel-check: cannot open \"nothere.hy\": No such file or "
       "directory\n"},
  };
#if defined(__linux__)
  // Opened, but its first read fails: the program's own memory at address
  // 0, which no process maps.
  cases.push_back(
      {"an image whose reads fail",
       {"-c", "/proc/self/mem", "rec.hy"},
       "varnel-check: error reading \"/proc/self/mem\": Input/output error\n"});
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    test::make_records("270000", 2, "rec.hy", dir);
    test::write_file(dir / "img.fls", test::numbered_image(2));
    fs::create_directory(dir / "sub");
    const test::RunResult run = run_check(c.args, dir);
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, console_text(c.err));
  }
}

// An image that this user may not read.
TEST(CheckCompare, ImageThatMayNotBeRead) {
  VARNEL_SKIP_ON_WINDOWS("file modes are POSIX; Windows rights are ACLs");
#if !defined(_WIN32)
  const test::ScratchDir dir;
  test::make_records("270000", 2, "rec.hy", dir);
  test::write_file(dir / "img.fls", test::numbered_image(2));
  ASSERT_EQ(::chmod((dir / "img.fls").c_str(), 0), 0);
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
  words.insert(words.end(), {"-c", "img.fls", "rec.hy"});
  const test::RunResult run = test::run_program(program, words, dir.path);
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "varnel-check: cannot open \"img.fls\": Permission denied\n");
#endif
}

// Either of the two may come through standard input, read once, side by side
// with the other.
TEST(CheckCompare, StandardInput) {
  VARNEL_SKIP_ON_WINDOWS("pipes staged for a child are POSIX only");
#if !defined(_WIN32)
  const test::ScratchDir dir;
  // More than a window of the image: 300 blocks.
  test::make_records("0", 300, "rec.hy", dir);
  const Bytes image = test::numbered_image(300);
  const Bytes records = test::read_file(dir / "rec.hy");
  const std::string report =
      "valid\nrecords: 300\ndata bytes: 2457600\n"
      "run 1: 000000 to 257FFF (300 records)\n"
      "start address for varnel: 000000\n";
  const struct {
    std::string why;
    std::vector<std::string> args;
    Bytes piped;
    Bytes in_file;  // as img.fls
    int status;
    std::string out;
    std::string err;
  } cases[] = {
      {"the image",
       {"-c", "-", "rec.hy"},
       image,
       {},
       0,
       "\"rec.hy\": " + report + "holds \"-\" exactly\n",
       ""},
      {"the image, different in its last block",
       {"-c", "-", "rec.hy"},
       changed(image, 299 * 8192 + 7),
       {},
       1,
       "\"rec.hy\": " + report,
       "varnel-check: record 300 differs from \"-\" at offset 0x256007 "
       "(address 256007)\n"},
      {"the record file",
       {"-c", "img.fls", "-"},
       records,
       test::concat({image, {0x00, 0x00}}),
       1,
       "\"-\": " + report,
       "varnel-check: \"img.fls\" is 2 bytes longer\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    test::write_file(dir / "img.fls", c.in_file);
    const test::RunResult run = test::run_program(
        VARNEL_CHECK_BINARY, c.args, dir.path, test::stdin_from_pipe(c.piped));
    EXPECT_EQ(run.exit_status, c.status);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
  }
#endif
}

}  // namespace
}  // namespace varnel
