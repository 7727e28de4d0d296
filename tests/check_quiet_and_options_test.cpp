// varnel-check -q: no report, only the error lines and the status, for
// scripts. And the command lines of -q, --all-faults, -c, --flash-image and
// --fill: their spellings and their mistakes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/numbered_image.h"
#include "tests/test_support.h"

namespace varnel {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::console_text;
using test::run_check;

// good.hy: two records at 270000; bad.hy: the same with the last data byte
// of the second changed; img.fls: their image; other.fls: another.
void make_files(const test::ScratchDir& dir) {
  test::make_records("270000", 2, "good.hy", dir);
  fs::rename(dir / "in.fls", dir / "img.fls");
  Bytes bad = test::read_file(dir / "good.hy");
  bad.back() ^= 0x01;
  test::write_file(dir / "bad.hy", bad);
  test::write_file(dir / "other.fls", test::numbered_image(3));
}

TEST(CheckQuiet, OnlyTheErrorLinesAndTheStatus) {
  const std::string wrong =
      "varnel-check: \"bad.hy\": record 2 at byte 8201: wrong data checksum\n";
  const struct {
    std::string why;
    std::vector<std::string> args;
    int status;
    std::string err;
    bool image = false;  // back.fls is written
  } cases[] = {
      {"a valid file", {"-q", "good.hy"}, 0, ""},
      {"a wrong one", {"--quiet", "good.hy", "bad.hy"}, 1, wrong},
      {"a missing one",
       {"-q", "nothere.hy"},
       2,
       "varnel-check: cannot open \"nothere.hy\": No such file or "
       "directory\n"},
      {"every wrong record",
       {"-q", "--all-faults", "bad.hy"},
       1,
       wrong + "varnel-check: \"bad.hy\": wrong records: 1 of 2\n"},
      {"an image restored", {"-q", "-o", "back.fls", "good.hy"}, 0, "", true},
      {"a flash image",
       {"-q", "--flash-image", "back.fls", "good.hy"},
       0,
       "",
       true},
      {"an image compared, equal", {"-q", "-c", "img.fls", "good.hy"}, 0, ""},
      {"an image compared, longer",
       {"-q", "-c", "other.fls", "good.hy"},
       1,
       "varnel-check: \"other.fls\" is 8192 bytes longer\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    make_files(dir);
    const test::RunResult run = run_check(c.args, dir);
    EXPECT_EQ(run.exit_status, c.status);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, console_text(c.err));
    EXPECT_EQ(fs::exists(dir / "back.fls"), c.image);
    if (c.image) {
      EXPECT_EQ(test::read_file(dir / "back.fls"), test::numbered_image(2));
    }
  }
}

// Each mistake says what is wrong, then the usage; status 2, nothing
// written, nothing read.
TEST(CheckQuiet, CommandLineMistakes) {
  const struct {
    std::string why;
    std::vector<std::string> args;
    std::string problem;
  } cases[] = {
      {"-q with --list",
       {"-q", "--list", "good.hy"},
       "\"-q\" with \"--list\": a quiet run prints no listing"},
      {"--quiet with --list",
       {"--list", "--quiet", "good.hy"},
       "\"--quiet\" with \"--list\": a quiet run prints no listing"},
      {"-c at the end",
       {"-c"},
       "\"-c\" needs the name of the image to compare with"},
      {"--compare at the end",
       {"--compare"},
       "\"--compare\" needs the name of the image to compare with"},
      {"--compare= with no name",
       {"--compare=", "good.hy"},
       "\"--compare\" with an empty name: no file has it"},
      {"-c twice",
       {"-c", "img.fls", "-cother.fls", "good.hy"},
       "\"-c\" given twice: one image at a time"},
      {"-c with two record files",
       {"-c", "img.fls", "good.hy", "bad.hy"},
       "\"-c\" compares the data of one record file, not of 2"},
      {"-c and the record file both standard input",
       {"-c", "-", "-"},
       "\"-\" named twice: standard input is read once"},
      {"--flash-image at the end",
       {"--flash-image"},
       "\"--flash-image\" needs the name of the image to write"},
      {"--flash-image= with no name",
       {"--flash-image=", "good.hy"},
       "\"--flash-image\" with an empty name: no file has it"},
      {"--flash-image to standard output",
       {"--flash-image", "-", "good.hy"},
       "\"--flash-image\" takes a file name: the report goes to standard "
       "output"},
      {"--flash-image with two record files",
       {"--flash-image", "f.fls", "good.hy", "bad.hy"},
       "\"--flash-image\" writes the image of one record file, not of 2"},
      {"--flash-image twice",
       {"--flash-image", "f.fls", "--flash-image=g.fls", "good.hy"},
       "\"--flash-image\" given twice: one image at a time"},
      {"--fill at the end",
       {"--flash-image", "f.fls", "--fill"},
       "\"--fill\" needs a byte: two hexadecimal digits, such as FF"},
      {"--fill of one digit",
       {"--flash-image", "f.fls", "--fill", "0", "good.hy"},
       "\"--fill\" takes two hexadecimal digits, such as FF, not \"0\""},
      {"--fill of three digits",
       {"--flash-image", "f.fls", "--fill=100", "good.hy"},
       "\"--fill\" takes two hexadecimal digits, such as FF, not \"100\""},
      {"--fill that is no number",
       {"--flash-image", "f.fls", "--fill", "0x", "good.hy"},
       "\"--fill\" takes two hexadecimal digits, such as FF, not \"0x\""},
      {"--fill twice",
       {"--flash-image", "f.fls", "--fill", "00", "--fill=11", "good.hy"},
       "\"--fill\" given twice: one byte at a time"},
      {"--fill without --flash-image",
       {"--fill", "00", "good.hy"},
       "\"--fill\" goes with \"--flash-image\": it fills the gaps of that "
       "image"},
      {"-o with -c",
       {"-o", "f.fls", "-c", "img.fls", "good.hy"},
       "\"-c\" with \"-o\": one of -o, -c and --flash-image at a time"},
      {"--flash-image with --output",
       {"--flash-image", "f.fls", "--output=g.fls", "good.hy"},
       "\"--flash-image\" with \"--output\": one of -o, -c and --flash-image "
       "at a time"},
      {"--compare with --flash-image",
       {"--compare", "img.fls", "--flash-image", "f.fls", "good.hy"},
       "\"--flash-image\" with \"--compare\": one of -o, -c and "
       "--flash-image at a time"},
      {"--all-faults=yes",
       {"--all-faults=yes", "good.hy"},
       "unknown option \"--all-faults=yes\""},
      {"-q stuck to another", {"-qo", "good.hy"}, "unknown option \"-qo\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    make_files(dir);
    const test::RunResult run = run_check(c.args, dir);
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.out, "");
    const std::string start = "varnel-check: " + c.problem + "\nusage: ";
    EXPECT_EQ(run.err.rfind(console_text(start), 0), 0U) << run.err;
    EXPECT_NE(run.err.find("Try \"varnel-check --help\" for more."),
              std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "f.fls"));
    EXPECT_FALSE(fs::exists(dir / "g.fls"));
  }
}

// The help names every option.
TEST(CheckQuiet, TheHelpNamesTheOptions) {
  const test::ScratchDir dir;
  const test::RunResult run = run_check({"--help"}, dir);
  EXPECT_EQ(run.exit_status, 0);
  for (const char* option :
       {"-q, --quiet", "--all-faults", "-c, --compare IMAGE",
        "--flash-image OUT", "--fill XX", "-o, --output IMAGE", "--list"}) {
    EXPECT_NE(run.out.find(option), std::string::npos) << option;
  }
}

}  // namespace
}  // namespace varnel
