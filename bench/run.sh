#!/usr/bin/env bash
# The whole extraction and copy comparison in one command (see bench/README.md).
#
# Builds the release presets, generates the corpora once (kept in BENCH_DIR),
# then for each corpus runs the contenders in turn, RUNS rounds, the order
# rotated from round to round, each run into a fresh folder. Prints the
# median of each contender and the ratios, and writes the table to
# BENCH_DIR/results.md. Then BuiltinsCopy of COPY_MIB against dd bs=64k conv=fsync.
#
# upgsim is timed twice where the default build has ISA-L: as built
# ("upgsim") and built with zlib ("upgsim-zlib", preset release-zlib).
#
# For about a minute after many files were deleted, ext4 passes over their
# inodes when it allocates new ones, and every file creation gets slower
# (and a large deletion keeps the disk busy with discards for longer). So
# no timed run follows a deletion: every run's folder is kept until the
# whole comparison is over, and the script starts with a rest of REST
# seconds for whatever ran before it.
#
# Environment (defaults in parentheses):
#   BENCH_DIR (/tmp/upg-bench)      work folder: every run's output is kept to the end
#                                   (about 3 x RUNS x the corpora's data: 22 GB at full size
#                                   with both builds, 1 GB more for the copy)
#   RUNS (5)                        rounds per corpus
#   CORPORA (mixed tiny large)      corpora to run
#   BENCH_MIXED_MB (300) BENCH_MIXED_FILES (3000) BENCH_TINY_FILES (20000)
#   BENCH_LARGE_MB (1024)           corpus sizes (a new size builds a new archive)
#   COPY_MIB (1024)                 size of the copy benchmark; 0 skips it
#   SETTLE (1)                      seconds of rest after each run
#   REST (65)                       seconds of rest before the first run
#   UPGSIM                          an upgsim to time instead of the one built
#   UPGSIM_ZLIB                     the zlib upgsim to time; "none" leaves it out
#   UPGSIM_ARGS                     extra global options (e.g. "--tick-hz 60")
# Quick run: RUNS=3 BENCH_MIXED_MB=30 BENCH_MIXED_FILES=300 BENCH_TINY_FILES=2000
#            BENCH_LARGE_MB=100 COPY_MIB=100 REST=5 bench/run.sh
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
dir=${BENCH_DIR:-/tmp/upg-bench}
runs=${RUNS:-5}
corpora=${CORPORA:-mixed tiny large}
mixed_mb=${BENCH_MIXED_MB:-300}
mixed_files=${BENCH_MIXED_FILES:-3000}
tiny_files=${BENCH_TINY_FILES:-20000}
large_mb=${BENCH_LARGE_MB:-1024}
copy_mib=${COPY_MIB:-1024}
settle=${SETTLE:-1}
rest=${REST:-65}
export BENCH_MIXED_MB=$mixed_mb BENCH_MIXED_FILES=$mixed_files BENCH_TINY_FILES=$tiny_files
export BENCH_LARGE_MB=$large_mb

echo "== building (release)"
cmake --preset release >/dev/null
cmake --build "$root/build/release" -j2 --target upgsim bench_corpus bench_gzfloor bench_copy \
    >/dev/null
bin=$root/build/release
upgsim=${UPGSIM:-$(find "$bin" -name upgsim -type f -perm -u+x | head -n 1)}
corpus_tool=$(find "$bin" -name bench_corpus -type f | head -n 1)
floor_tool=$(find "$bin" -name bench_gzfloor -type f | head -n 1)
copy_tool=$(find "$bin" -name bench_copy -type f | head -n 1)
upgsim_zlib=${UPGSIM_ZLIB:-}
if [ -z "$upgsim_zlib" ] && "$upgsim" --version 2>/dev/null | grep -q 'inflater isal'; then
    echo "== building (release-zlib)"
    cmake --preset release-zlib >/dev/null
    cmake --build "$root/build/release-zlib" -j2 --target upgsim >/dev/null
    upgsim_zlib=$(find "$root/build/release-zlib" -name upgsim -type f -perm -u+x | head -n 1)
fi
[ "$upgsim_zlib" = none ] && upgsim_zlib=
mkdir -p "$dir"
rm -rf "$dir/out"

# Contenders: name and command (ARCHIVE and OUT are substituted).
names=(upgsim)
[ -n "$upgsim_zlib" ] && names+=(upgsim-zlib)
names+=(floor)
have() { command -v "$1" >/dev/null 2>&1; }
have bsdtar && names+=(bsdtar)
have tar && names+=(tar)
# GNU tar followed by a flush of the output's file system: the same durable
# work as upgsim untar, which flushes its destination before it reports 0.
have tar && have sync && names+=(tar-sync)
have igzip && names+=(igzip)

