#!/usr/bin/env bash
# The fixed cost of checking one small archive: "upgsim check" of a medium of
# one country whose map archive holds three small files, against "gzip -t" of
# that archive.
#
#   bench/bench_check_small.sh [BUILD_DIR]
#
# Each round runs the check COUNT times in a row (default 50) and gzip -t as
# often; a round's figure is the time of one run (its total over COUNT). It
# prints the medians of RUNS rounds (default 5) in milliseconds and the load
# average. The target is a check under 5 ms. UPGSIM=/path/to/upgsim times
# another build (an older one, for figures from before a change).
set -euo pipefail

build=${1:-build/release}
upgsim=${UPGSIM:-$build/tools/upgsim}
[ -x "$upgsim" ] || { echo "bench_check_small: build $upgsim first (cmake --preset release && cmake --build $build -j2 --target upgsim)" >&2; exit 2; }
runs=${RUNS:-5}
count=${COUNT:-50}

work=$(mktemp -d "${TMPDIR:-/tmp}/bench-check-small-XXXXXX")
trap 'rm -rf "$work"' EXIT
m=$work/media
mkdir -p "$m/MAPS" "$m/MAPPE/FRA" "$work/src/FRA" "$work/sd"
printf 'DB_DOWNLOAD_VER,1,MAPS\\DVD_VER.NAV,0,X\r\nCURR_VERS,1,MAPS\\CURR_VERS_NAVI.TXT,0,X\r\n' >"$m/DESCRI.DAT"
printf 'VER:1\r\n' >"$m/MAPS/DVD_VER.NAV"
printf 'CID:FRA,A,B,2,2024,"2024-06-01","France","MAPMAKER"\r\n' >"$m/MAPS/CURR_VERS_NAVI.TXT"
printf 'CID_INFO,1,MAPPE\\FRA\\CD_VER.NAV.INF,0,X\r\nGRUPPO_4_CID,1,MAPPE\\FRA\\GRUPPO_4_CID.DAT.inf,0,X\r\nMAP_ARCHIVE,1,MAPPE\\FRA\\FRA.tgz,0,X\r\n' >"$m/MAPPE/FRA/DESCRI.DAT"
printf 'VER:FRA\r\n' >"$m/MAPPE/FRA/GRUPPO_4_CID.DAT.inf"
printf 'CID:FRA\r\nVERSION:5\r\nRELEASE:1\r\nCID_SIZE:100\r\n' >"$m/MAPPE/FRA/CD_VER.NAV.INF"
head -c 3000 /dev/urandom | base64 >"$work/src/FRA/ROADS.DAT"
echo names >"$work/src/FRA/NAMES.DAT"
: >"$work/src/FRA/EMPTY.DAT"
tar -C "$work/src" -czf "$m/MAPPE/FRA/FRA.tgz" --format=ustar FRA
archive=$m/MAPPE/FRA/FRA.tgz

# The medium must check clean: a finding would time another path.
if ! "$upgsim" --no-progress --media "$m" --sd "$work/sd" check >"$work/report" 2>&1; then
    echo "bench_check_small: the medium does not check clean:" >&2
    cat "$work/report" >&2
    exit 1
fi

median() { sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
now() { date +%s.%N; }
for _ in $(seq 1 "$runs"); do
    t0=$(now)
    for _ in $(seq 1 "$count"); do
        "$upgsim" --no-progress --media "$m" --sd "$work/sd" check >/dev/null
    done
    t1=$(now)
    for _ in $(seq 1 "$count"); do gzip -t "$archive"; done
    t2=$(now)
    echo "($t1 - $t0) * 1000 / $count" | bc -l >>"$work/t_check"
    echo "($t2 - $t1) * 1000 / $count" | bc -l >>"$work/t_gzip"
done
printf 'upgsim check:  %.1f ms per medium of one small archive (median of %d rounds of %d)\n' \
    "$(median <"$work/t_check")" "$runs" "$count"
printf 'gzip -t:       %.1f ms per archive\n' "$(median <"$work/t_gzip")"
echo "load average:  $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
