#include <cstdio>

#include "cli/driver.h"
#include "console/command_line.h"

int main(int argc, char** argv) {
  // Every message reaches a Windows console as wide text: its code page is
  // left as it is.
  return varnel::run_varnel(varnel::arguments_of(argc, argv), stdout, stderr);
}
