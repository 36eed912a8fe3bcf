#!/usr/bin/env bash
# Builds and runs the whole test suite three times: plain debug, then under
# AddressSanitizer + UndefinedBehaviorSanitizer, then under ThreadSanitizer.
# Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)
presets=("${@:-debug asan tsan}")
# shellcheck disable=SC2206
presets=(${presets[*]})

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

for preset in "${presets[@]}"; do
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== $preset: test"
  ctest --preset "$preset" -j "$jobs" --timeout 300
done
echo "=== all suites passed: ${presets[*]}"
