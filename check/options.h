// varnel-check's command line: options first, then the record files.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace varnel {

enum class Request {
  check,    // check the files named
  help,     // -h, --help
  version,  // --version
  usage,    // wrong arguments: say what is wrong, print the usage, give up
};

struct Options {
  Request request = Request::check;
  bool list = false;   // --list: a line per record as it is verified
  bool quiet = false;  // -q: no report, only the error lines and the status
  // --all-faults: read on past wrong records and name every one.
  bool all_faults = false;
  // -o IMAGE: write the image of the one record file; null when not asked.
  const char* image_name = nullptr;
  // -c IMAGE: compare the data of the one record file with IMAGE ("-" is
  // standard input); null when not asked.
  const char* compare_name = nullptr;
  // --flash-image OUT: write what the flash holds once the records of the
  // one record file are written; null when not asked.
  const char* flash_name = nullptr;
  std::uint8_t fill = 0xFF;  // --fill XX: the byte of its gaps
  // For Request::check: the record files, in order; "-" is standard input.
  std::span<const char* const> record_names;
  // For Request::usage: what is wrong, in one line.
  std::string problem;
};

// Reads the arguments (the command line without the program name). Options
// come before the names; "--" ends them, so that a name may start with '-'.
[[nodiscard]] Options parse_options(std::span<const char* const> args);

}  // namespace varnel
