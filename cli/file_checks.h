// Questions about the named files that the streams alone cannot answer.
#pragma once

namespace varnel {

// Whether `path` names a directory, which fopen would accept for reading.
[[nodiscard]] bool is_directory(const char* path);

// Whether both paths lead to one file: the same path, another spelling of it,
// a hard link or a symbolic link.
[[nodiscard]] bool same_file(const char* a, const char* b);

// Removes the record file a failed conversion left behind, when it is a
// regular file (followed through symbolic links). Devices such as /dev/null
// are left alone.
void remove_incomplete_destination(const char* path);

}  // namespace varnel
