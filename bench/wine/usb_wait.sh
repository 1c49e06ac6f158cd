#!/usr/bin/env bash
# The USB wait of the real 32-bit program under wine. Measures and prints;
# asserts nothing.
#
#   bash bench/wine/usb_wait.sh [PLUG-SAMPLES] [SEED]     # default 9, random
#
# 1. CPU while waiting: Start Test with USB checked and nothing plugged in;
#    the CPU time (utime + stime in /proc/PID/stat) of the program's unix
#    process, of the prefix's wineserver and of the prefix's other wine
#    processes (desktop, services) over 28 s of the 30 s wait, with no
#    driver activity meanwhile; and the same over 10 s of the idle dialog
#    before it, so that the server's share of the wait can be told from its
#    own idle cost. Target: the program at most 0.05% of one core.
# 2. Plug-in detection: Start Test, then the port is plugged in at a random
#    moment of the wait by the driver's plug-timed, which notes when it set
#    the registry value and when the simulator's trace shows CT_init (it
#    looks every 10 ms). The delay is that time minus the program's fixed
#    6000 ms pause; it holds the detection, logging the port line, the
#    pause's overshoot and up to 10 ms of looking. A fresh program per
#    sample, so that each trace holds one CT_init. Target: median at most
#    20 ms.
set -uo pipefail
# shellcheck source=bench/wine/common.sh
source "$(dirname "$0")/common.sh"

SAMPLES=${1:-9}
SEED=${2:-$RANDOM}
RANDOM=$SEED
PLUG_PROMPT="Plug your USB QSX 7100-K device (time out 30 sec)..."
USB_OK="*** QSX 7100-K USB Test Success ***"
USB_FAIL="*** QSX 7100-K USB Test Fail ***"

bench_require_builds || exit 1
wine_env_driver || { echo "usb_wait: the driver could not be built" >&2; exit 1; }
DRIVER=$SLOTBENCH_DRIVER
wine_env_up --private-display || { echo "usb_wait: no wine environment" >&2; exit 1; }

WORK=$BENCH_OUT/usb_wait
rm -rf "$WORK"
mkdir -p "$WORK"

APP_PID=
# shellcheck disable=SC2317  # run by the EXIT trap
cleanup() {
  if [[ -n $APP_PID ]] && kill -0 "$APP_PID" 2>/dev/null; then
    kill "$APP_PID" 2>/dev/null
    wait "$APP_PID" 2>/dev/null
  fi
  wine "$DRIVER" unplug >/dev/null 2>&1
  wine_env_down
}
trap cleanup EXIT

drv() { wine "$DRIVER" "$@" 2>>"$WORK/driver.err"; }

app_start() {  # folder
  mkdir -p "$1"
  wine_env_start_in "$1" "$EXE32" "$WORK/app.out"
  APP_PID=$WINE_ENV_APP_PID
  drv wait-window 20
}

app_exit() {
  drv wait-window 1 \; post-click 2 \; wait-gone 10 >/dev/null
  local end=$((SECONDS + 10))
  while kill -0 "$APP_PID" 2>/dev/null && ((SECONDS < end)); do sleep 0.05; done
  kill "$APP_PID" 2>/dev/null
  wait "$APP_PID" 2>/dev/null
  APP_PID=
}

# utime + stime of a process, in clock ticks.
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat" 2>/dev/null || echo 0; }
HZ=$(getconf CLK_TCK)

# The prefix's wineserver: its working folder is the server folder named
# after the prefix's device and inode.
server_pid() {
  local want pid device inode
  read -r device inode < <(stat -L -c '%d %i' "$WINEPREFIX")
  want=$(printf 'server-%x-%x' "$device" "$inode")
  for pid in $(pgrep -x 'wineserver|wineserver64'); do
    [[ $(readlink "/proc/$pid/cwd" 2>/dev/null) == */"$want" ]] && { echo "$pid"; return; }
  done
}

# Every other wine process of the prefix (desktop, services...).
others_pids() {
  local pid
  for pid in $(pgrep -f '\.exe'); do
    [[ $pid == "$APP_PID" ]] && continue
    tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX" && echo "$pid"
  done
}

sum_ticks() { local t=0 p; for p in "$@"; do t=$((t + $(ticks "$p"))); done; echo "$t"; }

now_ns() { date +%s%N; }

