// The image varnel reads: opened without waiting on it, and measured only
// where its kind says how long it is.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>

namespace varnel {

// Opens the file named `name` (a command-line argument) for reading in binary
// mode. The open itself never waits: a FIFO that no writer has opened, or a
// device that would wait for a line, opens at once (and is then found to have
// no size). Null, with errno set, when it cannot be opened.
[[nodiscard]] std::FILE* open_source(const char* name);

// How many bytes `source` holds, where its kind tells: the length of a file
// on disk, or of a block device. Nothing for every other kind: a pipe, a FIFO,
// a character device such as /dev/zero, a terminal, and the files the kernel
// makes up as they are read (/proc, /sys), whose lengths mean nothing. A
// stream without a descriptor (in memory) is measured by seeking.
[[nodiscard]] std::optional<std::uint64_t> source_size(std::FILE* source);

}  // namespace varnel
