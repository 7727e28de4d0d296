// Where a name given for an output leads. The system follows the links, so
// that its protections apply, and says where the file it found is; a link
// to where nothing is yet is read to find where the new file goes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace varnel {

// What a name given for an output leads to, symbolic links followed.
enum class Destination {
  nothing,        // no file yet: one is made
  regular_file,   // a file, replaced by the new one
  dangling_link,  // a symbolic link to where nothing is: made there
  directory,
  descriptor,  // names one of this process's open descriptors (/dev/stdout,
               // /dev/fd/N, /proc/self/fd/N): written through it
  other,       // not a file on disk: a device, a FIFO, a terminal, NUL
  unusable,    // the empty name, a loop of links, a link the system would
               // not follow, a file that cannot be replaced by another, a
               // name that cannot be looked up
};

struct DestinationFound {
  Destination kind = Destination::unusable;
  // Where the bytes land: for a file, where the system found it, links
  // followed; for a new file, the name it takes.
  std::filesystem::path path;
  int descriptor = -1;              // for `descriptor`
  bool descriptor_is_file = false;  // that descriptor is a file on disk
  // The file found, to tell it from another put in its place meanwhile
  // (POSIX systems: its device and inode).
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::error_code error;  // why a name is unusable
};

// Looks `name` (a command-line argument) up.
[[nodiscard]] DestinationFound find_destination(const char* name);

// Whether the open `file` is the file that `found` found, and not another
// put in its place since.
[[nodiscard]] bool is_file_found(std::FILE* file,
                                 const DestinationFound& found);

}  // namespace varnel
