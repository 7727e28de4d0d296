// Creating a file that must not exist yet.
#pragma once

#include <cstdio>
#include <filesystem>

namespace varnel {

// Opens `path` for writing in binary mode, creating it; null when anything
// already has that name (a device included) or it cannot be created. Nothing
// is ever emptied.
[[nodiscard]] std::FILE* create_new_file(const std::filesystem::path& path);

}  // namespace varnel
