// File names as the commands receive them, turned into paths that every
// file-system call reads the way the C library's fopen reads the name.
#pragma once

#include <filesystem>
#include <string_view>

namespace varnel {

// The path named by a command-line argument. Names are UTF-8: on Windows the
// programs run with the UTF-8 code page, so that is what argv and fopen
// speak; on POSIX systems a name is its bytes, whatever they are, and passes
// through unchanged. On Windows a name that is not UTF-8 (only possible where
// the code page was not applied, before Windows 10 1903) gives the empty
// path, which names no file.
[[nodiscard]] std::filesystem::path path_from_argument(const char* name);

// Whether `text` is well-formed UTF-8: no stray or missing continuation
// bytes, no overlong forms, no surrogates, nothing above U+10FFFF.
[[nodiscard]] bool is_utf8(std::u8string_view text);

}  // namespace varnel
