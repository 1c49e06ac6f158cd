#!/usr/bin/env bash
# Starts Slot Bench (the 32-bit build) under wine with the terminal simulator
# installed as its CT_ORB.dll. Run after tools/setup.sh and tools/build.sh.
#
# With a DISPLAY: the tool opens on it, in out/demo/ (its logs land there),
# and this script returns when the tool is closed.
# Without one: a virtual display is started, one SERIAL test runs with the
# simulator's default terminal (both cards present), and a screenshot and the
# log are left in out/demo/.
# Either way the last line is the last verdict logged, marked as the
# simulator's: its log reads exactly like one of a real terminal.
# SLOTBENCH_DEMO_BUILD names another build folder of the 32-bit program
# (default build/windows-x86).
# wine_env_up's one option is not for the demo:
# shellcheck disable=SC2119
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
DEMO=$ROOT/out/demo
EXE=$(realpath -m "${SLOTBENCH_DEMO_BUILD:-$ROOT/build/windows-x86}")/SlotBench.exe

# shellcheck source=tools/wine/wine_env.sh
source "$ROOT/tools/wine/wine_env.sh"

for built in "$EXE" "$ROOT/build/windows-x86/simulator/CT_ORB.dll"; do
  if [[ ! -f $built ]]; then
    echo "demo: $built is not built; run bash tools/build.sh first" >&2
    exit 1
  fi
done

mkdir -p "$DEMO"
cd "$DEMO"

# The last verdict in the log (since SINCE, a time in seconds, if given).
say_verdict() {  # what was run, [since]
  local verdict
  if [[ -f QSX7100-K.log && $(stat -c %Y QSX7100-K.log) -ge ${2:-0} ]]; then
    verdict=$(sed 's/\r$//' QSX7100-K.log | grep -E '^\*\*\* .* Test (Success|Fail) \*\*\*$' | tail -n 1)
  fi
  if [[ -z ${verdict:-} ]]; then
    echo "demo: no verdict was logged"
    return 1
  fi
  echo "demo: $verdict ($1 against the simulated terminal, not a real one)"
}
# The demo shows the simulator's default terminal, whatever the caller's
# environment says.
unset SLOTBENCH_SIM_SCENARIO SLOTBENCH_SIM_TRACE

if [[ -n ${DISPLAY:-} ]]; then
  wine_env_up
  trap wine_env_down EXIT
  echo "demo: Slot Bench on $DISPLAY with the simulated terminal as its CT_ORB.dll; logs in $DEMO"
  started=$(date +%s)
  wine "$EXE" || true
  say_verdict "the last test" "$started" || true
  exit 0
fi

wine_env_up
trap wine_env_down EXIT
wine_env_driver
drive() { wine "$SLOTBENCH_DRIVER" "$@"; }

rm -f QSX7100-K.log QSX7100-K_old.log tmp slotbench.png
wine "$EXE" &
app=$!

# The focus goes back to Start Test just after the verdict shows: the
# picture shows the window as the user then sees it.
focus_on_start_test() {
  local tries
  for ((tries = 0; tries < 60; tries++)); do
    [[ $(drive focus | tr -d '\r') == focus=1005 ]] && return 0
    sleep 0.05
  done
  echo "demo: the focus did not come back to Start Test" >&2
}

ok=1
if drive wait-window 30 \; click 1001 \; mouse-click 1005 \
  \; wait-text "*** QSX 7100-K SERIAL Test Success ***" 90; then
  focus_on_start_test
  import -window root -display "$DISPLAY" -crop "${SLOTBENCH_DESKTOP:-800x600}+0+0" +repage slotbench.png
else
  ok=0
  echo "demo: the SERIAL test did not end in success; the list reads:" >&2
  drive list >&2 || true
  import -window root -display "$DISPLAY" -crop "${SLOTBENCH_DESKTOP:-800x600}+0+0" +repage slotbench.png || true
fi
drive post-click 2 \; wait-gone 15 || { kill "$app" 2>/dev/null || true; ok=0; }
wait "$app" || true

echo "demo: screenshot $DEMO/slotbench.png"
if [[ -f QSX7100-K.log ]]; then
  echo "demo: log        $DEMO/QSX7100-K.log"
else
  echo "demo: no log was written" >&2
  ok=0
fi
say_verdict "SERIAL on COM1" || ok=0
((ok == 1))
