// varnel-check --flash-image OUT: what the flash holds once every record of
// the file is written at its address, in file order: a later record over an
// earlier one, from the lowest address used to the highest, the gaps filled
// with FF or the byte of --fill. Published whole or not at all, as -o's
// image is.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/numbered_image.h"
#include "tests/test_support.h"

namespace varnel {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::console_text;
using test::run_check;

Bytes repeated(std::size_t size, std::uint8_t value) {
  return Bytes(size, value);
}

// Three bytes of 01 at 123456, by hand: checksum FD; bytes 1 to 7 sum to
// 0x12 + 0x34 + 0x56 + 0xFD + 0x03 = 0x19C, header checksum 0x63.
const Bytes kOnesAt123456 = {0x0B, 0x12, 0x34, 0x56, 0xFD, 0x00,
                             0x00, 0x03, 0x63, 0x01, 0x01, 0x01};
// Three bytes of 02 at 12345A: checksum FA; 0x12 + 0x34 + 0x5A + 0xFA + 0x03
// = 0x19D, header checksum 0x62.
const Bytes kTwosAt12345A = {0x0B, 0x12, 0x34, 0x5A, 0xFA, 0x00,
                             0x00, 0x03, 0x62, 0x02, 0x02, 0x02};
// Three bytes of 01 at 271FFF: checksum FD; 0x27 + 0x1F + 0xFF + 0xFD + 0x03
// = 0x245, header checksum 0xBA.
const Bytes kOnesAt271FFF = {0x0B, 0x27, 0x1F, 0xFF, 0xFD, 0x00,
                             0x00, 0x03, 0xBA, 0x01, 0x01, 0x01};

// One part of a record file: an image converted by varnel at `start`, or
// records written by hand when `start` is empty.
struct Part {
  std::string start;
  Bytes bytes;
};

// The parts converted and joined, as rec.hy in `dir`.
void write_records(const std::vector<Part>& parts,
                   const test::ScratchDir& dir) {
  Bytes records;
  for (const Part& part : parts) {
    if (part.start.empty()) {
      records = test::concat({records, part.bytes});
      continue;
    }
    test::write_file(dir / "in.fls", part.bytes);
    test::convert(part.start, "in.fls", "part.hy", dir);
    records = test::concat({records, test::read_file(dir / "part.hy")});
  }
  fs::remove(dir / "in.fls");
  fs::remove(dir / "part.hy");
  test::write_file(dir / "rec.hy", records);
}

// Block k of test::numbered_image(n), for any n > k.
Bytes numbered_block(std::size_t k) {
  Bytes block(8192, 0);
  block.front() = static_cast<std::uint8_t>(k);
  block.back() = static_cast<std::uint8_t>(k >> 8);
  return block;
}

TEST(CheckFlashImage, WhatTheFlashHolds) {
  const Bytes two = test::numbered_image(2);
  const Bytes gap_then_one = test::numbered_image(1);
  const struct {
    std::string why;
    std::vector<Part> parts;
    std::vector<std::string> options;  // before --flash-image
    Bytes flash;
    std::string line;  // the report's last, within the parentheses
  } cases[] = {
      {"one run",
       {{"270000", test::numbered_image(3)}},
       {},
       test::numbered_image(3),
       "from 270000 to 275FFF, 1 run, 0 bytes filled"},
      {"two runs with a gap of two blocks",
       {{"270000", two}, {"278000", gap_then_one}},
       {},
       test::concat({two, repeated(0x4000, 0xFF), gap_then_one}),
       "from 270000 to 279FFF, 2 runs, 16384 bytes filled"},
      {"--fill 00",
       {{"270000", two}, {"278000", gap_then_one}},
       {"--fill", "00"},
       test::concat({two, repeated(0x4000, 0x00), gap_then_one}),
       "from 270000 to 279FFF, 2 runs, 16384 bytes filled"},
      {"--fill=a5",
       {{"270000", two}, {"278000", gap_then_one}},
       {"--fill=a5"},
       test::concat({two, repeated(0x4000, 0xA5), gap_then_one}),
       "from 270000 to 279FFF, 2 runs, 16384 bytes filled"},
      // Two blocks at 000010, to 00400F, and at 004040: the gap, 004010 to
      // 00403F, starts inside a 64-address word of what is written and ends
      // with it.
      {"a gap from inside a word to its end, --fill FF",
       {{"10", two}, {"4040", two}},
       {"--fill", "FF"},
       test::concat({two, repeated(0x30, 0xFF), two}),
       "from 000010 to 00803F, 2 runs, 48 bytes filled"},
      {"a later run over an earlier one",
       {{"270000", test::numbered_image(3)},
        {"272000", test::block_filled(0x5A)}},
       {},
       test::concat(
           {numbered_block(0), test::block_filled(0x5A), numbered_block(2)}),
       "from 270000 to 275FFF, 2 runs, 0 bytes filled"},
      {"a later run below an earlier one",
       {{"280000", test::block_filled(0x11)},
        {"270000", test::block_filled(0x22)}},
       {},
       test::concat({test::block_filled(0x22), repeated(0xE000, 0xFF),
                     test::block_filled(0x11)}),
       "from 270000 to 281FFF, 2 runs, 57344 bytes filled"},
      // Three bytes over the last of block 0 and the first two of block 1.
      {"a short record across two blocks",
       {{"270000", two}, {"", kOnesAt271FFF}},
       {},
       [&two] {
         Bytes flash = two;
         flash[0x1FFF] = flash[0x2000] = flash[0x2001] = 0x01;
         return flash;
       }(),
       "from 270000 to 273FFF, 2 runs, 0 bytes filled"},
      {"a gap of one byte",
       {{"", kOnesAt123456}, {"", kTwosAt12345A}},
       {"--fill", "Ee"},
       {0x01, 0x01, 0x01, 0xEE, 0x02, 0x02, 0x02},
       "from 123456 to 12345C, 2 runs, 1 byte filled"},
      // Block 0 from FFF000 to 000FFF, blocks 1 and 2 after it: the flash
      // from 000000 to FFFFFF, 0x1000000 - 0x6000 bytes of it filled.
      {"a run that wraps past FFFFFF",
       {{"fff000", test::numbered_image(3)}},
       {},
       [] {
         const Bytes block = numbered_block(0);
         const auto half = block.begin() + 0x1000;
         return test::concat(
             {Bytes(half, block.end()), numbered_block(1), numbered_block(2),
              repeated(0xFFF000 - 0x5000, 0xFF), Bytes(block.begin(), half)});
       }(),
       "from 000000 to FFFFFF, 1 run, 16752640 bytes filled"},
      // 2049 blocks from 000000: the last, block 2048 (00 ... 08), over
      // block 0.
      {"a run longer than the flash",
       {{"0", test::numbered_image(2049)}},
       {},
       [] {
         Bytes flash = test::numbered_image(2048);
         flash[8191] = 0x08;
         return flash;
       }(),
       "from 000000 to FFFFFF, 1 run, 0 bytes filled"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    write_records(c.parts, dir);
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"--flash-image", "flash.fls", "rec.hy"});
    const test::RunResult run = run_check(args, dir);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.err, "");
    // The report of a check, then the line.
    const test::RunResult report = run_check({"rec.hy"}, dir);
    EXPECT_EQ(
        run.out,
        report.out + console_text("flash image written to \"flash.fls\" (" +
                                  c.line + ")\n"));
    EXPECT_TRUE(test::read_file(dir / "flash.fls") == c.flash)
        << "not the flash expected";
    EXPECT_EQ((std::vector<std::string>{"flash.fls", "rec.hy"}),
              test::names_in(dir.path));
  }
}

