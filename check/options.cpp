#include "check/options.h"

#include <algorithm>

namespace varnel {
namespace {

// A lone "-" is a name, as it is to most commands.
bool looks_like_option(std::string_view arg) {
  return arg.size() > 1 && arg.front() == '-';
}

Options usage() {
  Options options;
  options.request = Request::usage;
  return options;
}

}  // namespace

Options parse_options(std::span<const char* const> args) {
  Options options;
  std::size_t at = 0;
  bool ended = false;
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
    } else {
      Options wrong = usage();
      wrong.unknown_option = arg;
      return wrong;
    }
  }
  if (options.request != Request::check) {
    return options;
  }

  const std::span<const char* const> names = args.subspan(at);
  if (names.empty() || names.size() > 2) {
    return usage();
  }
  // An option after a name is taken for a mistake rather than for an image
  // file to create under that name.
  const auto misplaced =
      ended ? names.end()
            : std::find_if(names.begin(), names.end(), looks_like_option);
  if (misplaced != names.end()) {
    Options wrong = usage();
    wrong.misplaced_option = *misplaced;
    return wrong;
  }
  options.record_name = names[0];
  options.image_name = names.size() == 2 ? names[1] : nullptr;
  return options;
}

}  // namespace varnel
