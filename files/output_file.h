// How an output reaches its name: whole or not at all, and only where the
// name still holds what was found there. Every command that writes a file
// goes through here, and nothing else renames or removes an output.
//
// The destination is found once (destination.h) and held. A new file is
// made beside it, in the folder held, without a name where the system can
// (Linux: O_TMPFILE) or under a random one; given everything of the file it
// replaces, sent to the disk, and only then named: where nothing was, only
// if nothing has the name yet; where a file was, only if the name still
// holds that very file. A file is never written over in place, but one
// reached through a descriptor the program was given, which is written as
// it stands: a FIFO or a device, or a file from where the descriptor stands,
// cut there at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <span>
#include <system_error>

#include "files/destination.h"
#include "files/system.h"

namespace varnel {

// What a command makes, and may replace.
struct OutputRules {
  // How many of an existing file's first bytes tell whether the command may
  // replace it (fewer when the file is shorter, none when it is empty).
  std::size_t first_bytes = 0;
  // Whether the command may replace a file that begins with `first`: each
  // command replaces only the kind of file it makes.
  bool (*may_replace)(std::span<const std::uint8_t> first) = nullptr;
  // Whether the run has been interrupted: from then on nothing is named.
  bool (*interrupted)() = nullptr;
};

// How an open output is written.
enum class OutputWay {
  replace,  // to a new file, named at the end
  direct,   // through what was found (a descriptor, a device, a FIFO): nothing
            // is named or removed
};

// A temporary file's name while it has one: removed with it, unless
// emptied first. On POSIX systems in a copy of the output's folder, on
// Windows a full path.
struct TemporaryName {
  Descriptor folder;
  std::filesystem::path name;
};
struct RemoveTemporary {
  void operator()(TemporaryName* temporary) const;
};

struct Output {
  Stream file;  // where the bytes go while it is open
  OutputWay way = OutputWay::direct;
  Descriptor descriptor;  // the new file, or what is written through
  Place place;            // where the new file takes its name
  std::unique_ptr<TemporaryName, RemoveTemporary> temporary;
  bool existed = false;     // a file was there before
  FileIdentity old;         // that file
  bool cut = false;         // a file written as it stands: cut at its end
  bool sync = false;        // written as it stands, and sent to the disk
  bool wrong_kind = false;  // refused: a kind of file the command does not
                            // replace
  FileAccess previous;      // all that the new file keeps of the old one
  bool (*interrupted)() = nullptr;
  std::error_code error;  // why the last step failed
};

// Opens the output for what `found` found, for writing in binary mode.
// Nothing at the destination changes. False, with `output.error` set, when
// it cannot be written: a directory, a file this user may not write or that
// the rules refuse (`output.wrong_kind`), a folder where no file can be
// made, or where one could not be taken away again.
[[nodiscard]] bool open_output(DestinationFound found, const OutputRules& rules,
                               Output& output);

// Finishes the output and gives it its name: flushed, given all that it keeps
// of the file it replaces (permissions, owner and group, extended attributes
// and ACL), sent to the disk, named, and the folder sent to the disk. False,
// with `output.error` set, when any step fails or the name no longer holds
// what was found (EEXIST): the new file is then gone and the destination as
// it was, unless only the last step failed, when the complete new file is in
// place but may not survive a power cut. An interruption noted before the
// naming stops it the same way.
[[nodiscard]] bool commit_output(Output& output);

// Throws the unfinished output away: the stream is closed and the new file
// removed; the destination is as it was. What happens, too, to an output
// that goes out of scope.
void discard_output(Output& output);

// A temporary name from `base`, the destination's name, with a random
// number: "out.hy.partial-4f2a9c".
[[nodiscard]] std::filesystem::path temporary_name(
    const std::filesystem::path& base);

}  // namespace varnel
