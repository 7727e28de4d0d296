#include "console/progress.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <string_view>

#include "console/console_output.h"
#include "console/interruption.h"
#include "console/terminal.h"

namespace varnel {
namespace {

using Clock = std::chrono::steady_clock;

// Nothing is shown before this, so that short runs stay silent.
constexpr auto kFirstShown = std::chrono::seconds(1);
constexpr auto kBetweenRewrites = std::chrono::milliseconds(100);
// What a terminal that does not tell its width is taken to be.
constexpr std::size_t kUsualColumns = 80;
// What a terminal echoes for Ctrl-C at the cursor: "^C".
constexpr std::size_t kEchoedKey = 2;

std::string with_decimals(double value, int decimals) {
  std::array<char, 48> text{};
  (void)std::snprintf(text.data(), text.size(), "%.*f", decimals, value);
  return text.data();
}

// `value` as text in the largest unit that keeps the number shown below 1000:
// whole bytes; in the larger units `decimals` decimals, or two below 1, so
// that 1000 MiB are 0.98 GiB rather than 1 GiB.
std::string in_units(double value, int decimals, std::string_view suffix) {
  constexpr std::array<const char*, 7> kUnits = {"B",   "KiB", "MiB", "GiB",
                                                 "TiB", "PiB", "EiB"};
  for (std::size_t unit = 0;; ++unit) {
    std::string number = with_decimals(value, unit == 0 ? 0 : 2);
    if (unit > 0 && number.rfind("0.", 0) != 0) {
      number = with_decimals(value, decimals);
    }
    // The number as shown, so that rounding up to 1000 counts too.
    if (std::strtod(number.c_str(), nullptr) < 1000.0 ||
        unit + 1 == kUnits.size()) {
      return number + " " + kUnits[unit] + std::string(suffix);
    }
    value /= 1024.0;
  }
}

// The first of `texts` that fits in a terminal `columns` wide, short of its
// last column; none when none does.
std::string fitted(std::size_t columns,
                   std::initializer_list<std::string> texts) {
  const std::size_t room = columns > 0 ? columns - 1 : 0;
  const auto* const fits = std::find_if(
      texts.begin(), texts.end(),
      [room](const std::string& text) { return text.size() <= room; });
  return fits != texts.end() ? *fits : "";
}

// Draws `text` over the line on the terminal, with blanks over what is left
// of a longer line before, never reaching the terminal's last column.
void draw(Progress& progress, const std::string& text, std::size_t columns) {
  const std::size_t room = columns > 0 ? columns - 1 : 0;
  const std::size_t over = std::min(progress.width, room);
  std::string line = "\r" + text;
  line.append(over > text.size() ? over - text.size() : 0, ' ');
  // Only a view of the work: if the terminal fails, the work goes on.
  (void)write_text(progress.terminal, line);
  (void)std::fflush(progress.terminal);
  progress.width = text.size();
  progress.cursor = line.size() - 1;
}

// Blanks over `columns` of the line, from its start, and the cursor back
// there.
void erase(Progress& progress, std::size_t columns) {
  std::string line = "\r";
  line.append(columns, ' ');
  line += '\r';
  (void)write_text(progress.terminal, line);
  (void)std::fflush(progress.terminal);
  progress.width = 0;
  progress.cursor = 0;
}

void erase(Progress& progress) { erase(progress, progress.width); }

std::size_t columns_of(std::FILE* terminal) {
  const std::size_t columns = terminal_columns(terminal);
  return columns > 0 ? columns : kUsualColumns;
}

}  // namespace

std::string byte_count(double bytes) { return in_units(bytes, 1, ""); }

int percentage(std::uint64_t done, std::uint64_t total) {
  if (done >= total) {
    return 100;
  }
  // floor(100 * done / total) by long division, a decimal digit at a time:
  // the remainder stays below the total, and ten times it is summed modulo
  // the total, so nothing overflows 64 bits.
  std::uint64_t remainder = done;
  int percent = 0;
  for (int digit = 0; digit < 2; ++digit) {
    std::uint64_t next = 0;
    int value = 0;
    for (int i = 0; i < 10; ++i) {
      if (next >= total - remainder) {
        next -= total - remainder;
        ++value;
      } else {
        next += remainder;
      }
    }
    percent = percent * 10 + value;
    remainder = next;
  }
  return percent;
}

std::string progress_text(std::uint64_t done,
                          std::optional<std::uint64_t> total, double seconds,
                          std::size_t columns) {
  const std::string bytes = byte_count(static_cast<double>(done));
  const std::string of =
      total ? "  " + bytes + " of " + byte_count(static_cast<double>(*total))
            : "  " + bytes;
  const std::string percent =
      total ? of + "  " + std::to_string(percentage(done, *total)) + "%" : of;
  const std::string rate =
      seconds > 0 ? percent + "  " +
                        in_units(static_cast<double>(done) / seconds, 0, "/s")
                  : percent;
  return fitted(columns, {rate, percent, of, "  " + bytes, bytes});
}

Progress start_progress(std::FILE* stream, std::optional<std::uint64_t> total,
                        std::FILE* rows) {
  Progress progress;
  progress.terminal =
      stream != nullptr && is_terminal(stream) ? stream : nullptr;
  progress.rows = progress.terminal != nullptr && rows != nullptr &&
                          same_terminal(progress.terminal, rows)
                      ? rows
                      : nullptr;
  progress.total = total;
  progress.started = Clock::now();
  return progress;
}

void show_progress(Progress& progress, std::uint64_t done) {
  if (progress.terminal == nullptr) {
    return;
  }
  const Clock::time_point now = Clock::now();
  const bool drawn_before = progress.shown != Clock::time_point{};
  if (now - progress.started < kFirstShown ||
      (drawn_before && now - progress.shown < kBetweenRewrites)) {
    return;
  }
  progress.shown = now;
  const std::chrono::duration<double> seconds = now - progress.started;
  const std::size_t columns = columns_of(progress.terminal);
  progress.text = progress_text(done, progress.total, seconds.count(), columns);
  // Erased for a row that is still being written: drawn after it.
  if (!progress.hidden) {
    draw(progress, progress.text, columns);
  }
}

void progress_before_row(Progress& progress) {
  if (progress.rows == nullptr || progress.width == 0) {
    return;
  }
  erase(progress);
  progress.hidden = true;
}

void progress_after_row(Progress& progress) {
  if (!progress.hidden) {
    return;
  }
  progress.hidden = false;
  // The row reaches the terminal first.
  (void)std::fflush(progress.rows);
  draw(progress, progress.text, columns_of(progress.terminal));
}

void clear_progress(Progress& progress) {
  progress.hidden = false;
  if (progress.terminal == nullptr || progress.width == 0) {
    return;
  }
  if (!interrupted()) {
    erase(progress);
    return;
  }
  // The echo stands after the cursor, which may be past the line; short of
  // the last column, as every rewrite.
  const std::size_t room = columns_of(progress.terminal) - 1;
  erase(progress,
        std::min(std::max(progress.width, progress.cursor) + kEchoedKey,
                 std::max(room, progress.width)));
}

}  // namespace varnel
