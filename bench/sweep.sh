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
#   COUNTRIES (0)                     > 0: time instead "sweep --reduce" of a generated
#                                     medium of that many countries (on the demo's card)
#   FILES (2000)                      files per country archive of that medium
#   FILE_KB (1)                       size of each of those files
#
# With COUNTRIES, the medium is generated into $BENCH_DIR/medium-C-F (kept):
# the demo's POI delivery, and per country a descriptor, version, group file
# and an archive of FILES files (hard links of one set, packed by
# "upgsim pack"). The sweep first tells the full medium's N and estimated
# CPU time, then sweeps the reduced copy; the script's --lost-writes sweep
# (SWEEP_ARGS) is timed as a whole.
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

media=$unit/media
card=$unit/sd
script=$root/examples/map_upgrade.c
reduce=()
countries=${COUNTRIES:-0}
if [ "$countries" -gt 0 ]; then
  files=${FILES:-2000}
  file_kb=${FILE_KB:-1}
  media=$dir/medium-$countries-$files
  reduce=(--reduce)
  if [ ! -f "$media/DESCRI.DAT" ]; then
    echo "== generating a medium of $countries countries, $files files of $file_kb KB each, in $media"
    rm -rf "$media" "$dir/tiles" "$dir/maps"
    mkdir -p "$media/MAPPE" "$dir/tiles" "$dir/maps"
    cp -r "$unit/media/POI" "$media/POI"
    for ((f = 0; f < files; f++)); do
      head -c $((file_kb * 1024)) /dev/urandom >"$dir/tiles/T$f.DAT"
    done
    {
      printf 'DB_DOWNLOAD_NAV,1,MAPPE/DVD_VER.NAV,0,list of countries\n'
      printf 'GRUPPO_ROOT_CURR,1,MAPPE/CURR_VERS_NAVI.TXT,0,current versions\n'
      printf 'POI_DOWNLOAD,1,POI/POI_UPD.tgz,0,POI delivery\n'
    } >"$media/DESCRI.DAT"
    printf 'VERSION:2024.3\nAREA:EU\n' >"$media/MAPPE/DVD_VER.NAV"
    : >"$media/MAPPE/CURR_VERS_NAVI.TXT"
    size=$((files * (file_kb * 1024 + 4096)))
    letters=ABCDEFGHIJKLMNOPQRSTUVWXYZ
    for ((c = 0; c < countries; c++)); do
      cid=Q${letters:$((c / 26)):1}${letters:$((c % 26)):1}
      m=$media/MAPPE/$cid
      mkdir -p "$m"
      printf 'CID:%s,EU,%s-7,3,2024,"2024-09-15","Country %s","Bench Maps"\n' "$cid" "$cid" \
        "$cid" >>"$media/MAPPE/CURR_VERS_NAVI.TXT"
      printf 'CID_INFO,1,MAPPE/%s/CD_VER.NAV.INF,0,country\nGRUPPO_4_CID,1,MAPPE/%s/GRUPPO_4_CID.DAT.inf,0,group\nMAP_ARCHIVE,1,MAPPE/%s/%s.tgz,0,map data\n' \
        "$cid" "$cid" "$cid" "$cid" >"$m/DESCRI.DAT"
      printf 'CID:%s\nVERSION:7\nRELEASE:1\nCID_SIZE_4:%s\nCID_SIZE_8:%s\nCID_SIZE_16:%s\nCID_SIZE_32:%s\nCID_SIZE:%s\n' \
        "$cid" "$size" "$size" "$size" "$size" "$size" >"$m/CD_VER.NAV.INF"
      printf 'VER:%s\n' "$cid" >"$m/GRUPPO_4_CID.DAT.inf"
      cp -al "$dir/tiles" "$dir/maps/$cid"
      "$UPGSIM" --no-progress pack "$dir/maps/$cid" "$m/$cid.tgz" >/dev/null
      rm -rf "$dir/maps/$cid"
    done
    rm -rf "$dir/tiles" "$dir/maps"
  fi
fi

walls=()
cpus=()
for ((i = 1; i <= runs; i++)); do
  # shellcheck disable=SC2086
  /usr/bin/time -f '%e %U %S' -o "$dir/time.txt" "$UPGSIM" --no-progress \
    --media "$media" --sd "$card" --sd-block-size 32768 --sd-capacity 32G \
    sweep --json "${jobs_arg[@]}" "${reduce[@]}" $sweep_args "$script" \
    >"$dir/sweep.json" 2>"$dir/sweep.err" || true
  grep '^sweep: ' "$dir/sweep.err" || true
  read -r wall user sys <"$dir/time.txt"
  walls+=("$wall")
  cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')
  cpus+=("$cpu")
  summary=$(python3 -c 'import json,sys; j=json.load(open(sys.argv[1]));
print("N %d, %d cuts, %d converged, %d with a false claim, %s, %d jobs" % (j["operations"],
 j["cuts"], j["converged"], j["false_claim_cuts"], j.get("verdict", "?"), j["jobs"]))' \
    "$dir/sweep.json")
  echo "run $i: ${wall} s wall, ${cpu} s CPU; $summary"
done

median() { printf '%s\n' "$@" | sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
echo "median: $(median "${walls[@]}") s wall, $(median "${cpus[@]}") s CPU over $runs sweeps" \
  "(load average now: $(cut -d' ' -f1-3 /proc/loadavg))"
