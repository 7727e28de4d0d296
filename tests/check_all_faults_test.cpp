// varnel-check --all-faults: how badly is a record file damaged? Reading
// goes on past each wrong record at the next record: where the wrong one
// ends, or 8201 bytes after its start (where the next record of a file from
// varnel starts), or else where a record is found that checks out; every
// wrong record is named (the first 100, then how many more), then how many
// are wrong of all.
#include <gtest/gtest.h>

#include <random>
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

// Four records from a numbered image at 270000, at bytes 0, 8201, 16402 and
// 24603. Record k + 1 holds block k: its first data byte is k, its last 0,
// so its data checksum is -k.
Bytes four_records(const test::ScratchDir& dir) {
  test::make_records("270000", 4, "rec.hy", dir);
  fs::remove(dir / "in.fls");
  return test::read_file(dir / "rec.hy");
}

Bytes flipped(Bytes bytes, std::initializer_list<std::size_t> at) {
  for (const std::size_t each : at) {
    bytes.at(each) ^= 0x01;
  }
  return bytes;
}

// `header` in place of the 9 bytes at `at`.
Bytes with_header(Bytes bytes, std::size_t at, const Bytes& header) {
  std::copy(header.begin(), header.end(),
            bytes.begin() + static_cast<std::ptrdiff_t>(at));
  return bytes;
}

std::string line(const std::string& text) {
  return "varnel-check: \"rec.hy\": " + text + "\n";
}

TEST(CheckAllFaults, NamesEveryWrongRecord) {
  const test::ScratchDir source;
  const Bytes whole = four_records(source);
  const auto cut = [&whole](std::size_t size) {
    return Bytes(whole.begin(),
                 whole.begin() + static_cast<std::ptrdiff_t>(size));
  };
  // Record 2's header, 0B 27 20 00 FF 00 20 00 99, with another length and
  // a header checksum that fits it: bytes 1 to 7 sum to 0x27 + 0x20 + 0xFF +
  // the length's bytes.
  //   00 40 00: 0x186, checksum 0x79. Its 16384 bytes of data reach 8192
  //   bytes into record 3, which is read again from its start.
  const Bytes twice_as_long = {0x0B, 0x27, 0x20, 0x00, 0xFF,
                               0x00, 0x40, 0x00, 0x79};
  //   01 00 00: 0x147, checksum 0xB8. More data than the file holds.
  const Bytes past_the_end = {0x0B, 0x27, 0x20, 0x00, 0xFF,
                              0x01, 0x00, 0x00, 0xB8};
  //   00 00 00: 0x146, checksum 0xB9.
  const Bytes no_length = {0x0B, 0x27, 0x20, 0x00, 0xFF,
                           0x00, 0x00, 0x00, 0xB9};
  const struct {
    std::string why;
    Bytes records;
    std::vector<std::string> faults;
    std::string total;
    // A first header that is none: the file may be an image, said after the
    // lines when no record is found right. Without the option, where the
    // first wrong record stops the walk; with it, where none is right.
    bool image_hint_alone = false;
    bool image_hint_all = false;
  } cases[] = {
      {"a data byte",
       flipped(whole, {8201 + 9 + 100}),
       {"record 2 at byte 8201: wrong data checksum"},
       "1 of 4"},
      {"a header checksum and a type byte",
       flipped(whole, {8, 16402}),
       {"record 1 at byte 0: wrong header checksum",
        "record 3 at byte 16402: wrong record type"},
       "2 of 4",
       true},
      {"two records side by side",
       flipped(whole, {8201 + 2, 16402 + 9}),
       {"record 2 at byte 8201: wrong header checksum",
        "record 3 at byte 16402: wrong data checksum"},
       "2 of 4"},
      {"a length field",
       flipped(whole, {24603 + 6}),
       {"record 4 at byte 24603: wrong header checksum"},
       "1 of 4"},
      {"a length field, the header checksum made to fit",
       with_header(whole, 8201, twice_as_long),
       {"record 2 at byte 8201: wrong data checksum"},
       "1 of 4"},
      {"a length past the end, the header checksum made to fit",
       with_header(whole, 8201, past_the_end),
       {"record 2 at byte 8201: cut short inside the data"},
       "1 of 4"},
      {"a length of 0",
       with_header(whole, 8201, no_length),
       {"record 2 at byte 8201: length is 0"},
       "1 of 4"},
      {"the first header",
       flipped(whole, {0}),
       {"record 1 at byte 0: wrong record type"},
       "1 of 4",
       true},
      {"every record",
       flipped(whole, {0, 8201, 16402, 24603}),
       {"record 1 at byte 0: wrong record type",
        "record 2 at byte 8201: wrong record type",
        "record 3 at byte 16402: wrong record type",
        "record 4 at byte 24603: wrong record type"},
       "4 of 4",
       true,
       true},
      {"cut in the middle of a record",
       cut(2 * 8201 + 100),
       {"record 3 at byte 16402: cut short inside the data"},
       "1 of 3"},
      {"cut in a header after a wrong record",
       flipped(cut(3 * 8201 + 4), {9}),
       {"record 1 at byte 0: wrong data checksum",
        "record 4 at byte 24603: cut short inside the header"},
       "2 of 4"},
      {"a wrong header in the last, short, piece",
       flipped(cut(3 * 8201 + 100), {3 * 8201}),
       {"record 4 at byte 24603: wrong record type"},
       "1 of 4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    test::write_file(dir / "rec.hy", c.records);
    std::string err;
    for (const std::string& fault : c.faults) {
      err += line(fault);
    }
    err += line("wrong records: " + c.total);
    const std::string hint =
        "(it does not begin with a record: it may be an image; to compare an "
        "image with its record file, use -c IMAGE RECORD_FILE)\n";
    if (c.image_hint_all) {
      err += hint;
    }

    const test::RunResult run = run_check({"--all-faults", "rec.hy"}, dir);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, console_text(err));

    // Without the option, the first of them alone, as ever.
    const test::RunResult first = run_check({"rec.hy"}, dir);
    EXPECT_EQ(first.exit_status, 1);
    EXPECT_EQ(first.out, "");
    EXPECT_EQ(first.err, console_text(line(c.faults.front()) +
                                      (c.image_hint_alone ? hint : "")));
  }
}

