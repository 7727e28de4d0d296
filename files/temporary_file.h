// The file an output is written to beside its destination until it is
// whole. Where the system can, it has no name until then (Linux: O_TMPFILE),
// so that a process killed outright leaves nothing; on Windows the system
// removes it when its handle closes, until just before its rename. Where a
// name is needed, it says whose the file is and ends in a random number:
// "out.hy.partial-4f2a9c", or "varnel.partial-4f2a9c" where the
// destination's name is too long to take a suffix.
#pragma once

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace varnel {

// Makes the temporary file for an output in `folder`, the destination's
// folder, whose own name is `base`, and opens it for writing in binary mode.
// `named` gets its name, or is left empty while it has none. `mode` is its
// permission bits on POSIX systems, before the umask.
[[nodiscard]] std::FILE* create_temporary(const std::filesystem::path& folder,
                                          const std::filesystem::path& base,
                                          unsigned mode,
                                          std::filesystem::path& named,
                                          std::error_code& error);

// Gives the temporary `file`, made without a name, a name of its own in
// `folder` from `base` (Linux: linkat through /proc/self/fd), into `named`.
[[nodiscard]] bool name_temporary(std::FILE* file,
                                  const std::filesystem::path& folder,
                                  const std::filesystem::path& base,
                                  std::filesystem::path& named,
                                  std::error_code& error);

// Gives the temporary `file`, made without a name, the name `path`, where
// nothing may be yet (Linux: linkat through /proc/self/fd).
[[nodiscard]] bool give_name(std::FILE* file, const std::filesystem::path& path,
                             std::error_code& error);

// Windows: takes back the removal of the temporary `file` when its handle
// closes, just before its rename. Elsewhere nothing to do.
[[nodiscard]] bool keep_temporary(std::FILE* file, std::error_code& error);

// A temporary name in `folder` from `base`, with a random number.
[[nodiscard]] std::filesystem::path temporary_name(
    const std::filesystem::path& folder, const std::filesystem::path& base);

}  // namespace varnel
