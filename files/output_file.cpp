#include "files/output_file.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

namespace varnel {

namespace fs = std::filesystem;

namespace {

// A new file gets what fopen would give it: read and write for all, less the
// umask; one that replaces a file, no more than that file gave.
constexpr unsigned kNewFileMode = 0666;
// Names tried for a temporary file before giving up: others may be taken,
// by files that other programs or users made.
constexpr std::uint32_t kTemporaryNames = 100;
// The short name stands in where the destination's name is too long to take
// a suffix.
constexpr char kShortName[] = "varnel";

std::uint32_t random_number() {
  if (const std::optional<std::uint32_t> drawn = system_random_number()) {
    return *drawn;
  }
  // Where the system has none to give: the clock, this process, and a count.
  static std::uint32_t drawn_before = 0;
  const auto now = static_cast<std::uint64_t>(
      std::chrono::steady_clock::now().time_since_epoch().count());
  return static_cast<std::uint32_t>(now ^ (now >> 32U)) ^
         (process_number() * 0x9E3779B9U) ^ (++drawn_before * 0x85EBCA6BU);
}

// Tries `make` on temporary names beside `place`'s name until one is not
// taken: true, with the name in `named`. Any other failure may come of the
// length of the name: the short name is tried before giving up, which
// reports the first failure.
template <typename Make>
bool with_free_name(const Place& place, Make make, fs::path& named,
                    std::error_code& error) {
  fs::path base = place.name.filename();
  std::error_code first_error;
  for (std::uint32_t attempt = 0; attempt < kTemporaryNames;) {
    ++attempt;
    // Beside the destination: in its folder, or on Windows in the folder
    // of its full path.
    const fs::path name = place.name.parent_path() / temporary_name(base);
    std::error_code failed;
    if (make(name, failed)) {
      named = name;
      return true;
    }
    if (failed == std::errc::file_exists) {
      continue;  // taken: another name
    }
    if (!first_error) {
      first_error = failed;
    }
    if (base == kShortName) {
      break;
    }
    base = kShortName;
    attempt = 0;  // as many names of the short name
  }
  error =
      first_error ? first_error : std::make_error_code(std::errc::file_exists);
  return false;
}

// A temporary name to be given, in the folder of `place`: owned before the
// file has it, so that nothing is left named once it has. Null when there is
// not the memory for it, or no copy of the folder.
std::unique_ptr<TemporaryName, RemoveTemporary> new_temporary(
    const Place& place, std::error_code& error) {
  std::unique_ptr<TemporaryName, RemoveTemporary> temporary{
      new (std::nothrow) TemporaryName{}};
  if (!temporary) {
    error = std::make_error_code(std::errc::not_enough_memory);
    return nullptr;
  }
  if (place.folder) {
    temporary->folder = copy_of(place.folder, error);
    if (!temporary->folder) {
      return nullptr;
    }
  }
  return temporary;
}

bool not_interrupted(Output& output) {
  if (output.interrupted != nullptr && output.interrupted()) {
    output.error = std::make_error_code(std::errc::interrupted);
    return false;
  }
  return true;
}

// Reads what the existing file found holds, to learn whether this user may
// write it, whether the rules let the command replace it, and what the new
// file keeps of it: all on the very file found.
bool read_old(const DestinationFound& found, const OutputRules& rules,
              Output& output) {
  if (!may_write(found.held, found.place, output.error) ||
      !not_interrupted(output)) {
    return false;
  }
  // As many as it had when it was looked at: a read that comes up short of
  // them is read on.
  // No more than first_bytes, so the count fits a size_t on 32-bit systems.
  std::vector<std::uint8_t> first(static_cast<std::size_t>(
      std::min<std::uint64_t>(rules.first_bytes, found.size)));
  const std::optional<std::size_t> got =
      read_at(found.held, 0, first, output.error);
  if (!got) {
    return false;
  }
  if (!rules.may_replace(std::span(first.data(), *got))) {
    output.wrong_kind = true;
    output.error = std::make_error_code(std::errc::file_exists);
    return false;
  }
  output.existed = true;
  output.old = found.identity;
  // All that the new file is to keep is read now, before anything is
  // written: a file whose attributes cannot be read cannot be replaced whole.
  return read_access(found.held, output.previous, output.error);
}

// Whether what the output's descriptor holds from where it stands is what
// the command replaces: for a file, up to the end it had when it was looked
// at; a block device holds what was there before whatever its length says,
// so it is never empty, and holds the kind only with all of its first bytes.
bool holds_the_kind(const DestinationFound& found, const OutputRules& rules,
                    Output& output) {
  const std::optional<std::uint64_t> at = position_of(output.descriptor);
  if (!at) {
    output.error = errno_error();
    return false;
  }
  const std::uint64_t left = found.block_device ? rules.first_bytes
                             : *at < found.size ? found.size - *at
                                                : 0;
  // No more than first_bytes, so the count fits a size_t on 32-bit systems.
  std::vector<std::uint8_t> first(static_cast<std::size_t>(
      std::min<std::uint64_t>(rules.first_bytes, left)));
  const std::optional<std::size_t> got =
      read_at(output.descriptor, *at, first, output.error);
  if (!got) {
    return false;
  }
  if ((found.block_device && *got < first.size()) ||
      !rules.may_replace(std::span(first.data(), *got))) {
    output.wrong_kind = true;
    output.error = std::make_error_code(std::errc::file_exists);
    return false;
  }
  return true;
}

// A descriptor, a device, a FIFO: written as it is, where it stands. A file
// reached through a descriptor is written from where it stands (another
// process's, from its start) and cut there at the end, and only where what
// it holds from there is what the command replaces; one that appends is
// only added to. A block device is written only where it holds what the
// command replaces. Either is sent to the disk at the end; a file loses
// what gave its old contents a privilege.
bool open_direct(const DestinationFound& found, const OutputRules& rules,
                 Output& output) {
  output.way = OutputWay::direct;
  output.descriptor = open_for_writing(found, output.error);
  if (!output.descriptor) {
    return false;
  }
  const bool file =
      found.kind == Destination::descriptor && found.descriptor_is_file;
  output.cut = file && !appends(output.descriptor);
  if ((output.cut || found.block_device) &&
      !holds_the_kind(found, rules, output)) {
    return false;
  }
  if (file && !drop_privileges(output.descriptor, output.error)) {
    return false;
  }
  output.sync = output.cut || found.block_device;
  output.file = stream_on(output.descriptor, output.error);
  return output.file != nullptr;
}

// Makes the new file in the output's folder: without a name where the system
// can, else under a free temporary one.
bool open_new(Output& output) {
  // Where names cannot be taken away, neither a temporary name nor the old
  // file could be: refused before anything is made.
  const bool names_go = names_can_go(output.place);
  const auto refuse_here = [&output] {
    output.error = std::make_error_code(std::errc::operation_not_permitted);
    return false;
  };
  if (output.existed && !names_go) {
    return refuse_here();
  }
  // The data is no more open to others while it is written than after.
  const unsigned mode =
      output.existed ? output.previous.mode & kNewFileMode : kNewFileMode;
  output.descriptor = create_unnamed(output.place, mode, output.error);
  if (!output.descriptor) {
    if (!names_go) {
      return refuse_here();
    }
    if (!(output.temporary = new_temporary(output.place, output.error)) ||
        !with_free_name(
            output.place,
            [&output, mode](const fs::path& name, std::error_code& failed) {
              output.descriptor =
                  create_named(output.place, name, mode, failed);
              return output.descriptor != nullptr;
            },
            output.temporary->name, output.error)) {
      return false;
    }
  }
  output.file = stream_on(output.descriptor, output.error);
  output.way = OutputWay::replace;
  return output.file != nullptr;
}

// Gives the new file, whole and on the disk, the destination's name, where
// the name still holds what was found there.
bool take_the_name(Output& output) {
  if (!output.existed) {
    if (!output.temporary) {
      return link_unnamed(output.descriptor, output.place, output.place.name,
                          output.error);
    }
    // By its name alone from here: Windows renames no file it holds open.
    output.descriptor.reset();
    if (!rename_new(output.place, output.temporary->name, output.error)) {
      return false;
    }
    output.temporary->name.clear();  // it is the destination's now
    return true;
  }
  // A file without a name takes a name of its own first, exchanged with the
  // old file's at once: hardly an instant passes with both names there.
  if (!output.temporary &&
      (!(output.temporary = new_temporary(output.place, output.error)) ||
       !with_free_name(
           output.place,
           [&output](const fs::path& name, std::error_code& failed) {
             return link_unnamed(output.descriptor, output.place, name, failed);
           },
           output.temporary->name, output.error))) {
    return false;
  }
  output.descriptor.reset();
  bool temporary_is_new = true;
  const bool replaced = replace_old(output.place, output.temporary->name,
                                    output.old, temporary_is_new, output.error);
  if (replaced || !temporary_is_new) {
    output.temporary->name.clear();  // gone, or another's to keep
  }
  return replaced;
}

bool closed(Stream file, std::error_code& error) {
  if (!file) {
    error = std::make_error_code(std::errc::bad_file_descriptor);
    return false;  // committed or thrown away already
  }
  const bool flushed = std::fflush(file.get()) == 0;
  if (!flushed) {
    error = errno_error();
  }
  // Closed by hand: the close is where the last data may fail to reach it.
  if (std::fclose(file.release()) != 0 && flushed) {
    error = errno_error();
    return false;
  }
  return flushed;
}

}  // namespace

void RemoveTemporary::operator()(TemporaryName* temporary) const {
  if (!temporary->name.empty()) {
    remove_name(temporary->folder, temporary->name);
  }
  delete temporary;  // NOLINT(cppcoreguidelines-owning-memory)
}

fs::path temporary_name(const fs::path& base) {
  std::array<char, 16> suffix{};
  (void)std::snprintf(suffix.data(), suffix.size(), ".partial-%06x",
                      static_cast<unsigned>(random_number() & 0xFFFFFFU));
  fs::path name = base;
  name += suffix.data();
  return name;
}

bool open_output(DestinationFound found, const OutputRules& rules,
                 Output& output) {
  discard_output(output);
  output = Output{};
  output.interrupted = rules.interrupted;
  ignore_file_size_signal();
  switch (found.kind) {
    case Destination::unusable:
      output.error = found.error;
      return false;
    case Destination::directory:
      output.error = std::make_error_code(std::errc::is_a_directory);
      return false;
    case Destination::descriptor:
    case Destination::other:
      return open_direct(found, rules, output);
    case Destination::regular_file:
      if (!read_old(found, rules, output)) {
        return false;
      }
      break;
    case Destination::nothing:
    case Destination::dangling_link:
      break;
  }
  found.held.reset();  // all that was needed of it is read
  output.place = std::move(found.place);
  if (!open_new(output)) {
    discard_output(output);
    return false;
  }
  return true;
}

bool commit_output(Output& output) {
  if (output.way == OutputWay::direct) {
    const bool written =
        closed(std::move(output.file), output.error) &&
        (!output.cut || cut_here(output.descriptor, output.error)) &&
        (!output.sync || sync_file(output.descriptor, output.error));
    output.descriptor.reset();
    return written;
  }
  // Once interrupted, the run names nothing: it is not even sent to the
  // disk, which can take long. Everything of the old file is given to the
  // new one before the sync, so that the sync covers it too.
  const bool whole =
      closed(std::move(output.file), output.error) && not_interrupted(output) &&
      (!output.existed ||
       give_access(output.descriptor, output.previous, output.error)) &&
      not_interrupted(output) && sync_file(output.descriptor, output.error) &&
      keep_temporary(output.descriptor, output.error) &&
      not_interrupted(output) && take_the_name(output);
  discard_output(output);  // nothing is left to remove once it has its name
  return whole && sync_folder(output.place, output.error);
}

void discard_output(Output& output) {
  output.file.reset();  // thrown away after a failure already reported
  output.temporary.reset();
  output.descriptor.reset();
}

}  // namespace varnel
