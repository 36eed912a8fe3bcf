#!/usr/bin/env bash
# Benchmark of "upgsim check" against "gzip -t" over the same archives.
#
#   bench/bench_check.sh [TOTAL_MB] [BUILD_DIR]
#
# Builds a sample medium (upgsim demo) whose three country archives are
# replaced by archives of about TOTAL_MB MB in all (default 1024; base64 text,
# which deflate packs to about three quarters, in files of up to 64 MB), then
# times "gzip -t" over every .tgz of the medium and "upgsim check" of it, and
# prints the medians of RUNS rounds (default 5, the order swapped each round)
# and their ratio with the peak memory of the check. The target is a ratio of
# at most 0.5. The check extracts each archive into a
# scratch folder under $TMPDIR, so it needs that much free room.
set -euo pipefail

total_mb=${1:-1024}
build=${2:-build/release}
upgsim=$build/tools/upgsim
[ -x "$upgsim" ] || { echo "bench_check: build $upgsim first (cmake --preset release && cmake --build $build -j2 --target upgsim)" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/bench-check-XXXXXX")
trap 'rm -rf "$work"' EXIT

"$upgsim" demo --keep "$work/unit" --map-mb 1 --no-progress >/dev/null
media=$work/unit/media

# One block of 16 MB of text from random bytes; files repeat it, farther
# apart than deflate's window, so every copy costs the same to pack.
head -c 12582912 /dev/urandom | base64 -w 100 >"$work/block"
per_country=$((total_mb * 4 / 3 / 3)) # raw MB per country archive
for cid in $(ls "$media/MAPPE"); do
    [ -f "$media/MAPPE/$cid/$cid.tgz" ] || continue
    src=$work/src/$cid
    mkdir -p "$src"
    left=$per_country
    n=0
    while [ "$left" -gt 0 ]; do
        size=$((left < 64 ? left : 64))
        # head stops reading early: the copies' broken pipe is expected.
        (set +o pipefail; for _ in $(seq 1 $(((size + 15) / 16))); do cat "$work/block"; done 2>/dev/null | head -c $((size * 1048576)) >"$src/part$n.dat")
        left=$((left - size))
        n=$((n + 1))
    done
    tar -C "$work/src" -czf "$media/MAPPE/$cid/$cid.tgz" "$cid"
    rm -rf "$src"
done
archives=$(find "$media" -name '*.tgz' | sort)
bytes=$(cat $archives | wc -c)
echo "archives: $(echo "$archives" | wc -l), $((bytes / 1048576)) MB compressed"

# RUNS rounds (default 5), gzip -t and the check in turn, the order swapped
# from round to round; the medians are compared.
runs=${RUNS:-5}
median() { sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
time_gzip() {
    local t0 t1
    t0=$(date +%s.%N)
    for a in $archives; do gzip -t "$a"; done
    t1=$(date +%s.%N)
    echo "$t1 - $t0" | bc -l >>"$work/t_gzip"
}
time_check() {
    local t0 t1
    t0=$(date +%s.%N)
    /usr/bin/time -f "%M" -o "$work/rss" "$upgsim" --media "$media" --sd "$work/unit/sd" \
        --no-progress check >"$work/report" || true
    t1=$(date +%s.%N)
    echo "$t1 - $t0" | bc -l >>"$work/t_check"
}
for ((round = 0; round < runs; round++)); do
    if ((round % 2 == 0)); then time_gzip; time_check; else time_check; time_gzip; fi
done
gz=$(median <"$work/t_gzip")
chk=$(median <"$work/t_check")
printf 'gzip -t:       %.2f s (median of %d)\n' "$gz" "$runs"
printf 'upgsim check:  %.2f s (median of %d; peak memory %s KiB)\n' "$chk" "$runs" "$(cat "$work/rss")"
printf 'ratio:         %.2f (target at most 0.5)\n' "$(echo "$chk / $gz" | bc -l)"
echo "load average:  $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
