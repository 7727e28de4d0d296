#include "console/progress.h"

#include <array>
#include <cmath>

#include "console/terminal.h"

namespace varnel {
namespace {

using Clock = std::chrono::steady_clock;

// Nothing is shown before this, so that short runs stay silent.
constexpr auto kFirstShown = std::chrono::seconds(1);
constexpr auto kBetweenRewrites = std::chrono::milliseconds(100);

// `value` of `unit`s as text with `decimals` decimals, in the largest unit
// that keeps the number below 1024 once rounded.
std::string in_units(double value, int decimals, const char* suffix) {
  constexpr std::array<const char*, 6> kUnits = {"B",   "KiB", "MiB",
                                                 "GiB", "TiB", "PiB"};
  std::size_t unit = 0;
  const double scale = std::pow(10.0, decimals);
  while (unit + 1 < kUnits.size() &&
         std::round(value * scale) / scale >= 1024.0) {
    value /= 1024.0;
    ++unit;
  }
  // Bytes are whole.
  const int shown_decimals = unit == 0 ? 0 : decimals;
  std::array<char, 48> text{};
  (void)std::snprintf(text.data(), text.size(), "%.*f %s%s", shown_decimals,
                      value, kUnits[unit], suffix);
  return text.data();
}

}  // namespace

std::string byte_count(double bytes) { return in_units(bytes, 1, ""); }

std::string progress_text(std::uint64_t done,
                          std::optional<std::uint64_t> total, double seconds) {
  std::string text = "  " + byte_count(static_cast<double>(done));
  if (total) {
    text += " of " + byte_count(static_cast<double>(*total));
    const double part =
        *total == 0 ? 1.0
                    : static_cast<double>(done) / static_cast<double>(*total);
    text +=
        "  " + std::to_string(static_cast<int>(std::floor(100.0 * part))) + "%";
  }
  if (seconds > 0) {
    text += "  " + in_units(static_cast<double>(done) / seconds, 0, "/s");
  }
  return text;
}

Progress start_progress(std::FILE* stream, std::optional<std::uint64_t> total) {
  Progress progress;
  progress.terminal =
      stream != nullptr && is_terminal(stream) ? stream : nullptr;
  progress.total = total;
  progress.started = Clock::now();
  return progress;
}

void show_progress(Progress& progress, std::uint64_t done) {
  if (progress.terminal == nullptr) {
    return;
  }
  const Clock::time_point now = Clock::now();
  if (now - progress.started < kFirstShown ||
      (progress.width > 0 && now - progress.shown < kBetweenRewrites)) {
    return;
  }
  progress.shown = now;
  const std::chrono::duration<double> seconds = now - progress.started;
  const std::string text = progress_text(done, progress.total, seconds.count());
  // Blanks over what is left of a longer line before.
  const std::size_t blanks =
      progress.width > text.size() ? progress.width - text.size() : 0;
  // Only a view of the work: if the terminal fails, the work goes on.
  (void)std::fprintf(progress.terminal, "\r%s%*s", text.c_str(),
                     static_cast<int>(blanks), "");
  (void)std::fflush(progress.terminal);
  progress.width = text.size();
}

void clear_progress(Progress& progress) {
  if (progress.terminal == nullptr || progress.width == 0) {
    return;
  }
  (void)std::fprintf(progress.terminal, "\r%*s\r",
                     static_cast<int>(progress.width), "");
  (void)std::fflush(progress.terminal);
  progress.width = 0;
}

}  // namespace varnel