// 300 records, every other one damaged from the first: records 1, 3, ...,
// 299, record 2k + 1 at byte 8201 * 2k. The first 100 are named.
TEST(CheckAllFaults, AHundredLinesAtMost) {
  const test::ScratchDir dir;
  test::make_records("0", 300, "rec.hy", dir);
  Bytes records = test::read_file(dir / "rec.hy");
  for (std::size_t k = 0; k < 300; k += 2) {
    records.at(k * 8201 + 9 + 4000) ^= 0x10;
  }
  test::write_file(dir / "rec.hy", records);
  std::string err;
  for (std::size_t k = 0; k < 200; k += 2) {
    err += line("record " + std::to_string(k + 1) + " at byte " +
                std::to_string(k * 8201) + ": wrong data checksum");
  }
  err += line("... and 50 more wrong records");
  err += line("wrong records: 150 of 300");
  const test::RunResult run = run_check({"--all-faults", "rec.hy"}, dir);
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, console_text(err));

  // The first 201 records: 101 wrong, one more than the lines.
  test::write_file(dir / "rec.hy",
                   Bytes(records.begin(), records.begin() + 201 * 8201));
  const test::RunResult fewer = run_check({"--all-faults", "rec.hy"}, dir);
  EXPECT_EQ(fewer.exit_status, 1);
  const std::string more =
      line("... and 1 more wrong record") + line("wrong records: 101 of 201");
  ASSERT_GE(fewer.err.size(), more.size());
  EXPECT_EQ(fewer.err.substr(fewer.err.size() - console_text(more).size()),
            console_text(more));
}

// A valid file gets today's report, byte for byte, and its status.
TEST(CheckAllFaults, AValidFileAsWithout) {
  const test::ScratchDir dir;
  four_records(dir);
  const test::RunResult run = run_check({"--all-faults", "rec.hy"}, dir);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, console_text("\"rec.hy\": valid\nrecords: 4\n"
                                  "data bytes: 32768\n"
                                  "run 1: 270000 to 277FFF (4 records)\n"
                                  "start address for varnel: 270000\n"));
}