# ms of CPU per second of wall time, and the percentage of one core.
rate() {  # ticks, ns
  awk -v t="$1" -v ns="$2" -v hz="$HZ" 'BEGIN { ms = t * 1000 / hz; s = ns / 1e9
    printf "%6.2f ms/s = %5.2f%% of a core (%d ms over %.1f s)", ms / s, ms / s / 10, ms, s }'
}

echo "usb_wait: display $DISPLAY, prefix $WINEPREFIX, seed $SEED, clock ticks ${HZ}/s"

# ------------------------------------------------------------ CPU in the wait
echo "== CPU during the 30 s wait"
drv unplug
app_start "$WORK/cpu" || { echo "usb_wait: the program did not start"; exit 1; }
SERVER=$(server_pid)
mapfile -t OTHERS < <(others_pids)
[[ -n $SERVER ]] || echo "usb_wait: the prefix's wineserver was not found; its figures are 0"
echo "processes: program $APP_PID, wineserver ${SERVER:-none}, others ${OTHERS[*]:-none}"
sleep 2  # the start's own work is over
measure() {  # seconds -> "app server others ns"
  local a0 s0 o0 t0 a1 s1 o1 t1
  a0=$(ticks "$APP_PID"); s0=$(ticks "${SERVER:-0}"); o0=$(sum_ticks "${OTHERS[@]}"); t0=$(now_ns)
  sleep "$1"
  a1=$(ticks "$APP_PID"); s1=$(ticks "${SERVER:-0}"); o1=$(sum_ticks "${OTHERS[@]}"); t1=$(now_ns)
  echo "$((a1 - a0)) $((s1 - s0)) $((o1 - o0)) $((t1 - t0))"
}
read -r IA IS IO INS < <(measure 10)
drv post-click 1005 \; wait-text "$PLUG_PROMPT" 10 || echo "usb_wait: no plug-in prompt"
sleep 0.5
read -r WA WS WO WNS < <(measure 28)
drv wait-text "Time out" 10 \; wait-text "$USB_FAIL" 5 >/dev/null || echo "usb_wait: the wait did not end with Time out"
app_exit
echo "idle dialog, 10 s:"
echo "  program     $(rate "$IA" "$INS")"
echo "  wineserver  $(rate "$IS" "$INS")"
echo "  other wine  $(rate "$IO" "$INS")  (${#OTHERS[@]} processes)"
echo "USB wait, 28 s:"
echo "  program     $(rate "$WA" "$WNS")   <- target at most 0.05% of a core"
echo "  wineserver  $(rate "$WS" "$WNS")"
echo "  other wine  $(rate "$WO" "$WNS")"
awk -v w="$WS" -v wns="$WNS" -v i="$IS" -v ins="$INS" -v hz="$HZ" 'BEGIN {
  d = (w * 1000 / hz) / (wns / 1e9) - (i * 1000 / hz) / (ins / 1e9)
  printf "  wineserver share of the wait (wait minus idle rate): %.2f ms/s = %.2f%% of a core\n", d, d / 10 }'

# ------------------------------------------------------ plug-in detection ---
echo "== plug-in detection, $SAMPLES samples"
: >"$WORK/delays.ms"
for ((n = 1; n <= SAMPLES; n++)); do
  dir=$WORK/plug-$n
  drv unplug
  app_start "$dir" || { echo "sample $n: the program did not start"; continue; }
  if ! drv post-click 1005 \; wait-text "$PLUG_PROMPT" 10; then
    echo "sample $n: no plug-in prompt"
    app_exit
    continue
  fi
  after=$((300 + RANDOM % 3700))  # ms into the wait
  sleep "$(printf '%d.%03d' $((after / 1000)) $((after % 1000)))"
  out=$(drv plug-timed COM5 "$(wine_env_winpath "$dir/trace.txt")" 20 | tr -d '\r')
  ms=$(sed -n 's/^init_after_ms=//p' <<<"$out")
  drv wait-text "$USB_OK" 20 >/dev/null || echo "sample $n: no USB success line"
  app_exit
  if [[ -z $ms ]]; then
    echo "sample $n: plugged ${after} ms into the wait; no CT_init seen"
    continue
  fi
  delay=$((ms - 6000))
  echo "$delay" >>"$WORK/delays.ms"
  echo "sample $n: plugged ${after} ms into the wait; CT_init ${ms} ms after the plug; delay ${delay} ms"
done
drv unplug
echo "plug-in detection delay: median $(bench_median <"$WORK/delays.ms") ms," \
  "range $(bench_minmax <"$WORK/delays.ms") ms over $(grep -c . "$WORK/delays.ms") samples (target median at most 20 ms)"
exit 0
