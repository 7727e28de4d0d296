// varnel on sources that are no plain file of fixed length: devices that never
// end, files that the kernel makes up as they are read, a FIFO that nobody
// writes, a block device, and an image that grows while it is converted.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "tests/numbered_image.h"
#include "tests/test_support.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace varnel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Bytes;

const std::string kSizeMessage =
    "Source files of size that is not a multiple of 8192 bytes\n"
    "are not supported in this version.\n\n";

// Far longer than any of these runs takes; a run that waits for ever is
// killed then, and fails.
constexpr auto kLimit = 60s;

// Sources whose length cannot be told: each gets the size message at once,
// as a pipe does. Where there was no record file an empty one is made, and an
// existing one is left as it was. A FIFO that no program writes is not
// waited for.
TEST(VarnelCli, SourcesWithoutALengthGetTheSizeMessage) {
  struct Source {
    std::string why;
    std::string name;
  };
#if defined(_WIN32)
  const std::vector<Source> sources = {{"the null device", "NUL"}};
#else
  const std::vector<Source> sources = {
      {"a device that never ends", "/dev/zero"},
      {"random bytes without end", "/dev/urandom"},
      {"a /proc file, 0 bytes long by its size", "/proc/cpuinfo"},
      {"a /proc file of the process itself", "/proc/self/status"},
      {"a FIFO that nobody writes", "fifo.fls"},
  };
#endif
  for (const Source& source : sources) {
    for (const bool existing : {false, true}) {
      SCOPED_TRACE(source.why);
      SCOPED_TRACE(existing ? "over a record file" : "no record file yet");
      const test::ScratchDir dir;
#if !defined(_WIN32)
      ASSERT_EQ(::mkfifo((dir / "fifo.fls").c_str(), 0600), 0);
#endif
      const Bytes old_bytes = {'o', 'l', 'd'};
      if (existing) {
        test::write_file(dir / "out.hy", old_bytes);
      }
      const auto child = test::start_program(
          VARNEL_BINARY, {"0", source.name, "out.hy"}, dir.path);
      const test::RunResult run = test::wait_for(*child, kLimit);
      EXPECT_FALSE(run.timed_out) << "waited on the source";
      EXPECT_EQ(run.exit_status, 0);
      EXPECT_EQ(run.out, test::banner_then(kSizeMessage));
      EXPECT_EQ(run.err, "");
      ASSERT_TRUE(fs::exists(dir / "out.hy"));
      EXPECT_EQ(test::read_file(dir / "out.hy"),
                existing ? old_bytes : Bytes{});
    }
  }
}

#if !defined(_WIN32)

// The reading end of the FIFO at `path`, opened without waiting for a writer;
// reads then wait as usual.
int open_fifo_reader(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    (void)::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  }
  return fd;
}

// Waits until `fd`, the reading end of a FIFO, has data (a FIFO that never
// had a writer has none, and is not at its end either); false after `limit`.
bool data_comes(int fd, std::chrono::milliseconds limit) {
  pollfd ready{fd, POLLIN, 0};
  return ::poll(&ready, 1, static_cast<int>(limit.count())) == 1 &&
         (ready.revents & POLLIN) != 0;
}

// Reads `fd` to its end.
Bytes read_to_end(int fd) {
  Bytes bytes;
  std::uint8_t buffer[65536];
  for (ssize_t got = 0; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
    bytes.insert(bytes.end(), buffer, buffer + got);
  }
  return bytes;
}

#endif

// An image that grows while it is converted: its record file would miss what
// came after it was measured, so the conversion fails, as for a source that
// shrank. The record file goes to a FIFO that the test reads: varnel has
// read the image (one batch of 256 blocks) when its first byte comes, and
// cannot finish writing the batch, nor look for more of the image, before
// the test has appended to it and read on. No timing is involved.
TEST(VarnelCli, SourceThatGrowsWhileConvertedIsAReadError) {
  VARNEL_SKIP_ON_WINDOWS("FIFOs are POSIX only");
#if !defined(_WIN32)
  const std::size_t blocks = 256;
  const struct {
    std::string why;
    std::size_t appended;
    std::string message;
  } cases[] = {
      {"nothing appended", 0, "Output written to \"out.hy\".\n\n"},
      {"one byte appended", 1, "Error reading source file \"in.fls\".\n\n"},
      {"a block appended", 8192, "Error reading source file \"in.fls\".\n\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    test::write_file(dir / "in.fls", test::numbered_image(blocks));
    ASSERT_EQ(::mkfifo((dir / "out.hy").c_str(), 0600), 0);
    const int reader = open_fifo_reader(dir / "out.hy");
    ASSERT_GE(reader, 0);
    const auto child =
        test::start_program(VARNEL_BINARY, {"0", "in.fls", "out.hy"}, dir.path);

    ASSERT_TRUE(data_comes(reader, kLimit)) << "no record came";
    std::uint8_t first = 0;
    ASSERT_EQ(::read(reader, &first, 1), 1);
    {
      std::ofstream grow(dir / "in.fls", std::ios::binary | std::ios::app);
      grow << std::string(c.appended, '\x5A');
      ASSERT_TRUE(grow.flush());
    }
    Bytes records = read_to_end(reader);
    ::close(reader);
    records.insert(records.begin(), first);
    const test::RunResult run = test::wait_for(*child, kLimit);

    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out, test::banner_then(c.message));
    EXPECT_EQ(run.err, "");
    // What went into the FIFO cannot be taken back: the records of the image
    // as it was measured, and nothing of what came after.
    test::expect_numbered_records(records, blocks);
  }
#endif
}

#if !defined(_WIN32)

// A loop device over a file, detached again at the end.
struct LoopDevice {
  std::string name;  // empty when none could be set up
  std::string why_not;

  LoopDevice(const fs::path& file, const test::ScratchDir& dir) {
    if (::geteuid() != 0) {
      why_not = "only the superuser may set up a loop device";
      return;
    }
    const test::RunResult run = test::run_program(
        "losetup", {"--find", "--show", test::utf8_name(file)}, dir.path);
    if (run.exit_status != 0 || run.out.empty()) {
      why_not = "no loop device could be set up here (losetup: " +
                run.err.substr(0, run.err.find('\n')) + ")";
      return;
    }
    name = run.out.substr(0, run.out.find('\n'));
  }
  ~LoopDevice() {
    if (!name.empty()) {
      (void)test::run_program("losetup", {"--detach", name}, "/");
    }
  }
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;
};

#endif

// A block device has the length of the medium behind it, which the system
// tells: it converts like the image it holds.
TEST(VarnelCli, BlockDeviceConvertsLikeItsImage) {
  VARNEL_SKIP_ON_WINDOWS("loop devices are Linux only");
#if !defined(_WIN32)
  const test::ScratchDir dir;
  const std::size_t blocks = 3;
  test::write_file(dir / "in.fls", test::numbered_image(blocks));
  const LoopDevice device(dir / "in.fls", dir);
  if (device.name.empty()) {
    GTEST_SKIP() << device.why_not;
  }
  const test::RunResult run =
      test::run_binary({"0", device.name, "out.hy"}, dir.path);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.out, test::banner_then("Output written to \"out.hy\".\n\n"));
  EXPECT_EQ(run.err, "");
  test::expect_numbered_records(test::read_file(dir / "out.hy"), blocks);
#endif
}

}  // namespace
}  // namespace varnel
