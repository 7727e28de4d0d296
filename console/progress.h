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
  std::FILE* terminal = nullptr;       // null: no line at all
  std::optional<std::uint64_t> total;  // bytes, when known
  std::chrono::steady_clock::time_point started;
  std::chrono::steady_clock::time_point shown;  // the last rewrite
  std::size_t width = 0;  // of the line on the terminal now; 0 when none
};

// Progress over `total` bytes (nothing when unknown), shown on `stream` if it
// is a terminal.
[[nodiscard]] Progress start_progress(std::FILE* stream,
                                      std::optional<std::uint64_t> total);

// Notes that `done` bytes are done. Rewrites the line in place at most ten
// times a second, and not in the first second: short runs show nothing.
void show_progress(Progress& progress, std::uint64_t done);

// Erases the line, so that the terminal shows the messages alone.
void clear_progress(Progress& progress);

// The text of the line: "  1.2 GiB of 8.0 GiB  15%  410 MiB/s", or without
// the total and the percentage when the total is unknown.
[[nodiscard]] std::string progress_text(std::uint64_t done,
                                        std::optional<std::uint64_t> total,
                                        double seconds);

// A number of bytes for people: "512 B", "1.5 KiB", "8.0 GiB".
[[nodiscard]] std::string byte_count(double bytes);

}  // namespace varnel
