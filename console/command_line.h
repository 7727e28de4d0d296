// The arguments both commands are started with.
#pragma once

#include <cstddef>
#include <span>

namespace varnel {

// The command line without the program name. argc can be 0 when a caller
// execs with an empty argument vector: that is no arguments.
[[nodiscard]] inline std::span<const char* const> arguments_of(int argc,
                                                               char** argv) {
  if (argc <= 1) {
    return {};
  }
  return {argv + 1, static_cast<std::size_t>(argc - 1)};
}

}  // namespace varnel
