// Questions about the named files that the streams alone cannot answer. The
// names are command-line arguments, read as path_from_argument reads them.
#pragma once

namespace varnel {

// Whether `name` names a directory, which fopen would accept for reading.
[[nodiscard]] bool is_directory(const char* name);

// Whether both names lead to one file, as the system tells it: the same name,
// another spelling of it (other letter case where the file system ignores
// it, other separators, "." and ".."), a hard link, a symbolic link, another
// mount or drive letter of the same folder, for a device another name of
// the same device, and for a loop device the file behind it (either way
// round, or two loop devices over one file).
[[nodiscard]] bool same_file(const char* a, const char* b);

// Whether `name` leads to the very file that standard input reads, so that
// writing to it would change what is being read.
[[nodiscard]] bool same_file_as_standard_input(const char* name);

}  // namespace varnel
