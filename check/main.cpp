#include <cstdio>

#include "check/check.h"
#include "console/command_line.h"
#include "files/standard_streams.h"

int main(int argc, char** argv) {
  // Before anything is opened, so that no file takes the number of a closed
  // standard stream, where the report would land in it.
  if (!varnel::take_closed_standard_streams()) {
    return varnel::kCheckFailed;
  }
  return varnel::run_check(varnel::arguments_of(argc, argv), stdout, stderr);
}
