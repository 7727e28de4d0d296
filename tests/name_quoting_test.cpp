// Both commands name files in every message with their control bytes
// escaped: a name can neither drive the terminal (clear it, retitle it) nor
// pass for another line of the report. varnel-check writes every name so
// that it reads back unchanged; varnel writes every other byte as given, so
// that its messages stay as scripts know them.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "console/quoting.h"
#include "tests/test_support.h"

namespace varnel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Bytes;
using test::run_check;

#if !defined(_WIN32)

// One record of three data bytes 01 at 123456: the data checksum is FD, and
// bytes 1 to 7 sum to 12 + 34 + 56 + FD + 03 = 19C, so the header checksum
// is 63.
const Bytes kRecord = {0x0B, 0x12, 0x34, 0x56, 0xFD, 0x00,
                       0x00, 0x03, 0x63, 0x01, 0x01, 0x01};
const std::string kReportAfterName =
    ": valid\nrecords: 1\ndata bytes: 3\n"
    "run 1: 123456 to 123458 (1 record)\n";

// The same record with its last data byte changed: the sum is off.
Bytes damaged_record() {
  Bytes damaged = kRecord;
  damaged.back() = 0x02;
  return damaged;
}

struct Name {
  std::string why;
  std::string name;
  std::string shown;  // in the messages, between the double quotes
};

// Names as a file system takes them, and as the messages must show them:
// each control byte as C writes it, the rest as it is.
const std::vector<Name>& names() {
  static const std::vector<Name> all = {
      {"a plain name", "plain.hy", "plain.hy"},
      {"letters of other scripts, in UTF-8",
       "pr\xC3\xBC"
       "fung-\xCE\xA9mega.hy",
       "pr\xC3\xBC"
       "fung-\xCE\xA9mega.hy"},
      {"sequences that clear the screen, retitle it and ring",
       "esc\x1B[2J\x1B]0;title\x07.hy", "esc\\033[2J\\033]0;title\\a.hy"},
      {"a line feed", "two\nlines.hy", "two\\nlines.hy"},
      {"a tab and a carriage return", "tab\tcr\r.hy", "tab\\tcr\\r.hy"},
      {"DEL", "del\x7F.hy", "del\\177.hy"},
      {"a backslash", "back\\slash.hy", "back\\\\slash.hy"},
      {"a double quote", "quote\".hy", "quote\\\".hy"},
      // U+009B, which some terminals take for ESC [.
      {"a C1 control in UTF-8",
       "c1-\xC2\x9B"
       "2J.hy",
       "c1-\\302\\2332J.hy"},
      // The first and the last of the C1 controls (U+009F, APC, makes a
      // terminal hide what follows), and the first character after them.
      {"U+0080", "c1-\xC2\x80.hy", "c1-\\302\\200.hy"},
      {"U+009F", "c1-\xC2\x9F.hy", "c1-\\302\\237.hy"},
      {"U+00A0, a no-break space, printed as it is", "nbsp-\xC2\xA0.hy",
       "nbsp-\xC2\xA0.hy"},
      {"a byte that is no UTF-8", "bad-\xFF.hy", "bad-\\377.hy"},
  };
  return all;
}

#endif

// Every message that names a file: the report, a wrong record, a file that
// cannot be opened, the image written, an image that cannot be, a name
// taken for an option.
TEST(VarnelCheck, NamesAreEscapedInEveryMessage) {
  VARNEL_SKIP_ON_WINDOWS(
      "Windows file names cannot hold control bytes, double quotes, or a "
      "backslash that is not a folder's");
#if !defined(_WIN32)
  for (const Name& n : names()) {
    SCOPED_TRACE(n.why);
    const std::string quoted = "\"" + n.shown + "\"";
    const test::ScratchDir dir;

    test::write_file(dir.path / n.name, kRecord);
    test::RunResult run = run_check({n.name}, dir);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out, quoted + kReportAfterName);
    EXPECT_EQ(run.err, "");

    test::write_file(dir.path / n.name, damaged_record());
    run = run_check({n.name}, dir);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "varnel-check: " + quoted +
                           ": record 1 at byte 0: wrong data checksum\n");

    fs::remove(dir.path / n.name);
    run = run_check({n.name}, dir);
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.err, "varnel-check: cannot open " + quoted +
                           ": No such file or directory\n");

    test::write_file(dir / "rec.hy", kRecord);
    run = run_check({"-o", n.name, "rec.hy"}, dir);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out, "\"rec.hy\"" + kReportAfterName + "image written to " +
                           quoted + "\n");
    EXPECT_EQ(test::read_file(dir.path / n.name), (Bytes{1, 1, 1}));

    fs::remove(dir.path / n.name);
    fs::create_directory(dir.path / n.name);
    run = run_check({"-o", n.name, "rec.hy"}, dir);
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.err, "varnel-check: " + quoted + " is a directory\n");

    run = run_check({"--" + n.name, "rec.hy"}, dir);
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.err.substr(0, run.err.find('\n') + 1),
              "varnel-check: unknown option \"--" + n.shown + "\"\n");
  }
