// Text for people: the bytes as given wherever they are bytes, and on a
// Windows console the characters they stand for.
#include "console/console_output.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "console/terminal.h"
#include "tests/test_support.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

namespace varnel {
namespace {

std::string written_to(const test::ScratchDir& dir, const char* name) {
  const test::Bytes bytes = test::read_file(dir / name);
  return {bytes.begin(), bytes.end()};
}

// A file gets the bytes: UTF-8 as it is, formats as printf makes them, text
// far longer than any buffer, in the order written.
TEST(ConsoleOutput, FilesGetTheBytes) {
  const test::ScratchDir dir;
  const std::string path = (dir / "out").string();
  std::FILE* out = std::fopen(path.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  const std::string name = "\xCE\xA9mega.hy";  // Ωmega.hy
  const std::string long_text(100000, 'x');
  EXPECT_TRUE(write_text(out, "Output written to \"" + name + "\".\n\n"));
  EXPECT_TRUE(print_text(out, "run %d: %06X to %06X (%zu records)\n", 1,
                         0x270000U, 0x273FFFU, std::size_t{2}));
  EXPECT_TRUE(print_text(out, "%s|%s", long_text.c_str(), name.c_str()));
  EXPECT_TRUE(write_text(out, ""));
  ASSERT_EQ(std::fclose(out), 0);
  EXPECT_EQ(written_to(dir, "out"),
            "Output written to \"" + name + "\".\n\n" +
                "run 1: 270000 to 273FFF (2 records)\n" + long_text + "|" +
                name);
}

// A stream that cannot take the text says so.
TEST(ConsoleOutput, FailuresAreReported) {
  const test::ScratchDir dir;
  test::write_file(dir / "in", {'x'});
  const std::string path = (dir / "in").string();
  std::FILE* in = std::fopen(path.c_str(), "rb");
  ASSERT_NE(in, nullptr);
  EXPECT_FALSE(write_text(in, "text"));
  EXPECT_FALSE(print_text(in, "%s", "text"));
  std::fclose(in);
}

// On a screen of the process's console, the characters the UTF-8 stands for
// are what the screen holds, whatever the console's code page; each "\n"
// starts a new line.
TEST(ConsoleOutput, WindowsConsoleShowsTheCharacters) {
#if !defined(_WIN32)
  GTEST_SKIP() << "only Windows has consoles that take wide text";
#else
  HANDLE screen = ::CreateConsoleScreenBuffer(
      GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
      CONSOLE_TEXTMODE_BUFFER, nullptr);
  DWORD mode = 0;
  if (screen == INVALID_HANDLE_VALUE || ::GetConsoleMode(screen, &mode) == 0) {
    GTEST_SKIP() << "Wine's console for a program not started on a terminal "
                    "takes no output (GetConsoleMode and WriteConsoleW fail "
                    "on it): WineConsole.console-output runs this test on a "
                    "terminal";
  }
  const int fd =
      ::_open_osfhandle(reinterpret_cast<std::intptr_t>(screen), _O_TEXT);
  ASSERT_GE(fd, 0);
  std::FILE* console = ::_fdopen(fd, "w");
  ASSERT_NE(console, nullptr);
  ASSERT_TRUE(is_terminal(console));
  // Bytes still buffered in the stream come out first.
  ASSERT_EQ(std::fputs("a ", console), 0);
  EXPECT_TRUE(write_text(console,
                         "pr\xC3\xBC"
                         "fung \xCE\xA9mega\n"));
  EXPECT_TRUE(print_text(console, "\"%s\".", "\xCE\xA9"));

  const auto row = [screen](SHORT y, DWORD length) {
    std::wstring cells(length, L'\0');
    DWORD got = 0;
    EXPECT_NE(::ReadConsoleOutputCharacterW(screen, cells.data(), length,
                                            COORD{0, y}, &got),
              0);
    cells.resize(got);
    return cells;
  };
  EXPECT_EQ(row(0, 15), L"a pr\u00FCfung \u03A9mega");
  EXPECT_EQ(row(1, 4), L"\"\u03A9\".");
  std::fclose(console);
#endif
}

}  // namespace
}  // namespace varnel
