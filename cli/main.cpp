#include <cstddef>
#include <cstdio>
#include <span>

#include "cli/driver.h"
#include "console/utf8_console.h"

int main(int argc, char** argv) {
  // argc can be 0 when a caller execs with an empty argument vector.
  const std::span<const char* const> args =
      argc > 1 ? std::span<const char* const>(
                     argv + 1, static_cast<std::size_t>(argc - 1))
               : std::span<const char* const>();
  varnel::use_utf8_console();
  return varnel::run_varnel(args, stdout, stderr);
}
