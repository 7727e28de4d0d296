// The progress line both commands keep on standard error while they work,
// when standard error is a terminal, and only then: whatever reads it
// through a pipe or a file sees nothing of it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace varnel {

struct Progress {
  std::FILE* terminal = nullptr;  // null: no line at all
  // Where rows of output go that show on the same terminal as the line, so
  // that the line makes way for them; null when none do.
  std::FILE* rows = nullptr;
  std::optional<std::uint64_t> total;  // bytes, when known
  std::chrono::steady_clock::time_point started;
  std::chrono::steady_clock::time_point shown;  // the last rewrite
  std::string text;                             // the line as last drawn
  std::size_t width = 0;  // of the line on the terminal now; 0 when none
  // Where the cursor stands after the line was drawn: past the blanks over
  // what a longer line before it left.
  std::size_t cursor = 0;
  bool hidden = false;  // erased for a row, to be drawn again after it
};

// Progress over `total` bytes (nothing when unknown), shown on `stream` if it
// is a terminal. `rows`, when given, is where the caller writes rows of
// output while the work goes on (standard output, say): when it shows on the
// same terminal, progress_before_row and progress_after_row keep each row
// apart from the line.
[[nodiscard]] Progress start_progress(std::FILE* stream,
                                      std::optional<std::uint64_t> total,
                                      std::FILE* rows = nullptr);

// Notes that `done` bytes are done. Rewrites the line in place at most ten
// times a second, and not in the first second: short runs show nothing. The
// line is fitted to the terminal's width as it is at each rewrite.
void show_progress(Progress& progress, std::uint64_t done);

// Around each row written to `rows` (a whole line, ending in "\n"): before
// it, erases the line if it is shown on the terminal the row goes to, so that
// the row starts at the left margin; after it, flushes `rows` and draws the
// line again as it was. Nothing happens where rows and line do not meet.
void progress_before_row(Progress& progress);
void progress_after_row(Progress& progress);

// Erases the line, so that the terminal shows the messages alone, and
// leaves the cursor at its start. Once the run is interrupted, also what the
// terminal echoed where the cursor stood for the key that interrupted it
// ("^C"), so that the program ends by the signal on a clean line.
void clear_progress(Progress& progress);

// The text of the line for a terminal `columns` wide: "  1.2 GiB of 8.0 GiB
// 15%  410 MiB/s", or without the total and the percentage when the total is
// unknown. It never takes more than columns - 1: the rate goes first, then
// the percentage, then the total; then the leading blanks; then all of it.
[[nodiscard]] std::string progress_text(std::uint64_t done,
                                        std::optional<std::uint64_t> total,
                                        double seconds, std::size_t columns);

// The whole percentage of `total` that `done` is, rounded down; 100 when
// `done` is past `total` (a file that grows while it is read) or the total is
// 0.
[[nodiscard]] int percentage(std::uint64_t done, std::uint64_t total);

// A number of bytes for people: "512 B", "1.5 KiB", "0.98 GiB", "8.0 GiB".
// Whole bytes below 1000; from there on the unit that keeps the number below
// 1000, with two decimals below 1 and one from 1 on.
[[nodiscard]] std::string byte_count(double bytes);

}  // namespace varnel
