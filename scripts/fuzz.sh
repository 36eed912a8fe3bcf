#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (AddressSanitizer +
# UndefinedBehaviorSanitizer), writes their seed corpora from the test
# builders, replays the saved regression inputs, then fuzzes every target for
# SECONDS seconds (default 60), as many side by side as there are cores.
#
#   scripts/fuzz.sh [SECONDS]
#
# Environment:
#   UPG_FUZZ_BUILD    build folder (default build/fuzz)
#   UPG_FUZZ_TARGETS  space-separated subset of the targets (default: all)
#   UPG_FUZZ_NICE     "1" runs the fuzzers with nice (shared machines)
#   UPG_FUZZ_JOBS     how many targets fuzz at once (default: the cores)
#
# A finding (crash, sanitizer report, leak, timeout, failed assertion) fails
# the script. Its input is kept in <build>/artifacts/ and printed in hex so
# that it can be taken from a CI log; once the fault is fixed, save it as
# fuzz/regressions/<target>/<name>: every later run replays it first.
# The corpora grown by a run stay in <build>/corpus/<target>/ for the next run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
# shellcheck source=scripts/run_each.sh
source scripts/run_each.sh

seconds=${1:-60}
if ! [[ $seconds =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
  echo "usage: scripts/fuzz.sh [SECONDS]" >&2
  exit 2
fi

scripts/setup.sh

build=${UPG_FUZZ_BUILD:-build/fuzz}
all_targets=(fuzz_tar_blocks fuzz_tar_paths fuzz_untar_tgz fuzz_descri fuzz_carto_keyfile
  fuzz_poi_keyfile fuzz_currvers fuzz_config fuzz_builtins)
# shellcheck disable=SC2206
targets=(${UPG_FUZZ_TARGETS:-${all_targets[*]}})
nice_cmd=()
if [ "${UPG_FUZZ_NICE:-0}" = "1" ]; then nice_cmd=(nice -n 10); fi

echo "=== fuzz: configure and build ($build)"
cmake -S fuzz -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)"

# Every fuzzing process makes its scratch folder under this one.
scratch_parent=$(mktemp -d "${TMPDIR:-/tmp}/upgfuzz-run.XXXXXX")
if [ -w /dev/shm ]; then
  rmdir "$scratch_parent"
  scratch_parent=$(mktemp -d /dev/shm/upgfuzz-run.XXXXXX)
fi
trap 'rm -rf "$scratch_parent"' EXIT
export UPG_FUZZ_SCRATCH=$scratch_parent

# Sanitizer findings abort, so that libFuzzer keeps the input.
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

seeds=$build/seeds
artifacts=$build/artifacts
rm -rf "$seeds"
"$build/fuzz_make_seeds" "$seeds"
mkdir -p "$artifacts"

show_input() {
  local file=$1
  local size
  size=$(stat -c %s "$file")
  echo "--- input $file ($size bytes)"
  if [ "$size" -le 8192 ]; then
    od -A d -t x1 -v "$file" | sed 's/^/    /'
  fi
}

# One target's regression replay and fuzzing run; its summary line goes to
# <build>/<target>.summary, its failure to <build>/<target>.failed.
fuzz_one() {
  local t=$1
  echo "=== $t: fuzzing for ${seconds}s"
  local exe=$build/$t
  local regress=$root/fuzz/regressions/$t
  rm -f "$build/$t.summary" "$build/$t.failed"
  if [ -d "$regress" ] && [ -n "$(ls -A "$regress" 2>/dev/null)" ]; then
    if ! "$exe" -runs=1 "$regress"/* >"$build/$t.regress.log" 2>&1; then
      {
        echo "=== $t: regression inputs failed"
        tail -n 40 "$build/$t.regress.log"
      } >"$build/$t.failed"
      echo "$t (regression)" >"$build/$t.summary"
      return
    fi
  fi

  local corpus=$build/corpus/$t
  mkdir -p "$corpus"
  rm -f "$artifacts/$t-"*
  local log=$build/$t.log
  local start
  start=$(date +%s)
  local rc=0
  local dict=()
  if [ -f "fuzz/dicts/$t.dict" ]; then dict=(-dict="fuzz/dicts/$t.dict"); fi
  "${nice_cmd[@]}" "$exe" "${dict[@]}" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2560 \
    -max_len=65536 -print_final_stats=1 -artifact_prefix="$artifacts/$t-" \
    "$corpus" "$seeds/$t" >"$log" 2>&1 || rc=$?
  local elapsed=$(($(date +%s) - start))
  local runs speed
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  if [ "$rc" -ne 0 ]; then
    {
      echo "=== $t: finding"
      tail -n 60 "$log"
      local f
      for f in "$artifacts/$t-"*; do
        [ -f "$f" ] && show_input "$f"
      done
    } >"$build/$t.failed"
    printf '%-20s %5ss %10s runs %8s exec/s  FINDING\n' "$t" "$elapsed" "${runs:-?}" \
      "${speed:-?}" >"$build/$t.summary"
  else
    printf '%-20s %5ss %10s runs %8s exec/s  ok\n' "$t" "$elapsed" "${runs:-?}" \
      "${speed:-?}" >"$build/$t.summary"
  fi
}

for t in "${targets[@]}"; do
  if [ ! -x "$build/$t" ]; then
    echo "fuzz: no such target $t" >&2
    exit 2
  fi
done
# The targets run side by side, one per core: each fuzzer is one process.
run_each "${UPG_FUZZ_JOBS:-$(nproc 2>/dev/null || echo 2)}" fuzz_one "$build" "${targets[@]}"

echo "=== fuzz summary (${seconds}s per target)"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: findings in ${failed[*]}" >&2
  exit 1
fi
echo "=== fuzz: no findings"
