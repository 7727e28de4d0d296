#!/bin/sh
# Gets Wine ready for the Windows tests, which run under it: its prefix (the
# folder WINEPREFIX names, ~/.wine by default), made on the first start, which
# takes a minute or two; then a Wine server of its own that stays until
# `wineserver -k`, with Wine's services started under it. Run before ctest:
# services that a test's first Wine process started would inherit ctest's
# output pipes and hold them open, and ctest would wait for them.
#
# Wine makes its server's folder in TMPDIR (wine-XXXXXX) and keeps only that
# name in the prefix: `wineserver -k` finds the server only with the same
# TMPDIR, and a prefix removed leaves the folder behind, unless TMPDIR goes
# too, as .ci/run's does.
set -eu
export WINEDEBUG=${WINEDEBUG:--all}
# Checked before anything starts.
if [ -z "${WINEPREFIX:-}" ] && [ -z "${HOME:-}" ]; then
  echo "start-wine.sh: neither WINEPREFIX nor HOME is set: no prefix for Wine" >&2
  exit 1
fi
prefix=${WINEPREFIX:-$HOME/.wine}
wine=$(command -v wine || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
"$wineserver" -k </dev/null >/dev/null 2>&1 || true # one left from an earlier run
# Without a prefix the server cannot start: wineboot --init makes it first,
# with a server of its own, stopped again before ours.
"$wine" wineboot --init </dev/null >/dev/null 2>&1
"$wineserver" -k </dev/null >/dev/null 2>&1 || true
"$wineserver" -w </dev/null >/dev/null 2>&1 || true
"$wineserver" -p </dev/null >/dev/null 2>&1
"$wine" wineboot </dev/null >/dev/null 2>&1
echo "Wine is ready, its prefix at $prefix; wineserver -k stops it."
