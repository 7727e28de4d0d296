#include <cstdio>

#include "cli/driver.h"
#include "console/command_line.h"
#include "files/standard_streams.h"

int main(int argc, char** argv) {
  // Before anything is opened, so that no file takes the number of a closed
  // standard stream. Without the null device there is nowhere safe to say
  // anything: nothing is touched, and the status is 0, as on every path.
  if (!varnel::take_closed_standard_streams()) {
    return 0;
  }
  // Every message reaches a Windows console as wide text: its code page is
  // left as it is.
  return varnel::run_varnel(varnel::arguments_of(argc, argv), stdout, stderr);
}
