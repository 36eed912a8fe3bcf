#!/usr/bin/env bash
# Builds and runs the whole test suite three times: plain debug, then under
# AddressSanitizer + UndefinedBehaviorSanitizer, then under ThreadSanitizer;
# after each, every test binary runs once more whole in a shuffled order.
# Every configuration builds every inflater there is (zlib, and ISA-L where
# libisal-dev is installed), and the reader's contract suite (test_gzreader)
# and the multi-member extraction sweep run against each of them. Then the
# extraction suites above the reader once more with zlib as the default
# inflater (the zlib preset, debug with -DUPG_INFLATE=zlib): their error paths
# (what is extracted before damaged data is noticed) and fault sweeps run on
# the build's default only.
# Exits non-zero on the first failure. `scripts/test.sh PRESET...` runs some
# of debug, asan, tsan and zlib only.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)
presets=("${@:-debug asan tsan zlib}")
# The suites (and the tests in them) that extract archives on the default
# inflater; the reader's own suite and the members sweep (Inflaters/...)
# already ran on zlib in every other preset.
zlib_targets=(test_untgz test_hostile test_poi test_copy test_builtins_hmi)
zlib_tests='^(Untgz|Untar|Table/HostileArchive|Poi|Copy|Bargraph)|FaultSweep'
zlib_skip='^Inflaters/'
# shellcheck disable=SC2206
presets=(${presets[*]})

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

for preset in "${presets[@]}"; do
  if [ "$preset" = zlib ]; then
    echo "=== zlib: configure and build the extraction suites"
    cmake --preset zlib >/dev/null
    cmake --build --preset zlib -j "$jobs" --target "${zlib_targets[@]}"
    echo "=== zlib: extraction suites"
    ctest --preset zlib -j "$jobs" --timeout 300 -R "$zlib_tests" -E "$zlib_skip"
    continue
  fi
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== $preset: test"
  ctest --preset "$preset" -j "$jobs" --timeout 300
  # ctest runs each test in a process of its own; run each binary once more
  # whole, its tests in a shuffled order with a fixed seed, so that no test
  # depends on what ran before it in the same process.
  echo "=== $preset: each test binary shuffled"
  seed=1
  for exe in "build/$preset"/tests/test_*; do
    [ -x "$exe" ] && [ -f "$exe" ] || continue
    name=$(basename "$exe")
    echo "--- $name --gtest_shuffle --gtest_random_seed=$seed"
    # The tests find their binary's name in this variable (as under ctest).
    UPG_TEST_BINARY=${name#test_} timeout 900 "$exe" --gtest_brief=1 --gtest_shuffle \
      --gtest_random_seed="$seed"
    seed=$((seed + 1))
  done
done
echo "=== all suites passed: ${presets[*]}"
