#include "files/output_file.h"

#include <array>
#include <cerrno>
#include <cstddef>
#include <utility>

#include "console/interruption.h"
#include "files/temporary_file.h"

namespace varnel {

namespace fs = std::filesystem;

namespace {

// A new file gets what fopen would give it: read and write for all, less the
// umask.
constexpr unsigned kNewFileMode = 0666;
// As much of an existing file as is read to tell its kind: a record header.
constexpr std::size_t kFirstBytes = 9;

std::error_code errno_code() { return {errno, std::generic_category()}; }

// The folder that holds the output's target.
fs::path folder_of(const fs::path& target) {
  const fs::path parent = target.parent_path();
  return parent.empty() ? fs::path(".") : parent;
}

// Makes the temporary file beside the output's target.
bool open_temporary(Output& output, unsigned mode) {
  output.file =
      create_temporary(folder_of(output.target), output.target.filename(), mode,
                       output.temporary, output.error);
  if (output.file == nullptr) {
    output.temporary.clear();
    return false;
  }
  output.way = OutputWay::replace;
  return true;
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

// Opens the existing file that `found` found, to learn whether this user may
// write it and whether `may_replace` lets the command replace it: judged on
// the very file opened, which must still be the one found.
bool open_existing(const DestinationFound& found, ReplaceCheck may_replace,
                   Output& output) {
  std::FILE* existing = open_existing_for_update(found.path, output.error);
  if (existing == nullptr) {
    return false;
  }
  // Interrupted meanwhile, the run goes no further: not even a read.
  if (interrupted()) {
    output.error = std::make_error_code(std::errc::interrupted);
    (void)std::fclose(existing);
    return false;
  }
  std::array<std::uint8_t, kFirstBytes> first{};
  const std::size_t got = std::fread(first.data(), 1, first.size(), existing);
  if (got < first.size() && std::ferror(existing) != 0) {
    output.error = errno_code();
    (void)std::fclose(existing);  // only read
    return false;
  }
  if (!is_file_found(existing, found)) {
    // Another file has taken its name since it was looked up.
    output.error =
        std::make_error_code(std::errc::resource_unavailable_try_again);
    (void)std::fclose(existing);
    return false;
  }
  if (!may_replace(std::span<const std::uint8_t>(first.data(), got))) {
    output.wrong_kind = true;
    output.error = std::make_error_code(std::errc::file_exists);
    (void)std::fclose(existing);
    return false;
  }
  output.existed = true;
  output.previous = access_of(existing);
  // All that the new file is to keep is read now, before anything is written:
  // a file whose attributes cannot be read cannot be replaced whole.
  const bool read = read_attributes(existing, output.previous, output.error);
  (void)std::fclose(existing);  // nothing was written through it
  return read;
}

// Removes the temporary file's name, if it has one: what an output that
// will not be published leaves behind.
void remove_temporary(Output& output) {
  if (!output.temporary.empty()) {
    std::error_code ignored;  // the failure that got here is what counts
    fs::remove(output.temporary, ignored);
    output.temporary.clear();
  }
}

// Gives the named temporary file the destination's name, in one step.
bool take_the_name(Output& output) {
  return replace_file(output.temporary, output.target, output.error);
}

// Gives the temporary file without a name, whole and on the disk, the
// destination's name: a new file takes it at once; one that replaces a file
// takes a name of its own, renamed onto the destination at once, so that
// hardly an instant passes with both names there. The stream is closed
// after: nothing is left to write. `go_on`: nothing stands in the way.
bool publish_unnamed(Output& output, std::FILE* file, bool go_on) {
  std::error_code& error = output.error;
  bool published = false;
  if (go_on && !output.existed) {
    published = give_name(file, output.target, error);
  } else if (go_on && name_temporary(file, folder_of(output.target),
                                     output.target.filename(), output.temporary,
                                     error)) {
    published = take_the_name(output);
    if (published) {
      output.temporary.clear();
    }
  }
  // Closed once published, the new file stays whatever the close says.
  const bool closed_well = closed(file, error);
  if (!published) {
    remove_temporary(output);
    return false;
  }
  return closed_well && sync_directory(folder_of(output.target), error);
}

bool publish_replacement(Output& output, std::FILE* file) {
  std::error_code& error = output.error;
  // Once interrupted, the run publishes nothing: it is not even sent to the
  // disk, which can take long. A look before that, and one before the name
  // is given. Everything of the old file is given to the new one before the
  // sync, so that the sync covers it too.
  const auto not_interrupted = [&error] {
    if (interrupted()) {
      error = std::make_error_code(std::errc::interrupted);
    }
    return !interrupted();
  };
  bool whole = flushed(file, error) && not_interrupted() &&
               (!output.existed || give_access(file, output.previous, error)) &&
               not_interrupted() && sync_file(file, error) &&
               keep_temporary(file, error);
  // A temporary file without a name gets one only now: until then nothing
  // of it could be left behind.
  if (output.temporary.empty()) {
    return publish_unnamed(output, file, whole && not_interrupted());
  }
  whole = closed(file, error) && whole && not_interrupted();
  if (!whole || !take_the_name(output)) {
    remove_temporary(output);
    return false;
  }
  output.temporary.clear();
  return sync_directory(folder_of(output.target), error);
}

}  // namespace

bool open_output(const char* name, const DestinationFound& found,
                 ReplaceCheck may_replace, Output& output) {
  output = Output{};
  output.target = path_for_system(found.path);
  ignore_file_size_signal();
  switch (found.kind) {
    case Destination::descriptor:
      // A descriptor the program was given open: written where it stands,
      // as its owner set it up (appending, say).
      output.way = OutputWay::direct;
      output.file = open_descriptor_for_writing(found.descriptor, output.error);
      return output.file != nullptr;
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
  if (!open_existing(found, may_replace, output)) {
    return false;
  }
  // The data is no more open to others while it is written than after.
  const unsigned mode = output.previous.known
                            ? output.previous.mode & kNewFileMode
                            : kNewFileMode;
  // Where no temporary file can be made beside it (a folder this user may
  // not write to), it is not written over in place: a file written in place
  // can never be known whole, and a failure would leave it neither old nor
  // new.
  return open_temporary(output, mode);
}

bool publish_output(Output& output) {
  std::FILE* file = std::exchange(output.file, nullptr);
  if (output.way == OutputWay::direct) {
    const bool sent = flushed(file, output.error);
    return closed(file, output.error) && sent;
  }
  return publish_replacement(output, file);
}

void discard_output(Output& output) {
  if (std::FILE* file = std::exchange(output.file, nullptr)) {
    (void)std::fclose(file);  // thrown away after a failure already reported
  }
  remove_temporary(output);
}

}  // namespace varnel