#endif
}

// On a terminal, as a user sees it: a name that holds the lines of a report
// shows as one name, on one line, and a name full of terminal sequences
// reaches the terminal without a single escape or bell byte.
TEST(VarnelCheck, NamesReachTheTerminalEscaped) {
  VARNEL_SKIP_ON_WINDOWS("pseudo-terminals are POSIX only");
#if !defined(_WIN32)
  const struct {
    std::string why;
    std::string name;
    std::string screen;  // what the terminal gets, lines ended by CR LF
  } cases[] = {
      {"a name that looks like the end of a report and the start of another",
       "a.hy\": valid\nrecords: 0\ndata bytes: 0\n\"firmware.hy",
       "\"a.hy\\\": valid\\nrecords: 0\\ndata bytes: 0\\n\\\"firmware.hy\": "
       "valid\r\nrecords: 1\r\ndata bytes: 3\r\n"
       "run 1: 123456 to 123458 (1 record)\r\n"},
      {"a name that clears the screen and sets the window's title",
       "\x1B[2J\x1B]0;owned\x07.hy",
       "\"\\033[2J\\033]0;owned\\a.hy\": valid\r\nrecords: 1\r\n"
       "data bytes: 3\r\nrun 1: 123456 to 123458 (1 record)\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    test::write_file(dir.path / c.name, kRecord);
    const test::RunResult run = test::wait_for(
        *test::start_on_terminal(VARNEL_CHECK_BINARY, {c.name}, dir.path), 60s);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out, c.screen);
    EXPECT_EQ(run.out.find_first_of("\x1B\x07"), std::string::npos);
  }
#endif
}

// On Windows a backslash is the separator of folders, and is doubled there too:
// "sub\\rec.hy" cannot be read as "sub", a carriage return and "ec.hy".
TEST(VarnelCheck, BackslashesBetweenFoldersAreDoubledOnWindows) {
#if !defined(_WIN32)
  GTEST_SKIP() << "a backslash is no separator here: the table above has it";
#else
  const test::ScratchDir dir;
  fs::create_directory(dir / "sub");
  // One record of three data bytes 01 at 123456 (checksums FD and 63).
  test::write_file(
      dir / "sub" / "rec.hy",
      {0x0B, 0x12, 0x34, 0x56, 0xFD, 0x00, 0x00, 0x03, 0x63, 0x01, 0x01, 0x01});
  const test::RunResult run =
      test::run_program(VARNEL_CHECK_BINARY, {"sub\\rec.hy"}, dir.path);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.out,
            test::console_text("\"sub\\\\rec.hy\": valid\nrecords: 1\n"
                               "data bytes: 3\n"
                               "run 1: 123456 to 123458 (1 record)\n"));
  EXPECT_EQ(run.err, "");
#endif
}

