// Where a name given for an output leads, found once and held. On POSIX
// systems the path is walked step by step from a descriptor of the folder it
// starts in, each link read by hand; in a folder that every user may write
// to and only owners delete from (/tmp), another user's link is not
// followed, nor another user's file or FIFO written, as Linux's
// protected_symlinks, protected_regular and protected_fifos have it, here
// whatever they are set to. What is there is looked at through a descriptor
// that opens nothing for writing. On Windows the system finds the file.
#pragma once

#include <cstdint>
#include <system_error>

#include "files/system.h"

namespace varnel {

// What a name given for an output leads to.
enum class Destination {
  nothing,        // no file yet: one is made
  regular_file,   // a file, replaced by a new one
  dangling_link,  // a symbolic link to where nothing is: made there
  directory,
  descriptor,  // an open descriptor (/dev/stdout, /dev/fd/N, /proc/PID/fd/N):
               // written through it, or for another process's, through the
               // file it has open
  other,       // not a file on disk: a device, a FIFO, a terminal, NUL
  unusable,    // the empty name, a loop of links, a link that is not
               // followed, a file that cannot be replaced by another, a name
               // that cannot be looked up
};

struct DestinationFound {
  Destination kind = Destination::unusable;
  // Where the file has its name, or takes it: for a regular file, nothing
  // or a dangling link, and on POSIX systems for what is no file on disk.
  Place place;
  // What is there, open to look at (POSIX: O_PATH where the system has it;
  // a regular file read-only), or for a descriptor of this process's, null.
  Descriptor held;
  FileIdentity identity;   // of what is there
  std::uint64_t size = 0;  // of a file on disk there, as it was looked at
  // For `descriptor`: the number of this process's descriptor, or -1 for a
  // file that another process has open, held in `held`.
  int descriptor = -1;
  bool descriptor_is_file = false;  // that descriptor is a file on disk
  // A block device, directly or through a descriptor: it holds what was
  // there before, whatever its length, and is written in place.
  bool block_device = false;
  std::error_code error;  // why a name is unusable
};

// Looks `name` (a command-line argument) up.
[[nodiscard]] DestinationFound find_destination(const char* name);

// Opens what `found` found to be written as it stands (a descriptor, a
// device, a FIFO), never by its name again but where the system cannot do
// otherwise, and then only if it is still what was found.
[[nodiscard]] Descriptor open_for_writing(const DestinationFound& found,
                                          std::error_code& error);

}  // namespace varnel
