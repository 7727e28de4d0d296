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

#if defined(_WIN32)
#include <windows.h>
#else
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
      const Bytes old_bytes = test::zero_record_file();
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

// Where the record file goes for the test to read: a FIFO, or on Windows a
// named pipe that the test serves. Either holds far less than a batch.
struct RecordPipe {
  std::string name;  // for varnel
#if defined(_WIN32)
  HANDLE pipe = INVALID_HANDLE_VALUE;
#else
  int fd = -1;
#endif

  explicit RecordPipe(const test::ScratchDir& dir) {
#if defined(_WIN32)
    (void)dir;
    name =
        "\\\\.\\pipe\\varnel-grows-" + std::to_string(::GetCurrentProcessId());
    pipe = ::CreateNamedPipeA(name.c_str(), PIPE_ACCESS_INBOUND,
                              PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0,
                              nullptr);
#else
    name = "out.hy";
    // Opened without waiting for a writer; reads then wait as usual.
    if (::mkfifo((dir / name).c_str(), 0600) == 0) {
      fd = ::open((dir / name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      (void)::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
#endif
  }
  ~RecordPipe() {
#if defined(_WIN32)
    (void)::CloseHandle(pipe);
#else
    (void)::close(fd);
#endif
  }
  RecordPipe(const RecordPipe&) = delete;
  RecordPipe& operator=(const RecordPipe&) = delete;

  bool made() const {
#if defined(_WIN32)
    return pipe != INVALID_HANDLE_VALUE;
#else
    return fd >= 0;
#endif
  }

  // Waits until the program has the pipe open and has written to it (a FIFO
  // that never had a writer has no data, and is not at its end either).
  bool data_comes() {
#if defined(_WIN32)
    return ::ConnectNamedPipe(pipe, nullptr) != 0 ||
           ::GetLastError() == ERROR_PIPE_CONNECTED;
#else
    pollfd ready{fd, POLLIN, 0};
    return ::poll(&ready, 1, static_cast<int>(kLimit / 1ms)) == 1 &&
           (ready.revents & POLLIN) != 0;
#endif
  }

  // Reads up to `size` bytes; none at the end.
  std::size_t read_some(std::uint8_t* into, std::size_t size) {
#if defined(_WIN32)
    DWORD got = 0;
    return ::ReadFile(pipe, into, static_cast<DWORD>(size), &got, nullptr) != 0
               ? got
               : 0;
#else
    const ssize_t got = ::read(fd, into, size);
    return got > 0 ? static_cast<std::size_t>(got) : 0;
#endif
  }
};

// An image that grows while it is converted: its record file would miss what
// came after it was measured, so the conversion fails, as for a source that
// shrank. The record file goes to a pipe that the test reads: varnel has read
// the image (one batch of 256 blocks) when its first byte comes, and cannot
// finish writing the batch, nor look for more of the image, before the test
// has appended to it and read on. No timing is involved.
TEST(VarnelCli, SourceThatGrowsWhileConvertedIsAReadError) {
  const std::size_t blocks = 256;
  const struct {
    std::string why;
    std::size_t appended;
    bool grew;
  } cases[] = {
      {"nothing appended", 0, false},
      {"one byte appended", 1, true},
      {"a block appended", 8192, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const test::ScratchDir dir;
    test::write_file(dir / "in.fls", test::numbered_image(blocks));
    RecordPipe records(dir);
    ASSERT_TRUE(records.made());
    const auto child = test::start_program(
        VARNEL_BINARY, {"0", "in.fls", records.name}, dir.path);

    ASSERT_TRUE(records.data_comes()) << "no record came";
    Bytes written(1);
    ASSERT_EQ(records.read_some(written.data(), 1), 1U);
    {
      std::ofstream grow(dir / "in.fls", std::ios::binary | std::ios::app);
      grow << std::string(c.appended, '\x5A');
      ASSERT_TRUE(grow.flush());
    }
    std::uint8_t buffer[65536];
    for (std::size_t got = 0;
         (got = records.read_some(buffer, sizeof buffer)) > 0;) {
      written.insert(written.end(), buffer, buffer + got);
    }
    const test::RunResult run = test::wait_for(*child, kLimit);

    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_status, 0);
    const std::string message =
        c.grew ? "Error reading source file \"in.fls\".\n\n"
               : "Output written to \"" + records.name + "\".\n\n";
    EXPECT_EQ(run.out, test::banner_then(message));
    EXPECT_EQ(run.err, "");
    // What went into the pipe cannot be taken back: the records of the
    // image as it was measured, and nothing of what came after.
    test::expect_numbered_records(written, blocks);
  }
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
