#!/usr/bin/env bash
# Benchmark of "upgsim analyse" and "upgsim check" on media whose size made
# the module's analysis take time growing with its square, and of the memory
# of a walk over a deep folder.
#
#   bench/bench_analyse.sh [BUILD_DIR]
#
# Builds, in a temporary folder, a small country-selection medium (two
# countries) grown one way at a time:
#   descri-2mb      a main DESCRI.DAT of 2 MB (50 000 lines): refused
#   countries-10k   10 000 country folders: refused
#   at-limits       every size at its limit at once: a main descriptor of
#                   2048 lines, 512 countries each with a descriptor of 128
#                   lines, a current-version file of 2048 lines (accepted)
#   deep-3000       a folder 3000 levels deep beside the two countries
# and times "upgsim analyse" of each (and "upgsim check" of at-limits and
# deep-3000): RUNS rounds (default 5), each command once per round; prints
# the median wall time, the largest peak memory (GNU time's maximum resident
# size) and every command's exit status, then the load average. A command
# slower than TIMEOUT seconds (default 600) is stopped and reported as such.
# UPGSIM=/path/to/upgsim times another build (an older one, for figures from
# before a change); CASES="analyse at-limits,check deep-3000" runs only the
# commands listed. Needs python3 (generator) and /usr/bin/time.
set -euo pipefail

build=${1:-build/release}
upgsim=${UPGSIM:-$build/tools/upgsim}
[ -x "$upgsim" ] || { echo "bench_analyse: build $upgsim first (cmake --preset release && cmake --build $build -j2 --target upgsim)" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "bench_analyse: needs /usr/bin/time (package time)" >&2; exit 2; }
runs=${RUNS:-5}
timeout_s=${TIMEOUT:-600}

work=$(mktemp -d "${TMPDIR:-/tmp}/bench-analyse-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/sd"

python3 - "$work" <<'EOF'
import os, sys

work = sys.argv[1]

def cid_of(n):
    # Three letters that differ for every country: the module matches a
    # country's current-version line by its first three characters.
    return chr(65 + n % 26) + chr(65 + n // 26 % 26) + chr(65 + n // 676 % 26)

def medium(name, countries=2, main_lines=0, country_lines=0, curr_lines=0, depth=0):
    root = os.path.join(work, name)
    os.makedirs(os.path.join(root, "MAPS"))
    main = ["DB_DOWNLOAD_VER,1,MAPS\\DVD_VER.NAV,0,X\r\n",
            "CURR_VERS,1,MAPS\\CURR_VERS_NAVI.TXT,0,X\r\n"]
    main += ["ICON_BRANDS,1,ICONS\\BRANDS.BIN,0,%07d\r\n" % i
             for i in range(max(0, main_lines - len(main)))]
    open(os.path.join(root, "DESCRI.DAT"), "w").writelines(main)
    open(os.path.join(root, "MAPS", "DVD_VER.NAV"), "w").write("VER:1\r\n")
    os.makedirs(os.path.join(root, "ICONS"))
    open(os.path.join(root, "ICONS", "BRANDS.BIN"), "w").write("icons")
    curr = []
    for n in range(countries):
        cid = cid_of(n) + "%d" % (n // 17576)
        d = os.path.join(root, "MAPPE", cid)
        os.makedirs(d)
        lines = ["CID_INFO,1,MAPPE\\%s\\CD_VER.NAV.INF,0,X\r\n" % cid,
                 "GRUPPO_4_CID,1,MAPPE\\%s\\GRUPPO_4_CID.DAT.inf,0,X\r\n" % cid]
        lines += ["EXTRA,1,MAPPE\\%s\\CD_VER.NAV.INF,0,%05d\r\n" % (cid, i)
                  for i in range(max(0, country_lines - len(lines)))]
        open(os.path.join(d, "DESCRI.DAT"), "w").writelines(lines)
        open(os.path.join(d, "GRUPPO_4_CID.DAT.inf"), "w").write("VER:%s\r\n" % cid)
        open(os.path.join(d, "CD_VER.NAV.INF"), "w").write(
            "CID:%s\r\nVERSION:5\r\nRELEASE:1\r\nCID_SIZE:100\r\n" % cid)
        curr.append('CID:%s,A,B,2,2024,"2024-06-01","Country %d","MAPMAKER"\r\n' % (cid, n))
    # Padding before the countries' lines: each country's search reads it.
    pad = ["REMARK %07d\r\n" % i for i in range(max(0, curr_lines - len(curr)))]
    open(os.path.join(root, "MAPS", "CURR_VERS_NAVI.TXT"), "w").writelines(pad + curr)
    if depth:
        fd = os.open(root, os.O_RDONLY)
        for _ in range(depth):
            os.mkdir("d", dir_fd=fd)
            child = os.open("d", os.O_RDONLY, dir_fd=fd)
            os.close(fd)
            fd = child
        os.close(fd)

medium("descri-2mb", main_lines=2 * 1024 * 1024 // 42)
medium("countries-10k", countries=10000)
medium("at-limits", countries=512, main_lines=2048, country_lines=128, curr_lines=2048)
medium("deep-3000", depth=3000)
EOF
echo "descri-2mb: DESCRI.DAT $(wc -c <"$work/descri-2mb/DESCRI.DAT") bytes, $(wc -l <"$work/descri-2mb/DESCRI.DAT") lines"

median() { sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

# One timed run: wall seconds, peak KB and exit status appended to $work/<label>.
run_one() {
    local label=$1 cmd=$2 medium=$3 out
    out=$work/$label.run
    set +e
    /usr/bin/time -o "$out" -f "%e %M %x" timeout "$timeout_s" \
        "$upgsim" --no-progress --media "$work/$medium" --sd "$work/sd" "$cmd" >/dev/null 2>&1
    set -e
    tail -n 1 "$out" >>"$work/$label"
}

if [ -n "${CASES:-}" ]; then
    IFS=, read -r -a cases <<<"$CASES"
else
    cases=("analyse descri-2mb" "analyse countries-10k" "analyse at-limits" "check at-limits"
        "analyse deep-3000" "check deep-3000")
fi
for _ in $(seq 1 "$runs"); do
    for c in "${cases[@]}"; do
        read -r cmd medium <<<"$c"
        run_one "$cmd-$medium" "$cmd" "$medium"
    done
done

printf '%-24s %10s %12s %s\n' "command" "median s" "peak MB" "exit status"
for c in "${cases[@]}"; do
    read -r cmd medium <<<"$c"
    f=$work/$cmd-$medium
    t=$(awk '{print $1}' "$f" | median)
    m=$(awk '$2 > m {m = $2} END {printf "%.1f", m / 1024}' "$f")
    codes=$(awk '{print $3}' "$f" | sort -u | tr '\n' ' ')
    case " $codes" in *" 124 "*) t=">$timeout_s (stopped)" ;; esac
    printf '%-24s %10s %12s %s\n' "$cmd $medium" "$t" "$m" "$codes"
done
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg) (at the end; $runs rounds, $(nproc) cores)"
