// varnel-check's command line: options first, then the file names.
#pragma once

#include <span>
#include <string_view>

namespace varnel {

enum class Request {
  check,    // check the files named
  help,     // -h, --help
  version,  // --version
  usage,    // wrong arguments: print the usage and give up
};

struct Options {
  Request request = Request::check;
  bool list = false;  // --list: a line per record as it is verified
  // For Request::check: the record file, and the image file if one is named.
  const char* record_name = nullptr;
  const char* image_name = nullptr;
  // For Request::usage, when one argument was the trouble: an option that
  // does not exist, or one that came after a file name.
  std::string_view unknown_option;
  std::string_view misplaced_option;
};

// Reads the arguments (the command line without the program name). Options
// come before the names; "--" ends them, so that a name may start with '-'.
[[nodiscard]] Options parse_options(std::span<const char* const> args);

}  // namespace varnel
