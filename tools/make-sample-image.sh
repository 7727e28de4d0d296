#!/bin/sh
# Writes a small flash image to try varnel on: two 8192-byte blocks, each
# beginning with a line of text that names it ("varnel sample 1" and a line
# feed, 16 bytes), the first then counting on from 10 to FF and 00 to FF over
# and over (the byte at offset i is i modulo 256), the second erased flash
# (all FF). The text keeps each block's data checksum from being 00, as a
# block of whole runs of 00 to FF or of FF alone would make it: F3 and 6A.
set -eu
out=${1:?usage: make-sample-image.sh OUTPUT}

counting=$(i=0; while [ "$i" -lt 256 ]; do printf '\\%03o' "$i"; i=$((i + 1)); done)
{
  printf 'varnel sample 1\n'
  n=0
  while [ "$n" -lt 32 ]; do
    # shellcheck disable=SC2059 # the octal escapes are the point
    printf "$counting"
    n=$((n + 1))
  done | tail -c +17
  printf 'varnel sample 2\n'
  head -c 8176 /dev/zero | tr '\000' '\377'
} >"$out"
