#!/usr/bin/env bash
# Runs test binaries of a plain debug build under Valgrind's memcheck and
# fails on any memory error or definite leak.
#
#   scripts/valgrind.sh [BINARY...]     e.g. scripts/valgrind.sh test_untgz
#
# With no argument it runs the default subset below. The debug build is the
# one scripts/test.sh makes (build/debug; UPG_VALGRIND_BUILD names another);
# it is configured and built here when missing.
#
# The default subset is every test binary but the reader's contract suite
# and the medium checker's (about a minute and a half on two cores).
# Waits in the suite have timeouts far above their need, so the tests pass
# unchanged at Valgrind's speed.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/run_each.sh
source scripts/run_each.sh

build=${UPG_VALGRIND_BUILD:-build/debug}
# Longest first (seconds on two cores: 39, 30, 28, 28, 14, then 5 and less).
default_subset=(test_poi_upgrade test_untgz test_upgsim test_sweep test_builtins
  test_config_system test_scripthost test_platform test_unit test_cartotree test_foundation)
declare -A gtest_filter=()

scripts/setup.sh # installs valgrind too

if [ $# -gt 0 ]; then
  binaries=("$@")
else
  binaries=("${default_subset[@]}")
fi

if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
fi
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target "${binaries[@]}"

logs=$build/valgrind
mkdir -p "$logs"

# One binary under memcheck; its summary line goes to <logs>/<binary>.summary
# and, when it fails, what to show to <logs>/<binary>.failed.
run_one() {
  local b=$1
  echo "=== valgrind $b"
  local exe=$build/tests/$b
  rm -f "$logs/$b.summary" "$logs/$b.failed"
  local start
  start=$(date +%s)
  local rc=0
  # The tests find their binary's name in this variable (as under ctest).
  # --run-libc-freeres=no: at a process's end valgrind would otherwise run
  # the C library's clean-up, which flushes every open stream even after
  # _exit; the power-cut tests check that a cut flushes nothing.
  UPG_TEST_BINARY=${b#test_} valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
    --run-libc-freeres=no \
    --errors-for-leak-kinds=definite --show-leak-kinds=definite --num-callers=30 \
    --log-file="$logs/$b.vg.log" "$exe" --gtest_brief=1 --gtest_filter="${gtest_filter[$b]:-*}" \
    >"$logs/$b.out" 2>&1 || rc=$?
  local elapsed=$(($(date +%s) - start))
  local errors
  errors=$(sed -n 's/.*ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' "$logs/$b.vg.log" | tail -n 1)
  if [ "$rc" -ne 0 ]; then
    {
      echo "=== valgrind $b: FAILED"
      tail -n 30 "$logs/$b.out"
      grep -E -A 30 'Invalid|uninitialised|definitely lost|Mismatched|overlap' \
        "$logs/$b.vg.log" | head -n 120 || true
    } >"$logs/$b.failed"
    printf '%-20s %5ss  errors %s  FAILED (exit %s)\n' "$b" "$elapsed" "${errors:-?}" "$rc" \
      >"$logs/$b.summary"
  else
    printf '%-20s %5ss  errors %s  ok\n' "$b" "$elapsed" "${errors:-0}" >"$logs/$b.summary"
  fi
}

for b in "${binaries[@]}"; do
  if [ ! -x "$build/tests/$b" ]; then
    echo "valgrind: no test binary $build/tests/$b" >&2
    exit 2
  fi
done
# Memcheck runs a program on one core: the binaries run side by side, one per
# core, in the order given (the default subset's is the longest first).
run_each "$(nproc 2>/dev/null || echo 2)" run_one "$logs" "${binaries[@]}"

echo "=== valgrind summary"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "valgrind: failures in ${failed[*]}" >&2
  exit 1
fi
echo "valgrind: ${#binaries[@]} passed, 0 failed"