run_one() { # name archive out
    case $1 in
    upgsim) "$upgsim" --no-progress ${UPGSIM_ARGS:-} untar "$2" "$3" >/dev/null ;;
    upgsim-zlib) "$upgsim_zlib" --no-progress ${UPGSIM_ARGS:-} untar "$2" "$3" >/dev/null ;;
    floor) "$floor_tool" "$2" ;;
    bsdtar) bsdtar -xzf "$2" -C "$3" ;;
    tar) tar -xzf "$2" -C "$3" ;;
    tar-sync) tar -xzf "$2" -C "$3" && sync -f "$3" ;;
    igzip) igzip -dc "$2" >/dev/null ;;
    esac
}

median() { sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (a > 0 && b > 0) printf "%.3f", a/b; else printf "-"}'; }

# Ratio columns: numerator, denominator.
ratios=("upgsim floor" "upgsim bsdtar" "upgsim tar" "upgsim tar-sync" "upgsim igzip")
[ -n "$upgsim_zlib" ] && ratios+=("upgsim-zlib floor" "upgsim-zlib bsdtar" "upgsim-zlib tar")
ratios+=("igzip floor")

load=$(cut -d' ' -f1-3 /proc/loadavg)
{
    echo "# Extraction and copy benchmark"
    echo
    echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load average at start $load;" \
        "$("$upgsim" --version 2>/dev/null | head -n 1)${upgsim_zlib:+ and $("$upgsim_zlib" --version 2>/dev/null | head -n 1)};" \
        "median of $runs runs."
    echo
    header="| corpus | $(printf '%s s | ' "${names[@]}")"
    for r in "${ratios[@]}"; do header+="${r% *}/${r#* } | "; done
    echo "${header% }"
    echo "|---|$(printf -- '---|%.0s' "${names[@]}" "${ratios[@]}")"
} >"$dir/results.md"

echo "== resting ${rest} s"
sleep "$rest"

for corpus in $corpora; do
    case $corpus in
    mixed) tag="mixed-${mixed_mb}m-${mixed_files}" ;;
    tiny) tag="tiny-${tiny_files}" ;;
    large) tag="large-${large_mb}m" ;;
    *) echo "unknown corpus $corpus" >&2; exit 2 ;;
    esac
    archive=$dir/$tag.tgz
    if [ ! -f "$archive" ]; then
        echo "== building corpus $tag"
        "$corpus_tool" "$corpus" "$archive"
    fi
    echo "== $tag ($(du -m "$archive" | cut -f1) MB archive), $runs rounds"
    declare -A times=()
    for ((round = 0; round < runs; round++)); do
        n=${#names[@]}
        for ((k = 0; k < n; k++)); do
            name=${names[$(((k + round) % n))]}
            out=$dir/out/$tag-$round-$name
            mkdir -p "$out"
            sync
            start=$(date +%s%N)
            if ! run_one "$name" "$archive" "$out"; then
                echo "   $name failed on $tag" >&2
                exit 1
            fi
            end=$(date +%s%N)
            sync
            sleep "$settle"
            t=$(awk -v a="$start" -v b="$end" 'BEGIN {printf "%.3f", (b - a) / 1e9}')
            times[$name]="${times[$name]:-} $t"
            echo "   round $((round + 1)) $name $t s"
        done
    done
    declare -A med=()
    row="| $tag |"
    for name in "${names[@]}"; do
        med[$name]=$(tr ' ' '\n' <<<"${times[$name]}" | grep . | median)
        row+=" ${med[$name]} |"
    done
    for r in "${ratios[@]}"; do row+=" $(ratio "${med[${r% *}]:-0}" "${med[${r#* }]:-0}") |"; done
    echo "$row" >>"$dir/results.md"
    unset times med
done

if [ "$copy_mib" -gt 0 ]; then
    echo "== copy of $copy_mib MiB"
    copy_out=$("$copy_tool" --dir "$dir" --size-mib "$copy_mib" --runs "$runs" --no-pois || true)
    echo "$copy_out"
    {
        echo
        echo "Copy of $copy_mib MiB, median of $runs: $(grep -E 'BuiltinsCopy / dd conv' <<<"$copy_out" || echo 'failed')"
    } >>"$dir/results.md"
fi

echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)" >>"$dir/results.md"
echo "== deleting the runs' folders"
rm -rf "$dir/out"
echo
cat "$dir/results.md"
