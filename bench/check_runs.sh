#!/usr/bin/env bash
# Times "upgsim check" of the demo's medium with its script runs: "check"
# (the bundled map_upgrade.c on every card state) and "check --power-cuts"
# (every run also swept at every operation), RUNS times each, and prints the
# medians of the wall time, the load average before the rounds and the
# targets (3 s and 60 s on 2 cores). See bench/README.md.
#
# The demo's unit is built once with "upgsim demo --keep" and a script that
# does nothing (the card stays as built) into BENCH_DIR, outside the timing.
#
# Environment (defaults in parentheses):
#   BENCH_DIR (/tmp/upg-bench-check-runs)  the sample unit, kept
#   RUNS (5)                               rounds timed
#   MAP_MB (1)                             map data per country (demo --map-mb)
#   WITH_CARD (0)                          1: also the demo's card (--sd)
#   UPGSIM                                 an upgsim to time instead of the release build's
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
dir=${BENCH_DIR:-/tmp/upg-bench-check-runs}
runs=${RUNS:-5}
map_mb=${MAP_MB:-1}

if [ -z "${UPGSIM:-}" ]; then
  echo "== building (release)"
  cmake --preset release >/dev/null
  cmake --build "$root/build/release" -j2 --target upgsim >/dev/null
  UPGSIM=$root/build/release/tools/upgsim
fi

unit=$dir/unit-${map_mb}mb
if [ ! -d "$unit/sd" ]; then
  echo "== building the demo's unit (${map_mb} MB maps) in $unit"
  mkdir -p "$dir"
  printf 'int main(void) { return 0; }\n' >"$dir/noop.c"
  "$UPGSIM" --no-progress demo --keep "$unit" --map-mb "$map_mb" --script "$dir/noop.c" \
    >/dev/null
fi
card=()
if [ "${WITH_CARD:-0}" = 1 ]; then card=(--sd "$unit/sd"); fi

median() { printf '%s\n' "$@" | sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }

# One round: the wall time of a check, its exit status noted.
timed() {
  /usr/bin/time -f '%e' -o "$dir/time.txt" "$UPGSIM" --no-progress --media "$unit/media" \
    "${card[@]}" check "$@" >"$dir/out.txt" 2>&1 || echo "   (exit $? : see $dir/out.txt)" >&2
  cat "$dir/time.txt"
}

echo "== load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
script=()
cuts=()
for ((i = 1; i <= runs; i++)); do
  script+=("$(timed)")
  cuts+=("$(timed --power-cuts)")
done
grep -E '^ +[0-9]+ .*power cuts' "$dir/out.txt" || true
echo "== load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
printf 'check               median %6s s of %d (target 3 s):  %s\n' "$(median "${script[@]}")" \
  "$runs" "${script[*]}"
printf 'check --power-cuts  median %6s s of %d (target 60 s): %s\n' "$(median "${cuts[@]}")" \
  "$runs" "${cuts[*]}"
