#!/usr/bin/env bash
# Start-up time to a visible window under wine: SlotBench.exe (32-bit) side by
# side with a minimal dialog program built the same way, started alternately
# in the same run. Measures and prints; asserts nothing.
#
#   bash bench/wine/startup.sh [STARTS-EACH]     # default 15
#
# Each figure is taken inside wine by start_timer.exe: from CreateProcess
# until FindWindow finds the visible window (polled every millisecond); the
# window is then closed and the process waited for before the next start.
# One start of each comes first and is not counted (disk cache, wine's DLLs).
# The minimal dialog carries the program's manifest (common-controls 6,
# display-scale awareness). BENCH_EXE32 names another 32-bit program to
# measure in SlotBench.exe's place (an older build, say).
set -uo pipefail
# shellcheck source=bench/wine/common.sh
source "$(dirname "$0")/common.sh"

STARTS=${1:-15}
bench_require_builds || exit 1
bench_build_minimal || exit 1
bench_build_start_timer || exit 1
wine_env_up --private-display || { echo "startup: no wine environment" >&2; exit 1; }
trap wine_env_down EXIT

WORK=$BENCH_OUT/startup
rm -rf "$WORK"
mkdir -p "$WORK"
WORK_WIN=$(wine_env_winpath "$WORK")
SLOTBENCH_CAPTION="QSX 7100-K Slot Bench"
MINIMAL_CAPTION="Minimal dialog"

time_start() {  # caption, program
  wine "$START_TIMER" "$1" "$WORK_WIN" "$(wine_env_winpath "$2")" 2>>"$WORK/timer.err" | tr -d '\r'
}

time_start "$MINIMAL_CAPTION" "$MINIMAL" >/dev/null
time_start "$SLOTBENCH_CAPTION" "$EXE32" >/dev/null

: >"$WORK/minimal.ms"
: >"$WORK/slotbench.ms"
for ((i = 1; i <= STARTS; i++)); do
  # Alternating which goes first, so that neither always follows the other.
  if ((i % 2)); then order=(minimal slotbench); else order=(slotbench minimal); fi
  line="start $i:"
  for which in "${order[@]}"; do
    if [[ $which == minimal ]]; then
      ms=$(time_start "$MINIMAL_CAPTION" "$MINIMAL")
    else
      ms=$(time_start "$SLOTBENCH_CAPTION" "$EXE32")
    fi
    if [[ -n $ms ]]; then
      echo "$ms" >>"$WORK/$which.ms"
      line+=" $which ${ms} ms"
    else
      line+=" $which failed"
    fi
  done
  echo "$line"
done

min_med=$(bench_median <"$WORK/minimal.ms")
sb_med=$(bench_median <"$WORK/slotbench.ms")
echo "minimal dialog: median $min_med ms (range $(bench_minmax <"$WORK/minimal.ms") ms, $(grep -c . "$WORK/minimal.ms") starts)"
echo "SlotBench.exe:  median $sb_med ms (range $(bench_minmax <"$WORK/slotbench.ms") ms, $(grep -c . "$WORK/slotbench.ms") starts)"
if [[ $min_med != n/a && $sb_med != n/a ]]; then
  echo "ratio SlotBench / minimal: $(awk -v a="$sb_med" -v b="$min_med" 'BEGIN { printf "%.2f", a / b }') (target at most 1.2)"
fi
[[ -s $WORK/timer.err ]] && { echo "start_timer said:"; sort -u "$WORK/timer.err" | head -n 5; }
exit 0
