#include "check/options.h"

#include <algorithm>
#include <optional>

#include "console/command_line.h"
#include "console/quoting.h"

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

// An option that takes a value, in any of its spellings: "-o NAME", "-oNAME",
// "--output NAME" and "--output=NAME"; the short ones only where it has one.
struct ValuedOption {
  std::string_view short_form;  // empty for none
  std::string_view long_form;
};

constexpr ValuedOption kOutput{"-o", "--output"};
constexpr ValuedOption kCompare{"-c", "--compare"};
constexpr ValuedOption kFlashImage{"", "--flash-image"};
constexpr ValuedOption kFill{"", "--fill"};

// An option of that kind as given.
struct ImageOption {
  bool given = false;
  std::string_view spelling;   // the option as written: -o or --output
  const char* name = nullptr;  // null when missing at the end of the line
};

// The option `option` at `at`, if it is there; moves `at` past a value it
// takes from the next argument.
ImageOption image_option(std::span<const char* const> args, std::size_t& at,
                         const ValuedOption& option) {
  const std::string_view arg = args[at];
  const std::string_view short_form = option.short_form;
  const std::string_view long_form = option.long_form;
  if ((!short_form.empty() && arg == short_form) || arg == long_form) {
    return {true, arg, at + 1 < args.size() ? args[++at] : nullptr};
  }
  if (arg.size() > long_form.size() && arg.starts_with(long_form) &&
      arg[long_form.size()] == '=') {
    return {true, long_form, args[at] + long_form.size() + 1};
  }
  if (!short_form.empty() && arg.starts_with(short_form)) {
    return {true, short_form, args[at] + short_form.size()};
  }
  return {};
}

// What is wrong with the name given with `image`, when `already` is the name
// given with it before (null for none); empty when nothing is. `needs` is
// what the option takes. Standard input is `takes_standard_input` only.
std::string image_problem(const ImageOption& image, const char* already,
                          std::string_view needs, bool takes_standard_input) {
  const std::string spelling = quoted(image.spelling);
  if (image.name == nullptr) {
    return spelling + " needs " + std::string(needs);
  }
  if (*image.name == '\0') {
    return spelling + " with an empty name: no file has it";
  }
  if (already != nullptr) {
    return spelling + " given twice: one image at a time";
  }
  if (!takes_standard_input && std::string_view(image.name) == "-") {
    return spelling + " takes a file name: the report goes to standard output";
  }
  return {};
}

// The byte given with --fill, two hexadecimal digits, in `fill`; what is
// wrong with it, or nothing.
std::string fill_problem(const ImageOption& option, bool given_before,
                         std::uint8_t& fill) {
  const std::string spelling = quoted(option.spelling);
  if (option.name == nullptr) {
    return spelling + " needs a byte: two hexadecimal digits, such as FF";
  }
  if (given_before) {
    return spelling + " given twice: one byte at a time";
  }
  const std::string_view text = option.name;
  const std::optional<std::uint8_t> high =
      text.size() == 2 ? hex_digit_value(text[0]) : std::nullopt;
  const std::optional<std::uint8_t> low =
      text.size() == 2 ? hex_digit_value(text[1]) : std::nullopt;
  if (!high || !low) {
    return spelling + " takes two hexadecimal digits, such as FF, not " +
           quoted(text);
  }
  fill = static_cast<std::uint8_t>(*high << 4U | *low);
  return {};
}

// The options as they were written, for the messages about them; empty for
// those not given.
struct Spellings {
  std::string_view image;
  std::string_view compare;
  std::string_view flash;
  std::string_view fill;
  std::string_view quiet;
};

