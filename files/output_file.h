// How an output reaches its name: whole or not at all. The bytes are written
// to a temporary file beside the destination, sent to the disk, and then
// renamed onto it in one step, so that the destination's name only ever holds
// what it held before or the complete new file, whatever happens to the
// process or the machine. A file is never written over in place. Every
// command that writes a file goes through here, and nothing else renames or
// removes an output.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <span>
#include <system_error>

#include "files/destination.h"
#include "files/durable_io.h"

namespace varnel {

// How an open output is written.
enum class OutputWay {
  replace,  // to a temporary file, renamed onto the destination at the end
  direct,   // to what is not a file on disk, or through a descriptor already
            // open; nothing is renamed or removed
};

// Whether a command may replace an existing file that begins with `first`,
// its first bytes (up to a record header's 9; fewer when the file is
// shorter, none when it is empty): each command replaces only the kind of
// file it makes.
using ReplaceCheck = bool (*)(std::span<const std::uint8_t> first);

struct Output {
  std::FILE* file = nullptr;  // where the bytes go while it is open
  OutputWay way = OutputWay::direct;
  std::filesystem::path target;  // the destination, links followed
  // For `replace`: the temporary file's name, empty while it has none.
  std::filesystem::path temporary;
  bool existed = false;     // a file was there before
  bool wrong_kind = false;  // refused: a kind of file the command does not
                            // replace
  FileAccess previous;      // all that the new file keeps of the old one
  std::error_code error;    // why the last step failed
};

// Opens the output for `name`, found at `found`, for writing in binary mode.
// Nothing at the destination changes. False, with `output.error` set, when it
// cannot be written: a directory, a file this user may not write or that
// `may_replace` refuses (`output.wrong_kind`), a folder that does not exist
// or where no temporary file can be made.
[[nodiscard]] bool open_output(const char* name, const DestinationFound& found,
                               ReplaceCheck may_replace, Output& output);

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
// file removed; the destination is as it was.
void discard_output(Output& output);

}  // namespace varnel
