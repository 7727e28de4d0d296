// Long paths on Windows: a temporary name beside a destination whose full
// path is close to MAX_PATH (260 characters) passes it, so the output is
// reached through its \\?\ form, and both programs declare themselves aware
// of long paths in their manifest. (Wine does not hold paths to MAX_PATH, so
// under Wine the runs below pass with short forms too: there, what is tested
// is that the \\?\ forms work, and what they are.)
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "files/system.h"
#include "tests/test_support.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace varnel {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

TEST(LongPath, FormForTheSystem) {
#if defined(_WIN32)
  const std::wstring here = fs::current_path().wstring();
  const struct {
    std::wstring why;
    std::wstring path;
    std::wstring form;
  } cases[] = {
      {L"a full path", LR"(C:\dumps\out.hy)", LR"(\\?\C:\dumps\out.hy)"},
      {L"slashes, . and ..", L"C:/dumps/./old/../out.hy",
       LR"(\\?\C:\dumps\out.hy)"},
      {L"trailing dots and blanks, which Windows drops",
       L"C:\\dumps\\out.hy. .", LR"(\\?\C:\dumps\out.hy)"},
      {L"a share", LR"(\\server\share\out.hy)",
       LR"(\\?\UNC\server\share\out.hy)"},
      {L"a name in the current folder", L"out.hy",
       LR"(\\?\)" + here + (here.ends_with(L'\\') ? L"" : L"\\") + L"out.hy"},
      {L"already in that form", LR"(\\?\C:\dumps\out.hy)",
       LR"(\\?\C:\dumps\out.hy)"},
      {L"a device", LR"(\\.\NUL)", LR"(\\.\NUL)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(test::utf8_name(c.why));
    EXPECT_EQ(path_for_system(c.path).wstring(), c.form);
  }
#else
  // Elsewhere a path is its own form.
  for (const char* path : {"out.hy", "/tmp/./a/../out.hy", "out.hy. ."}) {
    EXPECT_EQ(path_for_system(path), fs::path(path));
  }
#endif
}

// The manifest built into each program declares it aware of long paths.
TEST(LongPath, ManifestDeclaresLongPaths) {
#if !defined(_WIN32)
  GTEST_SKIP() << "application manifests are Windows'";
#else
  for (const char* program : {VARNEL_BINARY, VARNEL_CHECK_BINARY}) {
    SCOPED_TRACE(program);
    const HMODULE module = ::LoadLibraryExW(
        test::utf8_path(program).c_str(), nullptr,
        LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr);
    const HRSRC found = ::FindResourceW(
        module, MAKEINTRESOURCEW(1),  // the manifest of a program
        MAKEINTRESOURCEW(24));        // RT_MANIFEST
    ASSERT_NE(found, nullptr);
    const HGLOBAL loaded = ::LoadResource(module, found);
    const std::string manifest(static_cast<const char*>(::LockResource(loaded)),
                               ::SizeofResource(module, found));
    ::FreeLibrary(module);
    EXPECT_NE(manifest.find("<longPathAware xmlns=\"http://schemas.microsoft."
                            "com/SMI/2016/WindowsSettings\">true</"
                            "longPathAware>"),
              std::string::npos)
        << manifest;
  }
#endif
}

// Folders under `dir` deep enough that `name` in the last of them has a full
// path of exactly `length` characters, as Windows counts them; that path.
fs::path path_of_length(const test::ScratchDir& dir, std::size_t length,
                        const std::string& name) {
  fs::path folder = fs::absolute(dir.path);
  // Each folder adds its name and a separator; the name is last.
  for (;;) {
    const std::size_t used =
        folder.wstring().size() + 1 + test::utf8_path(name).wstring().size();
    if (used >= length) {
      EXPECT_EQ(used, length) << "the scratch folder's path is too long";
      break;
    }
    const std::size_t room = length - used;
    // A folder of at least one character and a separator, leaving none or
    // at least two for the next.
    const std::size_t size =
        room <= 100 ? room - 1 : std::min<std::size_t>(200, room - 3);
    folder /= std::string(size, 'd');
    fs::create_directory(folder);
  }
  return folder / test::utf8_path(name);
}

// Both commands, to a new name and over an older file, where the full path of
// the output is 245 to 259 characters long: the temporary name beside it is
// longer than MAX_PATH allows.
TEST(LongPath, OutputsNearMaxPath) {
  const Bytes zero_record =
      test::concat({{0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0xDF},
                    test::block_filled(0x00)});
  for (const bool existing : {false, true}) {
    for (const std::size_t length : {245U, 252U, 259U}) {
      SCOPED_TRACE("a full path of " + std::to_string(length) +
                   " characters, " + (existing ? "over a file" : "new"));
      const test::ScratchDir dir;
      test::write_file(dir / "in.fls", test::block_filled(0x00));
      const fs::path records = path_of_length(dir, length, "out.hy");
      const fs::path image = records.parent_path() / "out.fl";
      if (existing) {
        test::write_file(records, zero_record);
        test::write_file(image, Bytes(10, 'o'));
      }
      const std::string records_name = test::utf8_name(records);
      const test::RunResult converted =
          test::run_binary({"0", "in.fls", records_name}, dir.path);
      EXPECT_EQ(converted.out, test::banner_then("Output written to \"" +
                                                 records_name + "\".\n\n"));
      EXPECT_EQ(test::read_file(records), zero_record);

      const test::RunResult restored = test::run_program(
          VARNEL_CHECK_BINARY, {"-o", test::utf8_name(image), records_name},
          dir.path);
      EXPECT_EQ(restored.exit_status, 0) << restored.err;
      EXPECT_EQ(test::read_file(image), test::block_filled(0x00));
      EXPECT_EQ(test::names_in(records.parent_path()),
                (std::vector<std::string>{"out.fl", "out.hy"}));
    }
  }
}

}  // namespace
}  // namespace varnel
