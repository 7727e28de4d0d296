#include <cstdio>

#include "check/check.h"
#include "console/command_line.h"
#include "console/utf8_console.h"

int main(int argc, char** argv) {
  varnel::use_utf8_console();
  return varnel::run_check(varnel::arguments_of(argc, argv), stdout, stderr);
}
