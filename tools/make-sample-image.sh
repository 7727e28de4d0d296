#!/bin/sh
# Writes a small flash image to try varnel on: two 8192-byte blocks, the
# first counting 00 to FF over and over, the second erased flash (all FF).
set -eu
out=${1:?usage: make-sample-image.sh OUTPUT}

counting=$(i=0; while [ "$i" -lt 256 ]; do printf '\\%03o' "$i"; i=$((i + 1)); done)
{
  n=0
  while [ "$n" -lt 32 ]; do
    # shellcheck disable=SC2059 # the octal escapes are the point
    printf "$counting"
    n=$((n + 1))
  done
  head -c 8192 /dev/zero | tr '\000' '\377'
} >"$out"
