#!/usr/bin/env bash
# Static analysis of the module, the host platform and the unit stand-ins:
# clang-tidy with the checks of .clang-tidy (bugprone, cert, clang-analyzer)
# and cppcheck. Fails on any finding; a finding that is not a fault is
# suppressed where it is, with its reason (NOLINT / cppcheck-suppress), or,
# for whole checks, below and in .clang-tidy with theirs.
#
#   scripts/lint.sh            both tools
#   scripts/lint.sh tidy       clang-tidy only
#   scripts/lint.sh cppcheck   cppcheck only
#
# UPG_LINT_BUILD names the build folder whose compile_commands.json clang-tidy
# reads (default build/lint; only configured, never built).
set -euo pipefail
cd "$(dirname "$0")/.."

what=${1:-all}
case $what in all | tidy | cppcheck) ;; *)
  echo "usage: scripts/lint.sh [tidy|cppcheck]" >&2
  exit 2
  ;;
esac

scripts/setup.sh # installs clang-tidy and cppcheck too

# The code under analysis: module, foundation, platform (seam headers and
# host implementation) and unit stand-ins, their folders as the build lists
# them (cmake/layers.cmake). Tests, tools, benchmarks and fuzz targets are
# not.
layer_dirs() { sed -n "s/^set($1 \(.*\))\$/\1/p" cmake/layers.cmake; }
# shellcheck disable=SC2207
module_dirs=($(layer_dirs UPG_MODULE_DIRS) $(layer_dirs UPG_FOUNDATION_DIRS))
# shellcheck disable=SC2207
code_dirs=("${module_dirs[@]}" $(layer_dirs UPG_PLATFORM_DIRS) $(layer_dirs UPG_UNIT_DIRS))
if [ ${#module_dirs[@]} -lt 2 ] || [ ${#code_dirs[@]} -lt 4 ]; then
  echo "lint: cannot read the layers' folders from cmake/layers.cmake" >&2
  exit 2
fi
# shellcheck disable=SC2207
dirs=("${module_dirs[@]}" platform $(layer_dirs UPG_UNIT_DIRS))
sources=()
for d in "${code_dirs[@]}"; do
  for f in "$d"/*.cpp; do
    [ -e "$f" ] && sources+=("$f")
  done
done
jobs=$(nproc 2>/dev/null || echo 2)
status=0

if [ "$what" != cppcheck ]; then
  build=${UPG_LINT_BUILD:-build/lint}
  echo "=== clang-tidy: ${#sources[@]} files"
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
    >/dev/null
  log=$build/clang-tidy.log
  start=$(date +%s)
  run-clang-tidy -p "$build" -j "$jobs" -quiet "${sources[@]}" >"$log" 2>&1 || true
  # One line per finding (a header's finding repeats for each file that
  # includes it); colours stripped.
  findings=$(sed 's/\x1b\[[0-9;]*m//g' "$log" |
    grep -E '^/.*: (warning|error): .*\[[a-zA-Z0-9.,-]+\]$' | sort -u || true)
  crashes=$(grep -cE 'clang-tidy.*(Segmentation|crashed|Stack dump)' "$log" || true)
  echo "clang-tidy: $(($(date +%s) - start))s"
  if [ -n "$findings" ] || [ "$crashes" != 0 ]; then
    echo "$findings"
    [ "$crashes" != 0 ] && echo "clang-tidy: crashed; see $log"
    echo "clang-tidy: $(printf '%s' "$findings" | grep -c . || true) finding(s)"
    status=1
  else
    echo "clang-tidy: no findings"
  fi
fi

if [ "$what" != tidy ]; then
  echo "=== cppcheck"
  # Whole checks left out, each for a reason:
  #  useStlAlgorithm     style preference for <algorithm> over plain loops
  #  constParameter      the module's signatures are fixed by the unit's
  #                      interface (non-const references and pointers)
  #  noExplicitConstructor  CKWString and CKWArray convert implicitly by
  #                      design of the foundation's interface
  #  variableScope       declarations at the top of a function are the
  #                      module's style (the unit's compiler is C++98-era)
  #  unusedStructMember  records that mirror the OS's and the unit's
  #                      structures field for field
  #  virtualCallInConstructor  CKWArray's destructor purges its own storage
  #                      on purpose, whatever a derived class does
  start=$(date +%s)
  if cppcheck -q -j "$jobs" --std=c++17 --language=c++ \
    --enable=warning,style,performance,portability --inline-suppr --error-exitcode=1 \
    --suppress=missingIncludeSystem --suppress=useStlAlgorithm --suppress=constParameter \
    --suppress=noExplicitConstructor --suppress=variableScope \
    --suppress=unusedStructMember --suppress=virtualCallInConstructor \
    -I . -I GATEWAYS/Map_upgrade_plugin/src \
    --template='{file}:{line}: {severity}: {message} [{id}]' "${dirs[@]}"; then
    echo "cppcheck: $(($(date +%s) - start))s, no findings"
  else
    echo "cppcheck: findings above"
    status=1
  fi
fi

exit $status
