#!/usr/bin/env bash
# Times each job of varnel-check against what it has to keep up with, on a
# random image made here (1 GiB by default) and its record file from varnel:
#
#   verify        -q rec.hy                    dd if=rec.hy of=/dev/null bs=2M
#   compare       -q -c img.fls rec.hy         the same dd of both files
#   restore       -q -o back.fls rec.hy        varnel 270000 img.fls new.hy
#   flash image   -q --flash-image f.bin rec.hy    varnel-check -q rec.hy
#   all faults    -q --all-faults rec.hy       varnel-check -q rec.hy
#   resync        -q --all-faults lost.hy      dd if=lost.hy of=/dev/null bs=2M
#
# where lost.hy is rec.hy with one byte taken out of record 10, so that every
# record after it starts a byte earlier. Its reference is dd of the same
# file, to be set beside verify's: on tmpfs two files of the same size can
# take times half apart to read, as their pages were laid out when written. Restore and varnel both end with the
# file on the disk (varnel-check and varnel sync what they write); their
# outputs are removed, and the disk synced, before each run. Every job runs
# in interleaved pairs with its reference, files in the page cache, start-up
# included. Prints, per job, the median wall times, the median of the
# per-pair ratios, and the peak resident size of the job (the largest of its
# runs), with the load of the machine before and after.
#
#   bench/check-speed.sh                        # 9 pairs, 1 GiB, in $TMPDIR
#   PAIRS=15 MIB=256 bench/check-speed.sh
#   BENCH_DIR=/dev/shm bench/check-speed.sh     # on a memory file system
#   CHECK=/path/to/varnel-check bench/check-speed.sh   # another build's
#   JOBS="verify restore" bench/check-speed.sh  # some of the jobs
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
pairs=${PAIRS:-9}
mib=${MIB:-1024}
jobs=${JOBS:-verify compare restore flash all-faults resync}

if [ -z "${CHECK:-}" ] || [ -z "${VARNEL:-}" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVARNEL_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" --parallel 2 --target varnel varnel-check >/dev/null
fi
varnel=${VARNEL:-$build/varnel}
check=${CHECK:-$build/varnel-check}

work=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/varnel-check-speed.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Wall time of one command in nanoseconds; its peak resident size (KiB) goes
# to $work/rss. The status must be 0, or 1 where `may_fail` is set (a file
# with a wrong record).
measure() {
  local t0 t1 status=0
  t0=$(date +%s%N)
  /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null 2>"$work/err" || status=$?
  t1=$(date +%s%N)
  if [ "$status" -ne 0 ] && { [ -z "${may_fail:-}" ] || [ "$status" -ne 1 ]; }; then
    echo "failed with status $status: $*" >&2
    cat "$work/err" >&2
    exit 1
  fi
  echo $((t1 - t0))
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

image=$work/img.fls
records=$work/rec.hy
head -c $((mib * 1024 * 1024)) /dev/urandom >"$image"
"$varnel" 270000 "$image" "$records" >/dev/null
# Record 10 (from 1) loses the 4001st byte of its data.
python3 - "$records" "$work/lost.hy" <<'PY'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
del data[9 * 8201 + 9 + 4000]
open(sys.argv[2], "wb").write(data)
PY
cat "$image" "$records" "$work/lost.hy" >/dev/null # into the page cache

# The reference and the job of each name, as words for sh -c.
reference() {
  case $1 in
  verify) echo 'exec dd if="$1" of=/dev/null bs=2M status=none' ;;
  flash | all-faults) echo 'exec "$5" -q "$1"' ;;
  resync) echo 'exec dd if="$3/lost.hy" of=/dev/null bs=2M status=none' ;;
  compare) echo 'dd if="$2" of=/dev/null bs=2M status=none && exec dd if="$1" of=/dev/null bs=2M status=none' ;;
  restore) echo 'exec "$4" 270000 "$2" "$3/new.hy"' ;;
  esac
}
job() {
  case $1 in
  verify) echo 'exec "$5" -q "$1"' ;;
  compare) echo 'exec "$5" -q -c "$2" "$1"' ;;
  restore) echo 'exec "$5" -q -o "$3/back.fls" "$1"' ;;
  flash) echo 'exec "$5" -q --flash-image "$3/flash.bin" "$1"' ;;
  all-faults) echo 'exec "$5" -q --all-faults "$1"' ;;
  resync) echo 'exec "$5" -q --all-faults "$3/lost.hy"' ;;
  esac
}

echo "machine: $(nproc) cores, load before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "files: ${mib} MiB image in $(df -P "$work" | awk 'NR == 2 { print $1 }') ($(stat -f -c %T "$work")), $pairs pairs"
printf '%-11s %12s %9s %9s %9s %13s\n' job reference "ref ms" "job ms" job/ref "job peak KiB"
for name in $jobs; do
  : >"$work/ref.ms"
  : >"$work/job.ms"
  : >"$work/ratios"
  peak=0
  may_fail=
  [ "$name" = resync ] && may_fail=1
  for ((i = 0; i < pairs; i++)); do
    rm -f "$work/new.hy" "$work/back.fls" "$work/flash.bin"
    sync
    t_ref=$(may_fail= measure sh -c "$(reference "$name")" sh "$records" "$image" "$work" "$varnel" "$check")
    rm -f "$work/new.hy" "$work/back.fls" "$work/flash.bin"
    sync
    t_job=$(measure sh -c "$(job "$name")" sh "$records" "$image" "$work" "$varnel" "$check")
    rss=$(tail -n 1 "$work/rss")
    ((rss > peak)) && peak=$rss
    echo "$t_ref / 1000000" | bc -l >>"$work/ref.ms"
    echo "$t_job / 1000000" | bc -l >>"$work/job.ms"
    echo "$t_job / $t_ref" | bc -l >>"$work/ratios"
  done
  case $name in
  verify | resync) ref=dd ;;
  flash | all-faults) ref=verify ;;
  compare) ref="dd, dd" ;;
  restore) ref=varnel ;;
  esac
  printf '%-11s %12s %9.1f %9.1f %9.3f %13d\n' "$name" "$ref" \
    "$(median <"$work/ref.ms")" "$(median <"$work/job.ms")" \
    "$(median <"$work/ratios")" "$peak"
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
