#include <cstdio>

#include "check/check.h"
#include "console/command_line.h"

int main(int argc, char** argv) {
  return varnel::run_check(varnel::arguments_of(argc, argv), stdout, stderr);
}