// Of a file that is one run, the flash image is the image that -o restores.
TEST(CheckFlashImage, OfOneRunTheImageOfMinusO) {
  const test::ScratchDir dir;
  test::make_records("270000", 3, "rec.hy", dir);
  const test::RunResult flash =
      run_check({"--flash-image=flash.fls", "rec.hy"}, dir);
  const test::RunResult restored = run_check({"-o", "back.fls", "rec.hy"}, dir);
  ASSERT_EQ(flash.exit_status, 0);
  ASSERT_EQ(restored.exit_status, 0);
  EXPECT_EQ(test::read_file(dir / "flash.fls"), test::numbered_image(3));
  EXPECT_EQ(test::read_file(dir / "back.fls"), test::numbered_image(3));
  const std::string report =
      "\"rec.hy\": valid\nrecords: 3\ndata bytes: 24576\n"
      "run 1: 270000 to 275FFF (3 records)\nstart address for varnel: 270000\n";
  EXPECT_EQ(flash.out,
            console_text(report +
                         "flash image written to \"flash.fls\" (from 270000 to "
                         "275FFF, 1 run, 0 bytes filled)\n"));
}

// A wrong record, or no record at all: nothing is written, and a file
// already there keeps what it held.
TEST(CheckFlashImage, NothingWrittenOfAWrongOrEmptyFile) {
  const test::ScratchDir source;
  test::make_records("270000", 3, "rec.hy", source);
  Bytes damaged = test::read_file(source / "rec.hy");
  damaged.at(8201 + 9 + 17) ^= 0x08;
  const struct {
    std::string why;
    Bytes records;
    std::vector<std::string> options;
    std::string err;
  } cases[] = {
      {"a wrong record",
       damaged,
       {},
       "varnel-check: \"rec.hy\": record 2 at byte 8201: wrong data "
       "checksum\n"},
      {"a wrong record, and every one named",
       damaged,
       {"--all-faults"},
       "varnel-check: \"rec.hy\": record 2 at byte 8201: wrong data "
       "checksum\nvarnel-check: \"rec.hy\": wrong records: 1 of 3\n"},
      {"no record", {}, {}, "varnel-check: \"rec.hy\": holds no records\n"},
  };
  for (const auto& c : cases) {
    for (const bool existing : {false, true}) {
      SCOPED_TRACE(c.why + (existing ? ", over a file" : ""));
      const test::ScratchDir dir;
      test::write_file(dir / "rec.hy", c.records);
      if (existing) {
        test::write_file(dir / "flash.fls", {'o', 'l', 'd'});
      }
      std::vector<std::string> args = c.options;
      args.insert(args.end(), {"--flash-image", "flash.fls", "rec.hy"});
      const test::RunResult run = run_check(args, dir);
      EXPECT_EQ(run.exit_status, 1);
      EXPECT_EQ(run.out, "");
      EXPECT_EQ(run.err, console_text(c.err));
      if (existing) {
        EXPECT_EQ(test::read_file(dir / "flash.fls"), (Bytes{'o', 'l', 'd'}));
      }
      EXPECT_EQ(test::names_in(dir.path).size(), existing ? 2U : 1U)
          << "a temporary file was left";
    }
  }
}

