#include "files/output_file.h"

#include <array>
#include <cerrno>
#include <string>
#include <utility>

#include "console/interruption.h"
#include "files/argument_path.h"
#include "files/device.h"
#include "files/stream_position.h"

namespace varnel {

namespace fs = std::filesystem;

namespace {

// As many as the system itself follows before it gives up (ELOOP).
constexpr int kMaxLinks = 40;
// Names tried for a temporary file before giving up: others may be taken by
// files that runs killed outright have left.
constexpr std::uint32_t kTemporaryNames = 100;
// A new file gets what fopen would give it: read and write for all, less the
// umask.
constexpr unsigned kNewFileMode = 0666;
// The short name stands in where the destination's name is too long to take
// a suffix.
constexpr char kShortName[] = "varnel";

std::error_code errno_code() { return {errno, std::generic_category()}; }

Destination kind_of(const fs::file_status& status, bool through_link) {
  switch (status.type()) {
    case fs::file_type::not_found:
      return through_link ? Destination::dangling_link : Destination::nothing;
    case fs::file_type::regular:
      return Destination::regular_file;
    case fs::file_type::directory:
      return Destination::directory;
    default:
      return Destination::other;
  }
}

// "out.hy.partial-4f2a9c": whose it is and what it is, for whoever finds one
// left after a run that was killed outright.
fs::path temporary_name(const fs::path& directory, const fs::path& base,
                        std::uint32_t attempt) {
  const std::uint32_t number =
      (process_number() + attempt * 0x9E3779B9U) & 0xFFFFFFU;
  std::array<char, 16> suffix{};
  (void)std::snprintf(suffix.data(), suffix.size(), ".partial-%06x",
                      static_cast<unsigned>(number));
  fs::path name = base;
  name += suffix.data();
  return directory / name;
}

// Makes a new temporary file beside the output's target.
bool open_temporary(Output& output, unsigned mode) {
  const fs::path directory = output.target.parent_path();
  fs::path base = output.target.filename();
  std::error_code first_error;
  for (std::uint32_t attempt = 0; attempt < kTemporaryNames;) {
    output.temporary = temporary_name(directory, base, attempt++);
    std::error_code error;
    output.file = create_new_file(output.temporary, mode, error);
    if (output.file != nullptr) {
      output.way = OutputWay::replace;
      return true;
    }
    if (error == std::errc::file_exists) {
      continue;  // taken: another name
    }
    // Any other failure may come of the length of the name: the short name
    // is tried once before giving up, which reports the first failure.
    if (!first_error) {
      first_error = error;
    }
    if (base == kShortName) {
      break;
    }
    base = kShortName;
    attempt = 0;  // the names of the short name from the first again
  }
  output.temporary.clear();
  output.error =
      first_error ? first_error : std::make_error_code(std::errc::file_exists);
  return false;
}

bool flushed(std::FILE* file, std::error_code& error) {
  if (std::fflush(file) != 0) {
    error = errno_code();
    return false;
  }
  return true;
}

// Closes `file`; the close is where the last data may fail to reach it.
bool closed(std::FILE* file, std::error_code& error) {
  if (std::fclose(file) != 0) {
    error = errno_code();
    return false;
  }
  return true;
}

// An existing file written over: cut to what was written, and on the disk.
bool finish_in_place(std::FILE* file, std::error_code& error) {
  if (!flushed(file, error)) {
    return false;
  }
  const std::optional<std::uint64_t> end = stream_position(file);
  if (!end) {
    error = errno_code();
    return false;
  }
  return truncate_file(file, *end, error) && sync_file(file, error);
}

bool publish_replacement(Output& output, std::FILE* file) {
  std::error_code& error = output.error;
  // Once interrupted, the run publishes nothing: it is not even sent to the
  // disk, which can take long. A look before that, and one before the rename.
  // Everything of the old file is given to the new one before the sync, so
  // that the sync covers it too.
  const auto not_interrupted = [&error] {
    if (interrupted()) {
      error = std::make_error_code(std::errc::interrupted);
    }
    return !interrupted();
  };
  bool whole = flushed(file, error) && not_interrupted() &&
               (!output.existed || give_access(file, output.previous, error)) &&
               not_interrupted() && sync_file(file, error);
  whole = closed(file, error) && whole && not_interrupted();
  if (!whole ||
      !(output.existed
            ? replace_existing_file(output.temporary, output.target, error)
            : replace_file(output.temporary, output.target, error))) {
    std::error_code ignored;  // the failure is what gets reported
    fs::remove(output.temporary, ignored);
    output.temporary.clear();
    return false;
  }
  output.temporary.clear();
  return sync_directory(output.target.parent_path(), error);
}

}  // namespace

DestinationFound find_destination(const char* name) {
  DestinationFound found;
  found.path = path_from_argument(name);
  if (found.path.empty()) {
    found.error = std::make_error_code(std::errc::no_such_file_or_directory);
    return found;
  }
  // Links are followed by hand, so that one that leads nowhere still tells
  // where the new file goes.
  for (int links = 0;; ++links) {
    // Windows' reserved names (NUL, CON) and its device namespace are "not
    // found", or no name at all, to the file system, and still open as
    // devices: only asking tells.
    if (is_device(found.path)) {
      found.kind = Destination::other;
      return found;
    }
    std::error_code error;
    const fs::file_status status = fs::symlink_status(found.path, error);
    if (error && status.type() != fs::file_type::not_found) {
      found.error = error;
      return found;
    }
    if (!fs::is_symlink(status)) {
      found.kind = kind_of(status, links > 0);
      return found;
    }
    if (links == kMaxLinks) {
      found.error =
          std::make_error_code(std::errc::too_many_symbolic_link_levels);
      return found;
    }
    const fs::path to = fs::read_symlink(found.path, error);
    if (error) {
      found.error = error;
      return found;
    }
    found.path = to.is_absolute() ? to : found.path.parent_path() / to;
  }
}

bool open_output(const char* name, const DestinationFound& found,
                 Output& output) {
  output = Output{};
  output.target = path_for_system(found.path);
  ignore_file_size_signal();
  switch (found.kind) {
    case Destination::other:
      // Written as it is, as to any program.
      output.way = OutputWay::direct;
      output.file = std::fopen(name, "wb");
      if (output.file == nullptr) {
        output.error = errno_code();
      }
      return output.file != nullptr;
    case Destination::directory:
      output.error = std::make_error_code(std::errc::is_a_directory);
      return false;
    case Destination::unusable:
      output.error = found.error;
      return false;
    case Destination::nothing:
    case Destination::dangling_link:
      return open_temporary(output, kNewFileMode);
    case Destination::regular_file:
      break;
  }
  // Opening it for writing is what tells whether this user may replace it.
  std::FILE* existing = open_existing_for_writing(found.path, output.error);
  if (existing == nullptr) {
    return false;
  }
  output.existed = true;
  output.previous = access_of(existing);
  // All that the new file is to keep is read now, before anything is written:
  // a file whose attributes cannot be read cannot be replaced whole.
  if (!read_attributes(existing, output.previous, output.error)) {
    (void)std::fclose(existing);  // nothing was written through it
    return false;
  }
  // The data is no more open to others while it is written than after.
  const unsigned mode = output.previous.known
                            ? output.previous.mode & kNewFileMode
                            : kNewFileMode;
  if (open_temporary(output, mode)) {
    (void)std::fclose(existing);  // nothing was written through it
    return true;
  }
  // No file may be made beside it (a folder this user may not write to):
  // written over, as all that can be done. Any other failure is reported.
  if (output.error != std::errc::permission_denied &&
      output.error != std::errc::operation_not_permitted) {
    (void)std::fclose(existing);
    return false;
  }
  output.way = OutputWay::in_place;
  output.file = existing;
  output.error.clear();
  return true;
}

bool publish_output(Output& output) {
  std::FILE* file = std::exchange(output.file, nullptr);
  switch (output.way) {
    case OutputWay::direct: {
      const bool sent = flushed(file, output.error);
      return closed(file, output.error) && sent;
    }
    case OutputWay::in_place: {
      const bool finished = finish_in_place(file, output.error);
      return closed(file, output.error) && finished;
    }
    case OutputWay::replace:
      break;
  }
  return publish_replacement(output, file);
}

void discard_output(Output& output) {
  std::error_code ignored;  // thrown away after a failure already reported
  if (std::FILE* file = std::exchange(output.file, nullptr)) {
    if (output.way == OutputWay::in_place) {
      // Written over in part, the old file is lost anyway: a file cut off
      // could pass for a whole one, an empty one cannot.
      (void)std::fflush(file);
      if (stream_position(file).value_or(1) != 0) {
        (void)truncate_file(file, 0, ignored);
      }
    }
    (void)std::fclose(file);
  }
  if (!output.temporary.empty()) {
    fs::remove(output.temporary, ignored);
    output.temporary.clear();
  }
}

}  // namespace varnel
