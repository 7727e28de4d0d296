#include "check/options.h"

#include <algorithm>

#include "check/quoting.h"

namespace varnel {
namespace {

// A lone "-" is a name, standard input, as it is to most commands.
bool looks_like_option(std::string_view arg) {
  return arg.size() > 1 && arg.front() == '-';
}

Options wrong(std::string problem) {
  Options options;
  options.request = Request::usage;
  options.problem = std::move(problem);
  return options;
}

// An image option in any of its spellings: "-o NAME", "-oNAME", "--output
// NAME" and "--output=NAME".
struct ImageOption {
  bool given = false;
  std::string_view spelling;   // the option as written: -o or --output
  const char* name = nullptr;  // null when missing at the end of the line
};

// The image option at `at`, if it is one; moves `at` past a name it takes
// from the next argument.
ImageOption image_option(std::span<const char* const> args, std::size_t& at) {
  const std::string_view arg = args[at];
  constexpr std::string_view kLong = "--output";
  if (arg == "-o" || arg == kLong) {
    return {true, arg, at + 1 < args.size() ? args[++at] : nullptr};
  }
  if (arg.starts_with("--output=")) {
    return {true, kLong, args[at] + kLong.size() + 1};
  }
  if (arg.starts_with("-o")) {
    return {true, "-o", args[at] + 2};
  }
  return {};
}

// What is wrong with `image`, the name given with the option written
// `spelling`, to `options` so far; empty when nothing is.
std::string image_problem(const char* image, std::string_view spelling,
                          const Options& options) {
  if (image == nullptr) {
    return quoted(spelling) + " needs the name of the image to write";
  }
  if (*image == '\0') {
    return quoted(spelling) + " with an empty name: no file has it";
  }
  if (options.image_name != nullptr) {
    return quoted(spelling) + " given twice: one image at a time";
  }
  if (std::string_view(image) == "-") {
    return quoted(spelling) +
           " takes a file name: the report goes to standard output";
  }
  return {};
}

// What is wrong with the record files named, once the options are read;
// empty when nothing is. `ended`: "--" came before them.
std::string names_problem(const Options& options, bool ended,
                          std::string_view image_spelling) {
  const auto names = options.record_names;
  // An option after a name is taken for a mistake rather than for a record
  // file of that name.
  const auto misplaced =
      ended ? names.end()
            : std::find_if(names.begin(), names.end(), looks_like_option);
  if (misplaced != names.end()) {
    return quoted(*misplaced) +
           " after a file name: options come first, and a name that starts "
           "with '-' comes after \"--\"";
  }
  if (names.empty()) {
    return "no record file named";
  }
  if (std::count_if(names.begin(), names.end(),
                    [](std::string_view name) { return name == "-"; }) > 1) {
    return "\"-\" named twice: standard input is read once";
  }
  if (options.image_name != nullptr && names.size() > 1) {
    return quoted(image_spelling) +
           " writes the image of one record file, not of " +
           std::to_string(names.size());
  }
  return {};
}

}  // namespace

Options parse_options(std::span<const char* const> args) {
  Options options;
  std::size_t at = 0;
  bool ended = false;
  std::string_view image_spelling;
  for (; at < args.size() && looks_like_option(args[at]); ++at) {
    const std::string_view arg = args[at];
    if (arg == "--") {
      ended = true;
      ++at;
      break;
    }
    if (arg == "-h" || arg == "--help") {
      options.request = Request::help;
    } else if (arg == "--version") {
      // Help wins when both are asked for: it says what --version does.
      if (options.request != Request::help) {
        options.request = Request::version;
      }
    } else if (arg == "--list") {
      options.list = true;
    } else if (const ImageOption image = image_option(args, at); image.given) {
      std::string problem = image_problem(image.name, image.spelling, options);
      if (!problem.empty()) {
        return wrong(std::move(problem));
      }
      options.image_name = image.name;
      image_spelling = image.spelling;
    } else {
      return wrong("unknown option " + quoted(arg));
    }
  }
  if (options.request != Request::check) {
    return options;
  }
  options.record_names = args.subspan(at);
  std::string problem = names_problem(options, ended, image_spelling);
  if (!problem.empty()) {
    return wrong(std::move(problem));
  }
  return options;
}

}  // namespace varnel
