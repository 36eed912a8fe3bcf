#!/usr/bin/env bash
# Times "upgsim sweep" of the example map upgrade on the demo's unit: the
# whole sweep (every cut, two runs each), RUNS times, and prints the median
# wall time, the median CPU time (user + system of every process) and the
# sweep's own N and verdict. See bench/README.md.
#
# The sample unit is built once with "upgsim demo --keep" and a script that
# does nothing (the demo's card stays as built) into BENCH_DIR, outside the
# timing; the sweep's copies go where upgsim puts them (/dev/shm by default).
#
# Environment (defaults in parentheses):
#   BENCH_DIR (/tmp/upg-bench-sweep)  the sample unit, kept
#   RUNS (3)                          sweeps timed
#   MAP_MB (1)                        map data per country (demo --map-mb)
#   JOBS                              -j of the sweep (default: every core)
#   SWEEP_ARGS                        extra sweep options (e.g. "--lost-writes --double")
#   UPGSIM                            an upgsim to time instead of the release build's
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
dir=${BENCH_DIR:-/tmp/upg-bench-sweep}
runs=${RUNS:-3}
map_mb=${MAP_MB:-1}
sweep_args=${SWEEP_ARGS:-}
jobs_arg=()
if [ -n "${JOBS:-}" ]; then jobs_arg=(-j "$JOBS"); fi

if [ -z "${UPGSIM:-}" ]; then
  echo "== building (release)"
  cmake --preset release >/dev/null
  cmake --build "$root/build/release" -j2 --target upgsim >/dev/null
  UPGSIM=$(find "$root/build/release" -name upgsim -type f -perm -u+x | head -n 1)
fi

unit=$dir/unit-${map_mb}mb
if [ ! -d "$unit/sd" ]; then
  echo "== building the demo's unit (${map_mb} MB maps) in $unit"
  mkdir -p "$dir"
  printf 'int main(void) { return 0; }\n' >"$dir/noop.c"
  "$UPGSIM" --no-progress demo --keep "$unit" --map-mb "$map_mb" --script "$dir/noop.c" \
    >/dev/null
fi

walls=()
cpus=()
for ((i = 1; i <= runs; i++)); do
  # shellcheck disable=SC2086
  /usr/bin/time -f '%e %U %S' -o "$dir/time.txt" "$UPGSIM" --no-progress \
    --media "$unit/media" --sd "$unit/sd" --sd-block-size 32768 \
    sweep --json "${jobs_arg[@]}" $sweep_args "$root/examples/map_upgrade.c" \
    >"$dir/sweep.json" || true
  read -r wall user sys <"$dir/time.txt"
  walls+=("$wall")
  cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')
  cpus+=("$cpu")
  summary=$(python3 -c 'import json,sys; j=json.load(open(sys.argv[1]));
print("N %d, %d cuts, %d converged, %d with a false claim, %s, %d jobs" % (j["operations"],
 j["cuts"], j["converged"], j["false_claim_cuts"], "passed" if j["passed"] else "FAILED",
 j["jobs"]))' "$dir/sweep.json")
  echo "run $i: ${wall} s wall, ${cpu} s CPU; $summary"
done

median() { printf '%s\n' "$@" | sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
echo "median: $(median "${walls[@]}") s wall, $(median "${cpus[@]}") s CPU over $runs sweeps" \
  "(load average now: $(cut -d' ' -f1-3 /proc/loadavg))"