// The listing goes on past a wrong record: the rows of the records found
// right, numbered as the file counts them. Record 3 holds block 2, whose
// checksum is FE; record 4 block 3, FD.
TEST(CheckAllFaults, TheListingGoesOn) {
  const test::ScratchDir dir;
  const Bytes records = flipped(four_records(dir), {8201 + 9 + 8191});
  test::write_file(dir / "rec.hy", records);
  const test::RunResult run =
      run_check({"--all-faults", "--list", "rec.hy"}, dir);
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.out, console_text("record offset address length checksum\n"
                                  "1 0 270000 2000 00\n"
                                  "3 16402 274000 2000 FE\n"
                                  "4 24603 276000 2000 FD\n"));
  EXPECT_EQ(run.err,
            console_text(line("record 2 at byte 8201: wrong data checksum") +
                         line("wrong records: 1 of 4")));
}

// A record of three bytes before the records of varnel: reading goes on
// 8201 bytes after the start of the wrong record, where the next one is,
// not at a multiple of 8201. (Three bytes of 01 at 123456: checksum FD,
// bytes 1 to 7 sum to 0x19C, header checksum 0x63.)
TEST(CheckAllFaults, ReadsOnFromTheWrongRecord) {
  const test::ScratchDir dir;
  const Bytes short_record = {0x0B, 0x12, 0x34, 0x56, 0xFD, 0x00,
                              0x00, 0x03, 0x63, 0x01, 0x01, 0x01};
  const Bytes records =
      test::concat({short_record, flipped(four_records(dir), {8201})});
  test::write_file(dir / "rec.hy", records);
  const test::RunResult run = run_check({"--all-faults", "rec.hy"}, dir);
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.err,
            console_text(line("record 3 at byte 8213: wrong record type") +
                         line("wrong records: 1 of 5")));
}

// A dump of 512 blocks of random bytes (the same every time), at 270000:
// record k + 1 holds block k, at byte 8201 * k. Record 10 starts at 73809,
// record 11 at 82010, record 12 at 90211. A few bytes are set, so that the
// damage below does what it says whatever the random bytes are.
Bytes random_dump() {
  Bytes image(512 * 8192);
  std::mt19937 bytes(29);
  for (std::uint8_t& byte : image) {
    byte = static_cast<std::uint8_t>(bytes());
  }
  const auto set = [&image](std::size_t block, std::size_t at,
                            std::uint8_t value) {
    image.at(block * 8192 + at) = value;
  };
  set(9, 4000, 0x00);   // lost from record 10: its sum takes in the 0B after
  set(9, 8191, 0x55);   // the last of record 10, moved on by a byte added
  set(10, 91, 0x00);    // not a record type where record 10 ends, 100 bytes on
  set(11, 91, 0x00);    // nor 8201 bytes after that
  set(10, 8092, 0x00);  // nor 8201 bytes after 100 added before record 11
  set(10, 8183, 0x00);  // nor where record 10 ends, 8192 bytes on
  return image;
}

// Gives the record at `at` the length `length`, and both checksums that fit
// its data of that length, the data checksum put off by `off`.
void refit(Bytes& records, std::size_t at, std::uint32_t length,
           std::uint8_t off) {
  records.at(at + 5) = static_cast<std::uint8_t>(length >> 16);
  records.at(at + 6) = static_cast<std::uint8_t>(length >> 8);
  records.at(at + 7) = static_cast<std::uint8_t>(length);
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < length; ++i) {
    sum = static_cast<std::uint8_t>(sum + records.at(at + 9 + i));
  }
  records.at(at + 4) = static_cast<std::uint8_t>(off - sum);
  std::uint8_t header = 0;
  for (std::size_t i = 1; i <= 7; ++i) {
    header = static_cast<std::uint8_t>(header + records.at(at + i));
  }
  records.at(at + 8) = static_cast<std::uint8_t>(~header);
}

