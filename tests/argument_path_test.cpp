// Command-line names read as UTF-8, the encoding of argv and fopen on every
// platform the programs run on.
#include "files/argument_path.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/test_support.h"

namespace varnel {
namespace {

std::u8string_view utf8(const std::string& text) {
  return {reinterpret_cast<const char8_t*>(text.data()), text.size()};
}

TEST(ArgumentPath, WellFormedUtf8) {
  const std::string valid[] = {
      "",
      "img.fls",
      "pr\xC3\xBC"
      "fung",                      // ü, two bytes
      "\xCE\xA9mega",              // Ω
      "\xE5\x9B\xBE\xE5\x83\x8F",  // 图像, three bytes each
      "\xED\x9F\xBF",              // U+D7FF, just below the surrogates
      "\xEE\x80\x80",              // U+E000, just above them
      "\xEF\xBF\xBF",              // U+FFFF
      "\xF0\x9F\x92\xBE",          // U+1F4BE, four bytes
      "\xF4\x8F\xBF\xBF",          // U+10FFFF, the last code point
  };
  for (const std::string& text : valid) {
    SCOPED_TRACE(testing::PrintToString(text));
    EXPECT_TRUE(is_utf8(utf8(text)));
  }
  const std::string invalid[] = {
      "\xFF",              // never a UTF-8 byte
      "x\x80",             // a continuation byte with no lead
      "\xC3",              // cut short at the end
      "\xC3(",             // a lead without its continuation
      "\xE5\x9B",          // three-byte form cut short
      "\xC0\xAF",          // '/' in two bytes: overlong
      "\xC1\xBF",          // overlong
      "\xE0\x80\xAF",      // '/' in three bytes: overlong
      "\xF0\x8F\xBF\xBF",  // U+FFFF in four bytes: overlong
      "\xED\xA0\x80",      // U+D800, a surrogate
      "\xED\xBF\xBF",      // U+DFFF, a surrogate
      "\xF4\x90\x80\x80",  // U+110000, past the last code point
      "\xF5\x80\x80\x80",  // a lead byte that is never valid
  };
  for (const std::string& text : invalid) {
    SCOPED_TRACE(testing::PrintToString(text));
    EXPECT_FALSE(is_utf8(utf8(text)));
  }
}

TEST(ArgumentPath, NamesInAnyScriptBecomeTheirPaths) {
  const std::string name =
      "dir/pr\xC3\xBC"
      "fung-\xE5\x9B\xBE\xE5\x83\x8F.fls";
  const std::filesystem::path path = path_from_argument(name.c_str());
  EXPECT_EQ(test::utf8_name(path), name);
  EXPECT_EQ(test::utf8_name(path.filename()),
            "pr\xC3\xBC"
            "fung-\xE5\x9B\xBE\xE5\x83\x8F.fls");
}

TEST(ArgumentPath, NamesThatAreNotUtf8) {
  const std::filesystem::path path = path_from_argument("bytes-\xFF\xFE");
#if defined(_WIN32)
  // Windows paths are UTF-16: such a name cannot be one, and names no file.
  EXPECT_TRUE(path.empty());
#else
  // A POSIX name is its bytes, whatever they are.
  EXPECT_EQ(path.native(), "bytes-\xFF\xFE");
#endif
}

}  // namespace
}  // namespace varnel