// What is wrong with the options given together; empty when nothing is.
std::string combination_problem(const Options& options,
                                const Spellings& spelled) {
  if (options.quiet && options.list) {
    return quoted(spelled.quiet) +
           " with \"--list\": a quiet run prints no listing";
  }
  if (!spelled.fill.empty() && options.flash_name == nullptr) {
    return quoted(spelled.fill) +
           " goes with \"--flash-image\": it fills the gaps of that image";
  }
  // The image, the comparison and the flash image each read the one record
  // file their own way: one at a time.
  std::string_view first;
  for (const std::string_view spelling :
       {spelled.image, spelled.compare, spelled.flash}) {
    if (spelling.empty()) {
      continue;
    }
    if (!first.empty()) {
      return quoted(spelling) + " with " + quoted(first) +
             ": one of -o, -c and --flash-image at a time";
    }
    first = spelling;
  }
  return {};
}

// What is wrong with the record files named, once the options are read;
// empty when nothing is. `ended`: "--" came before them.
std::string names_problem(const Options& options, bool ended,
                          const Spellings& spelled) {
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
  const bool image_from_standard_input =
      options.compare_name != nullptr &&
      std::string_view(options.compare_name) == "-";
  if (std::count_if(names.begin(), names.end(),
                    [](std::string_view name) { return name == "-"; }) +
          (image_from_standard_input ? 1 : 0) >
      1) {
    return "\"-\" named twice: standard input is read once";
  }
  if (names.size() > 1) {
    const std::string count = std::to_string(names.size());
    if (options.image_name != nullptr) {
      return quoted(spelled.image) +
             " writes the image of one record file, not of " + count;
    }
    if (options.flash_name != nullptr) {
      return quoted(spelled.flash) +
             " writes the image of one record file, not of " + count;
    }
    if (options.compare_name != nullptr) {
      return quoted(spelled.compare) +
             " compares the data of one record file, not of " + count;
    }
  }
  return {};
}

}  // namespace

Options parse_options(std::span<const char* const> args) {
  Options options;
  std::size_t at = 0;
  bool ended = false;
  Spellings spelled;
  for (; at < args.size() && looks_like_option(args[at]); ++at) {
    const std::string_view arg = args[at];
    if (arg == "--") {
      ended = true;
      ++at;
      break;
    }
    std::string problem;
    if (arg == "-h" || arg == "--help") {
      options.request = Request::help;
    } else if (arg == "--version") {
      // Help wins when both are asked for: it says what --version does.
      if (options.request != Request::help) {
        options.request = Request::version;
      }
    } else if (arg == "--list") {
      options.list = true;
    } else if (arg == "-q" || arg == "--quiet") {
      options.quiet = true;
      spelled.quiet = arg;
    } else if (arg == "--all-faults") {
      options.all_faults = true;
    } else if (const ImageOption image = image_option(args, at, kOutput);
               image.given) {
      problem = image_problem(image, options.image_name,
                              "the name of the image to write", false);
      options.image_name = image.name;
      spelled.image = image.spelling;
    } else if (const ImageOption compare = image_option(args, at, kCompare);
               compare.given) {
      problem = image_problem(compare, options.compare_name,
                              "the name of the image to compare with", true);
      options.compare_name = compare.name;
      spelled.compare = compare.spelling;
    } else if (const ImageOption flash = image_option(args, at, kFlashImage);
               flash.given) {
      problem = image_problem(flash, options.flash_name,
                              "the name of the image to write", false);
      options.flash_name = flash.name;
      spelled.flash = flash.spelling;
    } else if (const ImageOption fill = image_option(args, at, kFill);
               fill.given) {
      problem = fill_problem(fill, !spelled.fill.empty(), options.fill);
      spelled.fill = fill.spelling;
    } else {
      problem = "unknown option " + quoted(arg);
    }
    if (!problem.empty()) {
      return wrong(std::move(problem));
    }
  }
  if (options.request != Request::check) {
    return options;
  }
  options.record_names = args.subspan(at);
  std::string problem = combination_problem(options, spelled);
  if (problem.empty()) {
    problem = names_problem(options, ended, spelled);
  }
  if (!problem.empty()) {
    return wrong(std::move(problem));
  }
  return options;
}

}  // namespace varnel
