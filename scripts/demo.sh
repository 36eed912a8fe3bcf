#!/usr/bin/env bash
# Builds the release simulator and runs its main job.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc 2>/dev/null || echo 2)" --target upgsim
if build/release/tools/upgsim demo --help >/dev/null 2>&1; then
  exec build/release/tools/upgsim demo "$@"
fi
exec build/release/tools/upgsim --help
