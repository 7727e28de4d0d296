// varnel-check reads a record file a batch at a time (1 MiB from a file on
// disk; what each read brings from a pipe) and walks the records inside it:
// a record, or a header, cut by the end of a batch is carried over to the
// next, and a file that ends inside a header there is cut short as anywhere
// else.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/numbered_image.h"
#include "tests/test_support.h"

namespace varnel {
namespace {

using test::Bytes;
using test::console_text;
using test::run_check;

constexpr std::size_t kBatch = std::size_t{1} << 20;

Bytes flipped(Bytes bytes, std::size_t at) {
  bytes.at(at) ^= 0x01;
  return bytes;
}

Bytes first_bytes(const Bytes& bytes, std::size_t size) {
  return {bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size)};
}

std::string fault_line(const std::string& name, const std::string& text) {
  return "varnel-check: \"" + name + "\": " + text + "\n";
}

// 130 blocks of a numbered image at 000000. Record 128 (block 127, at
// 0FE000) starts at byte 127 * 8201 = 1041527 and ends at 1049728, across
// the end of the first batch; its first data byte is 7F, its last 00, so its
// data checksum is 81. Record 129 holds block 128: 80, checksum 80.
TEST(CheckBatches, ARecordAcrossTheEndOfABatch) {
  const test::ScratchDir dir;
  test::make_records("0", 130, "rec.hy", dir);
  const Bytes records = test::read_file(dir / "rec.hy");
  ASSERT_EQ(records.size(), 130U * 8201);
  ASSERT_LT(127U * 8201, kBatch);
  ASSERT_GT(128U * 8201, kBatch);
  const std::string report =
      "valid\nrecords: 130\ndata bytes: 1064960\n"
      "run 1: 000000 to 103FFF (130 records)\n"
      "start address for varnel: 000000\n";

  const test::RunResult checked = run_check({"rec.hy"}, dir);
  EXPECT_EQ(checked.exit_status, 0);
  EXPECT_EQ(checked.err, "");
  EXPECT_EQ(checked.out, console_text("\"rec.hy\": " + report));

  const test::RunResult listed = run_check({"--list", "rec.hy"}, dir);
  EXPECT_EQ(listed.exit_status, 0);
  EXPECT_NE(listed.out.find(console_text("127 1033326 0FC000 2000 82\n"
                                         "128 1041527 0FE000 2000 81\n"
                                         "129 1049728 100000 2000 80\n")),
            std::string::npos)
      << listed.out.substr(0, 200);

  const test::RunResult restored = run_check({"-o", "back.fls", "rec.hy"}, dir);
  EXPECT_EQ(restored.exit_status, 0);
  EXPECT_EQ(test::read_file(dir / "back.fls"), test::numbered_image(130));

  // A data byte of record 128 on either side of the end of the batch.
  for (const std::size_t at : {kBatch - 6, kBatch + 10}) {
    SCOPED_TRACE("byte " + std::to_string(at));
    test::write_file(dir / "bad.hy", flipped(records, at));
    const test::RunResult wrong = run_check({"bad.hy"}, dir);
    EXPECT_EQ(wrong.exit_status, 1);
    EXPECT_EQ(wrong.out, "");
    EXPECT_EQ(
        wrong.err,
        console_text(fault_line(
            "bad.hy", "record 128 at byte 1041527: wrong data checksum")));
  }

#if !defined(_WIN32)
  // Through a pipe, whose reads end wherever its writer's writes did.
  const test::RunResult piped = test::run_program(
      VARNEL_CHECK_BINARY, {"-"}, dir.path, test::stdin_from_pipe(records));
  EXPECT_EQ(piped.exit_status, 0);
  EXPECT_EQ(piped.err, "");
  EXPECT_EQ(piped.out, "\"-\": " + report);
#endif
}

// Two records whose second header lies across the end of the first batch:
// record 1 at 000000 holds 1048563 (0x0FFFF3) bytes, zeros but for its last,
// 02: checksum FE; bytes 1 to 7 of its header sum to 0xFE + 0x0F + 0xFF +
// 0xF3 = 0x2FF, so the header checksum is 00. Record 2 starts where record 1
// ends, at byte 9 + 1048563 = 1048572, 4 bytes before the end of the batch:
// a block at 0FFFF3 whose first byte is 01, the rest zeros, checksum FF;
// 0x0F + 0xFF + 0xF3 + 0xFF + 0x20 = 0x320, header checksum DF.
TEST(CheckBatches, AHeaderAcrossTheEndOfABatch) {
  Bytes first = {0x0B, 0x00, 0x00, 0x00, 0xFE, 0x0F, 0xFF, 0xF3, 0x00};
  Bytes first_data(0x0FFFF3, 0x00);
  first_data.back() = 0x02;
  first = test::concat({first, first_data});
  const Bytes second_header = {0x0B, 0x0F, 0xFF, 0xF3, 0xFF,
                               0x00, 0x20, 0x00, 0xDF};
  const Bytes second_data = test::block_with({{0, 0x01}});
  const Bytes records = test::concat({first, second_header, second_data});
  ASSERT_EQ(first.size(), kBatch - 4);

  const std::string report =
      "valid\nrecords: 2\ndata bytes: 1056755\n"
      "run 1: 000000 to 101FF2 (2 records)\n";
  const std::string second = "record 2 at byte 1048572: ";
  const struct {
    std::string why;
    Bytes records;
    std::string fault;  // empty: valid
  } cases[] = {
      {"whole", records, ""},
      {"cut at the end of the batch, 4 bytes into the header",
       first_bytes(records, kBatch), second + "cut short inside the header"},
      {"cut 2 bytes past the end of the batch, inside the header",
       first_bytes(records, kBatch + 2),
       second + "cut short inside the header"},
      {"cut after the header", first_bytes(records, kBatch + 5),
       second + "cut short inside the data"},
      {"a header checksum past the end of the batch",
       flipped(records, kBatch + 4), second + "wrong header checksum"},
      {"the record type before the end of the batch",
       flipped(records, kBatch - 4), second + "wrong record type"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    test::write_file(dir / "rec.hy", c.records);
    const test::RunResult run = run_check({"rec.hy"}, dir);
    EXPECT_EQ(run.exit_status, c.fault.empty() ? 0 : 1);
    EXPECT_EQ(run.out,
              c.fault.empty() ? console_text("\"rec.hy\": " + report) : "");
    EXPECT_EQ(run.err, c.fault.empty()
                           ? ""
                           : console_text(fault_line("rec.hy", c.fault)));

    const test::RunResult restored =
        run_check({"-o", "back.fls", "rec.hy"}, dir);
    EXPECT_EQ(restored.exit_status, c.fault.empty() ? 0 : 1);
    if (c.fault.empty()) {
      EXPECT_EQ(test::read_file(dir / "back.fls"),
                test::concat({first_data, second_data}));
    }
#if !defined(_WIN32)
    const test::RunResult piped = test::run_program(
        VARNEL_CHECK_BINARY, {"-"}, dir.path, test::stdin_from_pipe(c.records));
    EXPECT_EQ(piped.exit_status, c.fault.empty() ? 0 : 1);
    EXPECT_EQ(piped.err, c.fault.empty() ? "" : fault_line("-", c.fault));
#endif
  }
}

// A pipe that brings one byte at a time, as a slow link might: every header
// and every piece of data comes in pieces.
TEST(CheckBatches, APipeThatBringsOneByteAtATime) {
  VARNEL_SKIP_ON_WINDOWS("pipes staged for a child are POSIX only");
#if !defined(_WIN32)
  const test::ScratchDir dir;
  test::make_records("270000", 3, "part.hy", dir);
  // Three bytes of 01 at 123456: checksum FD; bytes 1 to 7 sum to 0x12 +
  // 0x34 + 0x56 + 0xFD + 0x03 = 0x19C, header checksum 63.
  const Bytes short_record = {0x0B, 0x12, 0x34, 0x56, 0xFD, 0x00,
                              0x00, 0x03, 0x63, 0x01, 0x01, 0x01};
  const Bytes three = test::read_file(dir / "part.hy");
  const test::RunResult checked = test::run_program(
      VARNEL_CHECK_BINARY, {"-"}, dir.path,
      test::stdin_a_byte_at_a_time(test::concat({three, short_record})));
  EXPECT_EQ(checked.exit_status, 0);
  EXPECT_EQ(checked.err, "");
  EXPECT_EQ(checked.out,
            "\"-\": valid\nrecords: 4\ndata bytes: 24579\n"
            "run 1: 270000 to 275FFF (3 records)\n"
            "run 2: 123456 to 123458 (1 record)\n");

  const test::RunResult restored =
      test::run_program(VARNEL_CHECK_BINARY, {"-q", "-o", "back.fls", "-"},
                        dir.path, test::stdin_a_byte_at_a_time(three));
  EXPECT_EQ(restored.exit_status, 0);
  EXPECT_EQ(restored.err, "");
  EXPECT_EQ(test::read_file(dir / "back.fls"), test::numbered_image(3));

  // The fourth record of the image (at 276000), then a byte of record 2 lost
  // (the 101st of its data, a zero): record 3 starts a byte early, at 16401,
  // and is found there, 8200 bytes after record 2, though what was read
  // before it is gone from the pipe.
  test::make_records("270000", 4, "part.hy", dir);
  Bytes lost = test::read_file(dir / "part.hy");
  lost.erase(lost.begin() + 8201 + 9 + 100);
  const test::RunResult all =
      test::run_program(VARNEL_CHECK_BINARY, {"--all-faults", "-"}, dir.path,
                        test::stdin_a_byte_at_a_time(lost));
  EXPECT_EQ(all.exit_status, 1);
  EXPECT_EQ(all.out, "");
  EXPECT_EQ(
      all.err,
      fault_line("-", "record 2 at byte 8201: wrong data checksum") +
          fault_line("-", "8200 bytes skipped before record 3 at byte 16401") +
          fault_line("-", "wrong records: 1 of 4"));
#endif
}

}  // namespace
}  // namespace varnel
