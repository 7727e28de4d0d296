// Both commands under an address-space limit set in a shell (`ulimit -v`)
// that lets them start but not have the memory they convert or check
// through. They find out before they open any file: varnel says that the
// record file cannot be created, varnel-check says why with status 2, and
// nothing is left on disk.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace varnel {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

#ifdef VARNEL_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// `program` with `args` run by sh with its address space limited to `kib`
// KiB.
test::RunResult run_limited(const std::string& program,
                            const std::vector<std::string>& args,
                            const test::ScratchDir& dir, long kib) {
  std::vector<std::string> script = {
      "-c", "ulimit -v " + std::to_string(kib) + " && exec \"$@\"", "sh"};
  for (const std::string& word : test::binary_words(program)) {
    script.push_back(word);
  }
  script.insert(script.end(), args.begin(), args.end());
  return test::run_program("/bin/sh", script, dir.path);
}

// Room above the least that a program starts with: for the little memory of
// its messages, not for the buffer it works in (6 MiB of address space for
// varnel, 1 MiB for varnel-check).
constexpr long kRoomForMessages = 512;

// The limit to set: the smallest, to 64 KiB, under which `starts` holds (the
// program loads and does what needs no memory of its own), and the room for
// messages above it. Up to 64 MiB; 0 when even that is too little.
long limit_without_buffer(const std::function<bool(long)>& starts) {
  long too_little = 1024;
  long enough = 64 * 1024;
  if (!starts(enough)) {
    return 0;
  }
  while (enough - too_little > 64) {
    const long middle = (too_little + enough) / 2;
    (starts(middle) ? enough : too_little) = middle;
  }
  return enough + kRoomForMessages;
}

std::string why_not_here() {
#if defined(_WIN32)
  return "Windows has no address-space limit to set";
#else
  if (kSanitized) {
    return "the sanitizers reserve terabytes of address space up front";
  }
  if (std::getenv("VARNEL_TEST_WRAPPER") != nullptr) {
    return "a wrapper such as valgrind takes address space of its own";
  }
  if (test::under_emulator()) {
    return "an emulator's address space is not the program's";
  }
  return "";
#endif
}

// A record file of one block of zeros at 0: the format's worked record.
const Bytes kZeroRecord =
    test::concat({{0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0xDF},
                  test::block_filled(0x00)});

TEST(MemoryLimit, VarnelWithoutItsBuffer) {
  if (const std::string why = why_not_here(); !why.empty()) {
    GTEST_SKIP() << why;
  }
  const test::ScratchDir dir;
  test::write_file(dir / "in.fls", test::block_filled(0x00));
  const std::string usage =
      "Usage:   varnel <start_addr> <src_file> <dst_file>\n\n"
      "Example: varnel 270000 NHM5_513_u27.fls NHM5_513_u.hy\n\n";
  const long limit = limit_without_buffer([&](long kib) {
    const test::RunResult run = run_limited(VARNEL_BINARY, {}, dir, kib);
    return run.exit_status == 0 && run.out == test::banner_then(usage);
  });
  ASSERT_GT(limit, 0) << "varnel does not start under 64 MiB";
  SCOPED_TRACE("ulimit -v " + std::to_string(limit));

  // Over nothing and over an older record file, which stays as it was.
  const Bytes old_records = kZeroRecord;
  for (const bool existing : {false, true}) {
    SCOPED_TRACE(existing ? "over an old record file" : "no record file yet");
    fs::remove(dir / "out.hy");
    if (existing) {
      test::write_file(dir / "out.hy", old_records);
    }
    const test::RunResult run =
        run_limited(VARNEL_BINARY, {"0", "in.fls", "out.hy"}, dir, limit);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out, test::banner_then(
                           "Cannot create destination file \"out.hy\".\n\n"));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(test::names_in(dir.path),
              (existing ? std::vector<std::string>{"in.fls", "out.hy"}
                        : std::vector<std::string>{"in.fls"}));
    if (existing) {
      EXPECT_EQ(test::read_file(dir / "out.hy"), old_records);
    }
  }

  // With 16 MiB more, the same run converts: the limit was all that
  // stopped it.
  const test::RunResult run = run_limited(
      VARNEL_BINARY, {"0", "in.fls", "out.hy"}, dir, limit + 16 * 1024);
  EXPECT_EQ(run.out, test::banner_then("Output written to \"out.hy\".\n\n"));
  EXPECT_EQ(test::read_file(dir / "out.hy"), kZeroRecord);
}

TEST(MemoryLimit, VarnelCheckWithoutItsBuffer) {
  if (const std::string why = why_not_here(); !why.empty()) {
    GTEST_SKIP() << why;
  }
  const test::ScratchDir dir;
  test::write_file(dir / "rec.hy", kZeroRecord);
  const long limit = limit_without_buffer([&](long kib) {
    const test::RunResult run =
        run_limited(VARNEL_CHECK_BINARY, {"--version"}, dir, kib);
    return run.exit_status == 0 && run.out == "varnel-check 0.9a\n";
  });
  ASSERT_GT(limit, 0) << "varnel-check does not start under 64 MiB";
  SCOPED_TRACE("ulimit -v " + std::to_string(limit));

  const Bytes old_image(100, 'o');
  const struct {
    std::string why;
    std::vector<std::string> args;
    bool old_image;
  } cases[] = {
      {"a check", {"rec.hy"}, false},
      {"a restore", {"-o", "back.fls", "rec.hy"}, false},
      {"a restore over an older image", {"-o", "back.fls", "rec.hy"}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    fs::remove(dir / "back.fls");
    if (c.old_image) {
      test::write_file(dir / "back.fls", old_image);
    }
    const test::RunResult run =
        run_limited(VARNEL_CHECK_BINARY, c.args, dir, limit);
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "varnel-check: cannot allocate the buffer for reading (1 MiB): "
              "Cannot allocate memory\n");
    EXPECT_EQ(test::names_in(dir.path),
              (c.old_image ? std::vector<std::string>{"back.fls", "rec.hy"}
                           : std::vector<std::string>{"rec.hy"}));
    if (c.old_image) {
      EXPECT_EQ(test::read_file(dir / "back.fls"), old_image);
    }
  }

  const test::RunResult run =
      run_limited(VARNEL_CHECK_BINARY, {"-o", "back.fls", "rec.hy"}, dir,
                  limit + 16 * 1024);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(test::read_file(dir / "back.fls"), test::block_filled(0x00));
}

}  // namespace
}  // namespace varnel
