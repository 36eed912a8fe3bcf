# shellcheck shell=bash
# Sourced by scripts/fuzz.sh and scripts/valgrind.sh: runs one job per item,
# as many side by side as asked, and gathers what each one left.
#
#   run_each JOBS FUNCTION DIR ITEM...
#
# Runs `FUNCTION ITEM` in the background for every item, at most JOBS at a
# time, in the order given. Each run leaves DIR/ITEM.summary (one line) and,
# when it failed, DIR/ITEM.failed (what to show). Once all have ended, prints
# every .failed file and sets the arrays `failed` (the items that failed) and
# `summary` (every item's line, in order).
run_each() {
  local jobs=$1 fn=$2 dir=$3
  shift 3
  local running=0 item
  for item in "$@"; do
    "$fn" "$item" &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
      wait -n || true
      running=$((running - 1))
    fi
  done
  wait
  failed=()
  summary=()
  for item in "$@"; do
    if [ -f "$dir/$item.failed" ]; then
      cat "$dir/$item.failed"
      failed+=("$item")
    fi
    summary+=("$(cat "$dir/$item.summary" 2>/dev/null || echo "$item: no result")")
  done
}
