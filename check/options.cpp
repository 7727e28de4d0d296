#include "check/options.h"

#include <algorithm>

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

// The text in double quotes, as the messages name files and options.
std::string quoted(std::string_view text) {
  std::string quoted(1, '"');
  quoted += text;
  quoted += '"';
  return quoted;
}

// The image name given with -o in any of its spellings: "-o NAME", "-oNAME",
// "--output NAME" and "--output=NAME". Moves `at` past what it takes. Sets
// `spelling` to the option as written; null when `arg` is none of them, and
// also when the name is missing at the end of the line (`spelling` then set).
const char* image_option(std::span<const char* const> args, std::size_t& at,
                         std::string_view& spelling) {
  const std::string_view arg = args[at];
  constexpr std::string_view kLong = "--output";
  if (arg == "-o" || arg == kLong) {
    spelling = arg;
    return at + 1 < args.size() ? args[++at] : nullptr;
  }
  if (arg.starts_with("--output=")) {
    spelling = kLong;
    return args[at] + kLong.size() + 1;
  }
  if (arg.starts_with("-o")) {
    spelling = "-o";
    return args[at] + 2;
  }
  return nullptr;
}

}  // namespace

Options parse_options(std::span<const char* const> args) {
  Options options;
  std::size_t at = 0;
  bool ended = false;
  std::string_view image_spelling;
  for (; at < args.size() && looks_like_option(args[at]); ++at) {
    const std::string_view arg = args[at];
    std::string_view spelling;
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
    } else if (const char* image = image_option(args, at, spelling);
               image != nullptr || !spelling.empty()) {
      if (image == nullptr) {
        return wrong(quoted(spelling) +
                     " needs the name of the image to write");
      }
      if (*image == '\0') {
        return wrong(quoted(spelling) + " with an empty name: no file has it");
      }
      if (options.image_name != nullptr) {
        return wrong(quoted(spelling) + " given twice: one image at a time");
      }
      if (std::string_view(image) == "-") {
        return wrong(quoted(spelling) +
                     " takes a file name: the report goes to standard output");
      }
      options.image_name = image;
      image_spelling = spelling;
    } else {
      return wrong("unknown option " + quoted(arg));
    }
  }
  if (options.request != Request::check) {
    return options;
  }

  options.record_names = args.subspan(at);
  // An option after a name is taken for a mistake rather than for a record
  // file of that name.
  const auto misplaced =
      ended ? options.record_names.end()
            : std::find_if(options.record_names.begin(),
                           options.record_names.end(), looks_like_option);
  if (misplaced != options.record_names.end()) {
    return wrong(quoted(*misplaced) +
                 " after a file name: options come first, and a name that "
                 "starts with '-' comes after \"--\"");
  }
  if (options.record_names.empty()) {
    return wrong("no record file named");
  }
  if (std::count_if(options.record_names.begin(), options.record_names.end(),
                    [](std::string_view name) { return name == "-"; }) > 1) {
    return wrong("\"-\" named twice: standard input is read once");
  }
  if (options.image_name != nullptr && options.record_names.size() > 1) {
    return wrong(quoted(image_spelling) +
                 " writes the image of one record file, not of " +
                 std::to_string(options.record_names.size()));
  }
  return options;
}

}  // namespace varnel