// What -o refuses as its image, --flash-image refuses too, in the same
// words.
TEST(CheckFlashImage, RefusedWhereMinusOIs) {
  const struct {
    std::string why;
    std::string name;
    std::string err;
  } cases[] = {
      {"the record file itself", "./rec.hy",
       "varnel-check: \"./rec.hy\" is the record file itself\n"},
      {"a directory", "sub", "varnel-check: \"sub\" is a directory\n"},
      {"a folder that does not exist", "nodir/flash.fls",
       "varnel-check: cannot create \"nodir/flash.fls\": No such file or "
       "directory\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    test::make_records("0", 1, "rec.hy", dir);
    fs::create_directory(dir / "sub");
    const Bytes records = test::read_file(dir / "rec.hy");
    for (const std::string option : {"-o", "--flash-image"}) {
      SCOPED_TRACE(option);
      const test::RunResult run = run_check({option, c.name, "rec.hy"}, dir);
      EXPECT_EQ(run.exit_status, 2);
      EXPECT_EQ(run.out, "");
      EXPECT_EQ(run.err, console_text(c.err));
      EXPECT_EQ(test::read_file(dir / "rec.hy"), records);
      EXPECT_TRUE(fs::is_directory(dir / "sub"));
    }
  }
}

// From standard input, and quiet: the image alone, no report.
TEST(CheckFlashImage, FromAPipeQuietly) {
  VARNEL_SKIP_ON_WINDOWS("pipes staged for a child are POSIX only");
#if !defined(_WIN32)
  const test::ScratchDir dir;
  write_records({{"", kTwosAt12345A}, {"", kOnesAt123456}}, dir);
  const test::RunResult run = test::run_program(
      VARNEL_CHECK_BINARY, {"-q", "--flash-image", "flash.fls", "-"}, dir.path,
      test::stdin_from_pipe(test::read_file(dir / "rec.hy")));
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
  // The ones first at 123456, the twos after them from 12345A.
  EXPECT_EQ(test::read_file(dir / "flash.fls"),
            (Bytes{0x01, 0x01, 0x01, 0xFF, 0x02, 0x02, 0x02}));
#endif
}

}  // namespace
}  // namespace varnel
