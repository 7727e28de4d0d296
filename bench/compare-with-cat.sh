#!/usr/bin/env bash
# Times varnel against `cat image > copy`, the plain copy it has to keep up
# with, and against `cat image > copy && sync copy`, the same copy made as
# durable as varnel makes its record file, on images made here: 16 MiB (a
# whole 24-bit flash) and 1 GiB. Runs are interleaved triples, images in the
# page cache, start-up included. Prints, per image, the median wall times,
# the medians of the per-triple ratios varnel/cat and varnel/(cat + sync),
# and the peak resident size of each program. Then the peak resident size of
# varnel-check on a record file of 4,000,000 runs.
#
#   bench/compare-with-cat.sh            # 9 triples per image
#   PAIRS=15 bench/compare-with-cat.sh
#   BENCH_DIR=/dev/shm bench/compare-with-cat.sh   # on a memory file system
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
pairs=${PAIRS:-9}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVARNEL_BUILD_TESTS=OFF -DVARNEL_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" --parallel >/dev/null
varnel=$build/varnel
"$build/bench/record_header_benchmark" --benchmark_min_time=0.5
echo

work=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/varnel-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Wall time of one command in nanoseconds; its peak resident size (KiB) goes
# to the file named first.
measure() {
  local rss_file=$1
  shift
  local t0 t1
  t0=$(date +%s%N)
  /usr/bin/time -f %M -o "$rss_file" "$@"
  t1=$(date +%s%N)
  echo $((t1 - t0))
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

printf '%-6s %5s %9s %12s %10s %11s %13s %13s %13s\n' image runs "cat ms" "cat+sync ms" "varnel ms" "varnel/cat" "varnel/(c+s)" "cat peak KiB" "varnel peak KiB"
for size in 16MiB:16 1GiB:1024; do
  name=${size%%:*}
  mib=${size##*:}
  image=$work/$name.fls
  head -c $((mib * 1024 * 1024)) /dev/urandom >"$image"
  cat "$image" >/dev/null # into the page cache

  for f in cat.ms synced.ms varnel.ms ratios synced-ratios; do : >"$work/$f"; done
  cat_peak=0
  varnel_peak=0
  for ((i = 0; i < pairs; i++)); do
    rm -f "$work/copy" "$work/records"
    sync
    t_cat=$(measure "$work/rss" sh -c 'exec cat "$1" >"$2"' sh "$image" "$work/copy")
    rss=$(tail -n 1 "$work/rss")
    ((rss > cat_peak)) && cat_peak=$rss
    rm -f "$work/copy"
    sync
    t_synced=$(measure "$work/rss" sh -c 'cat "$1" >"$2" && exec sync "$2"' sh "$image" "$work/copy")
    rm -f "$work/copy"
    sync
    t_varnel=$(measure "$work/rss" sh -c 'exec "$1" 0 "$2" "$3" >/dev/null' sh "$varnel" "$image" "$work/records")
    rss=$(tail -n 1 "$work/rss")
    ((rss > varnel_peak)) && varnel_peak=$rss
    [ "$(stat -c %s "$work/records")" -eq $((mib * 1024 * 1024 / 8192 * 8201)) ] || {
      echo "varnel wrote a record file of the wrong size" >&2
      exit 1
    }
    echo "$t_cat / 1000000" | bc -l >>"$work/cat.ms"
    echo "$t_synced / 1000000" | bc -l >>"$work/synced.ms"
    echo "$t_varnel / 1000000" | bc -l >>"$work/varnel.ms"
    echo "$t_varnel / $t_cat" | bc -l >>"$work/ratios"
    echo "$t_varnel / $t_synced" | bc -l >>"$work/synced-ratios"
  done
  printf '%-6s %5d %9.1f %12.1f %10.1f %11.3f %13.3f %13d %13d\n' "$name" "$pairs" \
    "$(median <"$work/cat.ms")" "$(median <"$work/synced.ms")" "$(median <"$work/varnel.ms")" \
    "$(median <"$work/ratios")" "$(median <"$work/synced-ratios")" "$cat_peak" "$varnel_peak"
done

# varnel-check's memory on a record file of very many runs: 4,000,000 records
# of one data byte at falling addresses (40 MB), each a run of its own. Its
# peak resident size stays that of any other record file.
echo
python3 - "$work/runs.hy" <<'PY'
import sys
count = 4_000_000
records = bytearray()
for i in range(count):
    address = count - i
    data = (3 + 7 * i) & 0xFF
    header = [(address >> 16) & 0xFF, (address >> 8) & 0xFF, address & 0xFF, -data & 0xFF, 0, 0, 1]
    records += bytes([0x0B, *header, ~sum(header) & 0xFF, data])
open(sys.argv[1], "wb").write(records)
PY
check_peak=0
for ((i = 0; i < 3; i++)); do
  t_check=$(measure "$work/rss" sh -c 'exec "$1" "$2" >/dev/null' sh "$build/varnel-check" "$work/runs.hy")
  rss=$(tail -n 1 "$work/rss")
  ((rss > check_peak)) && check_peak=$rss
done
printf 'varnel-check, 4000000 runs of one record: %.1f ms (last of 3), peak %d KiB\n' \
  "$(echo "$t_check / 1000000" | bc -l)" "$check_peak"