// The two ways a name is written, byte by byte, at the edges of each range:
// varnel-check's, which escapes whatever a terminal would act on or could
// not show, the backslash and the double quote too, and varnel's, which
// escapes only the control bytes.
TEST(Quoting, EscapesByteByByte) {
  const struct {
    std::string why;
    std::string text;
    std::string check;   // escaped(), varnel-check's
    std::string varnel;  // controls_escaped(), varnel's
  } cases[] = {
      {"nothing", "", "", ""},
      {"a plain name", "dump 1.hy", "dump 1.hy", "dump 1.hy"},
      {"NUL", std::string("a\0b", 3), "a\\000b", "a\\000b"},
      {"the letters of C", "\a\b\t\n\v\f\r", "\\a\\b\\t\\n\\v\\f\\r",
       "\\a\\b\\t\\n\\v\\f\\r"},
      {"ESC, and 0x01, in octal", "\x1B[0m\x01", "\\033[0m\\001",
       "\\033[0m\\001"},
      {"0x1F, the last control, and the blank after it", "\x1F ", "\\037 ",
       "\\037 "},
      {"~ and DEL", "~\x7F", "~\\177", "~\\177"},
      {"a backslash and a double quote", "a\\\"b", "a\\\\\\\"b", "a\\\"b"},
      {"a letter in two bytes, one in three, one in four",
       "\xC3\xBC\xE5\x9B\xBE\xF0\x9F\x92\xBE",
       "\xC3\xBC\xE5\x9B\xBE\xF0\x9F\x92\xBE",
       "\xC3\xBC\xE5\x9B\xBE\xF0\x9F\x92\xBE"},
      {"U+0080, the first C1 control", "\xC2\x80", "\\302\\200", "\xC2\x80"},
      {"U+009F, the last C1 control", "\xC2\x9F", "\\302\\237", "\xC2\x9F"},
      {"U+00A0, the first character after them", "\xC2\xA0", "\xC2\xA0",
       "\xC2\xA0"},
      {"bytes that are no UTF-8", "\x80\xFF\xC3", "\\200\\377\\303",
       "\x80\xFF\xC3"},
      {"an overlong slash", "\xC0\xAF", "\\300\\257", "\xC0\xAF"},
      {"a surrogate", "\xED\xA0\x80", "\\355\\240\\200", "\xED\xA0\x80"},
      {"U+10FFFF, the last code point, and one past it",
       "\xF4\x8F\xBF\xBF\xF4\x90\x80\x80",
       "\xF4\x8F\xBF\xBF\\364\\220\\200\\200",
       "\xF4\x8F\xBF\xBF\xF4\x90\x80\x80"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(escaped(c.text), c.check);
    EXPECT_EQ(varnel::quoted(c.text), "\"" + c.check + "\"");
    EXPECT_EQ(controls_escaped(c.text), c.varnel);
  }
}

// varnel's messages name a file as given, but for its control bytes: a name
// cannot forge a line, such as a success after a failure, nor drive the
// terminal; every other name is printed exactly as before, byte for byte.
TEST(VarnelCli, NamesCannotForgeAMessage) {
  VARNEL_SKIP_ON_WINDOWS(
      "Windows file names cannot hold control bytes, double quotes, or a "
      "backslash that is not a folder's");
#if !defined(_WIN32)
  const struct {
    std::string why;
    std::string name;
    std::string shown;  // in the messages, between the double quotes
  } cases[] = {
      {"a success forged after a failure",
       "x.hy\".\n\nOutput written to \"x.hy",
       "x.hy\".\\n\\nOutput written to \"x.hy"},
      {"a colour and a screen cleared", "\x1B[31mred\x1B[2J.hy",
       "\\033[31mred\\033[2J.hy"},
      {"DEL", "del\x7F.hy", "del\\177.hy"},
      {"a tab", "tab\t.hy", "tab\\t.hy"},
      {"a carriage return", "cr\r.hy", "cr\\r.hy"},
      {"blanks", "my dump 1.hy", "my dump 1.hy"},
      {"backslashes, as given", "back\\slash\\n.hy", "back\\slash\\n.hy"},
      {"letters of other scripts",
       "pr\xC3\xBC"
       "fung-\xE5\x9B\xBE.hy",
       "pr\xC3\xBC"
       "fung-\xE5\x9B\xBE.hy"},
      {"bytes that are no UTF-8, as given", "bad-\xFF\xC3.hy",
       "bad-\xFF\xC3.hy"},
      {"a C1 control, as given", "c1-\xC2\x9B.hy", "c1-\xC2\x9B.hy"},
      {"a per cent sign", "100%s.hy", "100%s.hy"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    const std::string quoted = "\"" + c.shown + "\"";
    test::write_file(dir / "in.fls", Bytes(8192, 0x00));

    // A folder that does not exist before the name: nothing can be made.
    test::RunResult run =
        test::run_binary({"0", "in.fls", "nodir/" + c.name}, dir.path);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out,
              test::banner_then("Cannot create destination file \"nodir/" +
                                c.shown + "\".\n\n"));
    EXPECT_EQ(run.err, "");

    run = test::run_binary({"0", c.name, "out.hy"}, dir.path);
    EXPECT_EQ(run.out,
              test::banner_then("Cannot open source file " + quoted + ".\n\n"));

    run = test::run_binary({"0", "in.fls", c.name}, dir.path);
    EXPECT_EQ(run.out,
              test::banner_then("Output written to " + quoted + ".\n\n"));
    EXPECT_EQ(test::read_file(dir.path / c.name).size(), 8201U);

    run = test::run_binary({"0", c.name, c.name}, dir.path);
    EXPECT_EQ(run.out,
              test::banner_then("Cannot create destination file " + quoted +
                                ": it is the source file.\n\n"));
  }
#endif
}

}  // namespace
}  // namespace varnel
