#!/usr/bin/env bash
# Builds and runs the whole test suite through CTest in three builds: plain
# debug, AddressSanitizer + UndefinedBehaviorSanitizer, and ThreadSanitizer.
# In the debug build every test binary also runs once more whole, its tests in
# a shuffled order, so that no test depends on what ran before it in the same
# process: once is enough for that. The binaries run side by side, one per
# core (without debug among the presets asked for, the asan build does it).
# Every configuration builds every inflater there is (zlib, and ISA-L where
# libisal-dev is installed), and the reader's contract suite (test_gzreader)
# and the multi-member extraction sweep run against each of them. Then, in the
# debug build, the tests labelled "archive" (extraction above the reader:
# their error paths and fault sweeps run on the default inflater only) once
# more with zlib, the unit's own inflater, chosen at run time
# (UPG_INFLATE=zlib): no build of its own.
# Under ThreadSanitizer only the tests labelled "threads" are built and run:
# those that start a task or a thread (the extractor's writer tasks, the bar task, the
# POI task, the platform's tasks, the script's child and its watch). The
# single-threaded reader sweeps, the malformed-input sweeps and the project's
# end-to-end way from init to a release report (labelled "slow") add no
# interleaving of their own there and run in the other builds.
# Exits non-zero on the first failure. `scripts/test.sh PRESET...` runs some
# of debug, asan, tsan and zlib (the zlib rerun on the debug build) only.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)
presets=("${@:-debug zlib asan tsan}")
# shellcheck disable=SC2206
presets=(${presets[*]})
shuffled=
for p in debug asan; do
  if [[ " ${presets[*]} " == *" $p "* ]]; then
    shuffled=$p
    break
  fi
done

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# ThreadSanitizer waits a second before every exit of a process that started
# a thread, to catch threads still running then; each test is a process of
# its own, so that second was most of the tsan run. A tenth of it still lets
# a thread left running race with the exit.
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:atexit_sleep_ms=100"

# Each stage says how long it took (the "=== ...: done in Ns" lines).
done_in() {
  echo "=== $1: done in $(($(date +%s) - started))s"
  started=$(date +%s)
}

for preset in "${presets[@]}"; do
  started=$(date +%s)
  if [ "$preset" = zlib ]; then
    echo "=== zlib: the suites labelled archive on the debug build, zlib chosen at run time"
    cmake --preset debug >/dev/null
    cmake --build --preset debug -j "$jobs" --target tests_archive
    UPG_INFLATE=zlib ctest --preset debug -j "$jobs" --timeout 300 -L archive
    done_in "zlib: build and test"
    continue
  fi
  # ThreadSanitizer builds and runs only the threaded suites, not the slow ones.
  targets=()
  selection=()
  if [ "$preset" = tsan ]; then
    targets=(--target tests_threads)
    selection=(-L threads -LE slow)
  fi
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs" "${targets[@]}"
  done_in "$preset: configure and build"
  echo "=== $preset: test"
  ctest --preset "$preset" -j "$jobs" --timeout 300 "${selection[@]}"
  done_in "$preset: test"
  [ "$preset" = "$shuffled" ] || continue
  # ctest runs each test in a process of its own; run each binary once more
  # whole, its tests in a shuffled order with a fixed seed (the binary's line
  # number), one binary per core. Each one's output is kept in
  # build/PRESET/shuffled/ and shown when it fails.
  echo "=== $preset: each test binary shuffled"
  out=build/$preset/shuffled
  rm -rf "$out"
  mkdir -p "$out"
  seed=0
  while read -r name; do
    seed=$((seed + 1))
    printf '%s %s\n' "$name" "$seed"
  done <"build/$preset/tests/binaries.txt" >"$out/list"
  # shellcheck disable=SC2016
  if ! xargs -P "$jobs" -L 1 bash -c '
      preset=$1 out=$2 name=$3 seed=$4
      start=$(date +%s)
      # The tests find their binary'"'"'s name in this variable (as under ctest).
      if UPG_TEST_BINARY=${name#test_} timeout 900 "build/$preset/tests/$name" --gtest_brief=1 \
          --gtest_shuffle --gtest_random_seed="$seed" </dev/null >"$out/$name.log" 2>&1; then
        echo "--- $name --gtest_shuffle --gtest_random_seed=$seed: passed, $(($(date +%s) - start))s"
      else
        echo "--- $name --gtest_shuffle --gtest_random_seed=$seed: FAILED"
        tail -n 60 "$out/$name.log"
        exit 255
      fi' _ "$preset" "$out" <"$out/list"; then
    exit 1
  fi
  done_in "$preset: each test binary shuffled"
done
echo "=== all suites passed: ${presets[*]}"
