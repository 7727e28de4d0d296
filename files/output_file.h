// How an output reaches its name: whole or not at all. The bytes are written
// under a temporary name beside the destination, sent to the disk, and then
// renamed onto it in one step, so that the destination's name only ever holds
// what it held before or the complete new file, whatever happens to the
// process or the machine. Every command that writes a file goes through here,
// and nothing else renames or removes an output.
#pragma once

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "files/durable_io.h"

namespace varnel {

// What a name given for an output leads to, symbolic links followed.
enum class Destination {
  nothing,        // no file yet: one is made
  regular_file,   // a file, replaced by the new one
  dangling_link,  // a symbolic link to where nothing is: made there
  directory,
  other,     // not a file on disk: a device, a FIFO, a terminal, NUL
  unusable,  // the empty name, a loop of links, a name that cannot be looked up
};

struct DestinationFound {
  Destination kind = Destination::unusable;
  std::filesystem::path path;  // where the bytes land, links followed
  std::error_code error;       // why a name is unusable
};

// Looks `name` (a command-line argument) up.
[[nodiscard]] DestinationFound find_destination(const char* name);

// How an open output is written.
enum class OutputWay {
  replace,   // under a temporary name, renamed onto the destination at the end
  in_place,  // over an existing file that no temporary could be made beside
  direct,    // to what is not a file on disk; nothing is renamed or removed
};

struct Output {
  std::FILE* file = nullptr;  // where the bytes go while it is open
  OutputWay way = OutputWay::direct;
  std::filesystem::path target;     // the destination, links followed
  std::filesystem::path temporary;  // for `replace`
  bool existed = false;             // a file was there before
  FileAccess previous;              // all that the new file keeps of it
  std::error_code error;            // why the last step failed
};

// Opens the output for `name`, found at `found`, for writing in binary mode.
// Nothing at the destination changes. False, with `output.error` set, when it
// cannot be written: a directory, a file this user may not write, a folder
// that does not exist.
[[nodiscard]] bool open_output(const char* name, const DestinationFound& found,
                               Output& output);

// Finishes the output and gives it its name: flushed, given all that it keeps
// of the file it replaces (permissions, owner and group, extended attributes
// and ACL), sent to the disk, renamed onto the destination, and the directory
// sent to the disk. False, with
// `output.error` set, when any step fails: the temporary file is then gone
// and the destination as it was, unless only the last step failed, when the
// complete new file is in place but may not survive a power cut. An
// interruption noted before the rename stops it the same way. The stream is
// closed either way.
[[nodiscard]] bool publish_output(Output& output);

// Throws the unfinished output away: the stream is closed and the temporary
// file removed; the destination is as it was. (Written in place, what was
// written is cut off, so that nothing half written is left.)
void discard_output(Output& output);

}  // namespace varnel
