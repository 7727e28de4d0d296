#!/bin/sh
# Runs the tests of a build folder with ctest, then names each test that was
# skipped with the reason it gave: ctest shows the output of failed tests
# only. The exit status is ctest's.
#   tools/run-tests.sh build                 # every test
#   tools/run-tests.sh build -LE large -j 2  # more arguments go to ctest
set -u
build=${1:?usage: run-tests.sh BUILD_DIR [CTEST_ARGUMENTS...]}
shift
status=0
ctest --test-dir "$build" --output-on-failure "$@" || status=$?
log=$build/Testing/Temporary/LastTest.log
if [ -f "$log" ]; then
  # A test's block in the log starts "N/M Test: NAME"; GoogleTest writes the
  # reason between "FILE:LINE: Skipped" and "[  SKIPPED ] NAME".
  awk '
    / Test: / { name = $NF }
    /: Skipped$/ { skipping = 1; reason = ""; next }
    skipping && /^\[  SKIPPED \]/ {
      lines[++count] = "  " name ": " reason
      skipping = 0
      next
    }
    skipping { reason = reason (reason == "" ? "" : " ") $0 }
    END {
      if (count > 0) print "Skipped, and why:"
      for (i = 1; i <= count; ++i) print lines[i]
    }' "$log"
fi
exit "$status"
