// Telling devices from files on disk.
#pragma once

#include <filesystem>

namespace varnel {

// Whether `path` names a device (a terminal, /dev/null, a pipe; NUL, CON or
// COM1 on Windows, in any directory and with any extension, and the names of
// its device namespace, such as \\.\pipe\name) rather than a file or
// directory on disk. False when nothing has that name.
[[nodiscard]] bool is_device(const std::filesystem::path& path);

}  // namespace varnel
