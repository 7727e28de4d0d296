// Questions about the named files that the streams alone cannot answer. The
// names are command-line arguments, read as path_from_argument reads them.
#pragma once

namespace varnel {

// Whether `name` names a directory, which fopen would accept for reading.
[[nodiscard]] bool is_directory(const char* name);

// Whether both names lead to one file: the same name, another spelling of it
// (other letter case where the file system ignores it, other separators,
// "." and ".."), a hard link or a symbolic link.
[[nodiscard]] bool same_file(const char* a, const char* b);

}  // namespace varnel
