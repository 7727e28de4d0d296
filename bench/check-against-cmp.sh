#!/usr/bin/env bash
# Times `varnel-check -q -c image records` against `cmp image copy`, the
# comparison of the same data byte for byte with nothing to verify, on an
# image made here (1 GiB by default) and its record file from varnel; both
# read side by side, the files in the page cache, start-up included, in
# interleaved pairs. Prints the median wall times, the median of the
# per-pair ratios, and the peak resident size of each; then the peak
# resident size of `varnel-check --all-faults` on the record file, whole and
# with every 1000th record damaged, and of `--flash-image`.
#
#   bench/check-against-cmp.sh              # 9 pairs, 1 GiB
#   PAIRS=15 MIB=256 bench/check-against-cmp.sh
#   BENCH_DIR=/dev/shm bench/check-against-cmp.sh   # on a memory file system
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
pairs=${PAIRS:-9}
mib=${MIB:-1024}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVARNEL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --parallel --target varnel varnel-check >/dev/null
varnel=$build/varnel
check=$build/varnel-check

work=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/varnel-check-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Wall time of one command in nanoseconds, which must exit with status 0; its
# peak resident size (KiB) goes to the file named first.
measure() {
  local rss_file=$1
  shift
  local t0 t1
  t0=$(date +%s%N)
  /usr/bin/time -f %M -o "$rss_file" "$@"
  t1=$(date +%s%N)
  echo $((t1 - t0))
}

# The peak resident size of a command whose status may be 1 (a wrong record).
peak() {
  /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null 2>&1 || [ $? -eq 1 ]
  tail -n 1 "$work/rss"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

image=$work/image.fls
records=$work/records.hy
head -c $((mib * 1024 * 1024)) /dev/urandom >"$image"
cp "$image" "$work/copy.fls"
"$varnel" 270000 "$image" "$records" >/dev/null
cat "$image" "$work/copy.fls" "$records" >/dev/null # into the page cache

: >"$work/cmp.ms"
: >"$work/check.ms"
: >"$work/ratios"
cmp_peak=0
check_peak=0
for ((i = 0; i < pairs; i++)); do
  t_cmp=$(measure "$work/rss" cmp "$image" "$work/copy.fls")
  rss=$(tail -n 1 "$work/rss")
  ((rss > cmp_peak)) && cmp_peak=$rss
  t_check=$(measure "$work/rss" "$check" -q -c "$image" "$records")
  rss=$(tail -n 1 "$work/rss")
  ((rss > check_peak)) && check_peak=$rss
  echo "$t_cmp / 1000000" | bc -l >>"$work/cmp.ms"
  echo "$t_check / 1000000" | bc -l >>"$work/check.ms"
  echo "$t_check / $t_cmp" | bc -l >>"$work/ratios"
done
printf '%-7s %5s %9s %11s %13s %13s %15s\n' image pairs "cmp ms" "check -c ms" "check -c/cmp" "cmp peak KiB" "check -c peak KiB"
printf '%-7s %5d %9.1f %11.1f %13.3f %13d %15d\n' "${mib}MiB" "$pairs" \
  "$(median <"$work/cmp.ms")" "$(median <"$work/check.ms")" \
  "$(median <"$work/ratios")" "$cmp_peak" "$check_peak"

# Every 1000th record damaged: its type byte.
cp "$records" "$work/damaged.hy"
count=$((mib * 1024 * 1024 / 8192))
for ((k = 0; k < count; k += 1000)); do
  printf '\x0A' | dd of="$work/damaged.hy" bs=1 seek=$((k * 8201)) conv=notrunc status=none
done
echo
printf '%-40s %9s\n' "peak resident size" KiB
printf '%-40s %9d\n' "check" "$(peak "$check" -q "$records")"
printf '%-40s %9d\n' "check --all-faults, valid" "$(peak "$check" -q --all-faults "$records")"
printf '%-40s %9d\n' "check --all-faults, $(((count + 999) / 1000)) records wrong" \
  "$(peak "$check" -q --all-faults "$work/damaged.hy")"
printf '%-40s %9d\n' "check --flash-image" \
  "$(peak "$check" -q --flash-image "$work/flash.fls" "$records")"