// A byte lost or added, or a length field that swallows what follows: the
// walk finds the next record that checks out and reads on from there, so
// that only the damaged record is named, and the bytes skipped to the next
// where it was not where a record of varnel would be.
TEST(CheckAllFaults, FindsTheNextRecordAfterAByteLostOrAdded) {
  const test::ScratchDir source;
  test::write_file(source / "in.fls", random_dump());
  test::convert("270000", "in.fls", "rec.hy", source);
  const Bytes whole = test::read_file(source / "rec.hy");
  const auto at = [](std::size_t record, std::size_t data_byte) {
    return static_cast<std::ptrdiff_t>((record - 1) * 8201 + 9 + data_byte);
  };
  Bytes lost = whole;
  lost.erase(lost.begin() + at(10, 4000));
  Bytes added = whole;
  added.insert(added.begin() + at(10, 4000), 0x00);
  Bytes garbage = whole;
  garbage.insert(garbage.begin() + 10 * 8201, 100, 0x00);
  // 20000 bytes, more than the two records' worth (16402) searched past a
  // wrong record: the first 8201 of them are one wrong record, and the
  // search from the next finds record 11 of the dump at 102010.
  Bytes more_garbage = whole;
  more_garbage.insert(more_garbage.begin() + 10 * 8201, 20000, 0x00);
  // Record 10's length 8292 (8192 + 100), both checksums fitted: it checks
  // out, and takes in the first 100 bytes of record 11, where the walk then
  // finds a wrong record at 82110, and the next at record 12.
  Bytes swallows = whole;
  refit(swallows, 9 * 8201, 8292, 0);
  // Record 10's length 16384, its header checksum fitted, not its data
  // checksum: record 11 is found where record 10 should have ended.
  Bytes too_long = whole;
  refit(too_long, 9 * 8201, 16384, 1);
  const struct {
    std::string why;
    Bytes records;
    std::vector<std::string> lines;
  } cases[] = {
      {"a byte lost",
       lost,
       {"record 10 at byte 73809: wrong data checksum",
        "8200 bytes skipped before record 11 at byte 82009",
        "wrong records: 1 of 512"}},
      {"a byte added",
       added,
       {"record 10 at byte 73809: wrong data checksum",
        "8202 bytes skipped before record 11 at byte 82011",
        "wrong records: 1 of 512"}},
      {"100 bytes between two records",
       garbage,
       {"record 11 at byte 82010: wrong record type",
        "100 bytes skipped before record 12 at byte 82110",
        "wrong records: 1 of 513"}},
      {"20000 bytes between two records",
       more_garbage,
       {"record 11 at byte 82010: wrong record type",
        "record 12 at byte 90211: wrong record type",
        "11799 bytes skipped before record 13 at byte 102010",
        "wrong records: 2 of 514"}},
      {"a length that swallows part of the next record",
       swallows,
       {"record 11 at byte 82110: wrong record type",
        "8101 bytes skipped before record 12 at byte 90211",
        "wrong records: 1 of 512"}},
      {"a length that swallows the next record, the data checksum wrong",
       too_long,
       {"record 10 at byte 73809: wrong data checksum",
        "wrong records: 1 of 512"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    test::write_file(dir / "rec.hy", c.records);
    std::string err;
    for (const std::string& each : c.lines) {
      err += line(each);
    }
    const test::RunResult run = run_check({"--all-faults", "rec.hy"}, dir);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, console_text(err));
  }
}

// Through a pipe, which cannot seek: a record whose data runs into the next
// is read again from what was kept. With -o, nothing is written.
TEST(CheckAllFaults, ThroughAPipeAndWithAnImage) {
  VARNEL_SKIP_ON_WINDOWS("pipes staged for a child are POSIX only");
#if !defined(_WIN32)
  const test::ScratchDir dir;
  // As in NamesEveryWrongRecord: record 2 twice as long, checksum fitted.
  const Bytes records =
      with_header(four_records(dir), 8201,
                  {0x0B, 0x27, 0x20, 0x00, 0xFF, 0x00, 0x40, 0x00, 0x79});
  const test::RunResult run = test::run_program(
      VARNEL_CHECK_BINARY, {"--all-faults", "-o", "back.fls", "-"}, dir.path,
      test::stdin_from_pipe(records));
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "varnel-check: \"-\": record 2 at byte 8201: wrong data checksum\n"
            "varnel-check: \"-\": wrong records: 1 of 4\n");
  EXPECT_FALSE(fs::exists(dir / "back.fls"));
#endif
}

}  // namespace
}  // namespace varnel
