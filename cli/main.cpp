#include <cstdio>

#include "cli/driver.h"
#include "console/command_line.h"
#include "console/utf8_console.h"

int main(int argc, char** argv) {
  varnel::use_utf8_console();
  return varnel::run_varnel(varnel::arguments_of(argc, argv), stdout, stderr);
}
