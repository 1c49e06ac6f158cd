#!/usr/bin/env bash
# Kill safety under wine: the 32-bit SlotBench.exe is killed hard (SIGKILL of
# its unix process, which is the Windows process) at random moments of its
# runs and started again in the same folder, many times in a row.
#
#   bash tests/e2e/kill_safety.sh [SEED]
#
# Same seed, same schedule (what each session does and when it is killed);
# the seed is printed first so that a failing schedule can be run again.
# KILL_SAFETY_KILLS (default 24) sets the number of kills.
#
# What a kill must not lose, checked after every kill:
#   - the session file "tmp" holds only complete CR LF lines. A line is one
#     write of well under a buffer's size and SIGKILL cannot split a write to
#     a regular file, so a partial last line counts as a failure too;
#   - the bytes "tmp" held just before the kill are the start of what it holds
#     after it (lines logged between that copy and the kill may follow);
#   - the list as last read through the driver before the kill is, line for
#     line, the start of the session file (without the empty line that follows
#     each verdict in the file only);
# after the restart:
#   - "QSX7100-K.log" is the killed session's file, byte for byte (or the log
#     found before, when the killed session had logged nothing), and
#     "QSX7100-K_old.log" a copy of it; "tmp" starts empty;
# and when the next session ends through Exit:
#   - "QSX7100-K_old.log" still holds the killed session, "QSX7100-K.log" is
#     the new session's file, "tmp" is gone.
# Every start and exit is compared with a model of the three files, so a kill
# followed by another kill is checked as well.
#
# Uses its own prefix (build/kill-wine, or KILL_WINEPREFIX) and Xvfb display;
# files of the last run in build/kill-safety/. Ends with "N passed, M failed",
# N being the kills whose checks all passed; exit status 0 only if M is 0.
set -uo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
OUT=$ROOT/build/kill-safety
CASE_DIR=$OUT/case
MODEL=$OUT/model
EXE32=$ROOT/build/windows-x86/SlotBench.exe
SIM32=$ROOT/build/windows-x86/simulator/CT_ORB.dll
KILLS=${KILL_SAFETY_KILLS:-24}

export WINEPREFIX=${KILL_WINEPREFIX:-$ROOT/build/kill-wine}
# shellcheck source=tools/wine/wine_env.sh
source "$ROOT/tools/wine/wine_env.sh"

SEED=${1:-$(((RANDOM << 15) | RANDOM))}
if [[ ! $SEED =~ ^[0-9]+$ ]]; then
  echo "kill_safety: the seed must be a number, not '$SEED'"
  exit 2
fi
echo "kill_safety: seed $SEED (bash tests/e2e/kill_safety.sh $SEED repeats this schedule)"

PLUG_PROMPT="Plug your USB QSX 7100-K device (time out 30 sec)..."
PORT_LINE="QSX 7100-K Port COM number: COM5"

# ------------------------------------------------------------------ random ---

# A generator of our own rather than $RANDOM, whose sequence for a given seed
# is bash's business and which subshells do not advance.
RNG_STATE=$SEED
R=0
rnd() {  # upper bound (exclusive) -> R
  RNG_STATE=$(((RNG_STATE * 1103515245 + 12345) % 2147483648))
  R=$(((RNG_STATE >> 8) % $1))
}
rnd_between() {  # low, high (inclusive) -> R
  rnd $(($2 - $1 + 1))
  R=$(($1 + R))
}

# ---------------------------------------------------------------- schedule ---

# One entry per session: how it ends (kill | exit), the complete runs it makes
# first (s = SERIAL, u = USB with the terminal already plugged in), and for a
# kill where it is aimed and the delays in ms.
PLAN_END=()
PLAN_RUNS=()
PLAN_AIM=()
PLAN_AT=()
PLAN_PLUG=()

make_schedule() {
  local kills=0 runs n k aim at plug
  while ((kills < KILLS)); do
    runs=
    rnd 3
    n=$R
    for ((k = 0; k < n; k++)); do
      rnd 3
      if ((R == 0)); then runs+=u; else runs+=s; fi
    done
    rnd 100
    # About one session in four ends through Exit, never two in a row, so
    # that most kills have their rotation checked by the next session.
    if ((R < 25)) && ((${#PLAN_END[@]} > 0)) && [[ ${PLAN_END[-1]} == kill ]]; then
      PLAN_END+=(exit)
      PLAN_RUNS+=("$runs")
      PLAN_AIM+=(-)
      PLAN_AT+=(0)
      PLAN_PLUG+=(0)
      continue
    fi
    rnd 100
    plug=0
    if ((R < 12)); then
      aim=idle
      rnd_between 0 300
      at=$R
    elif ((R < 32)); then
      aim=header
      rnd_between 40 160
      at=$R
    elif ((R < 62)); then
      aim=exercise
      rnd_between 60 1000
      at=$R
    elif ((R < 84)); then
      aim=usb-wait
      rnd_between 100 2500
      at=$R
    else
      aim=usb-pause
      rnd_between 0 800
      plug=$R
      rnd_between 0 7300
      at=$R
    fi
    PLAN_END+=(kill)
    PLAN_RUNS+=("$runs")
    PLAN_AIM+=("$aim")
    PLAN_AT+=("$at")
    PLAN_PLUG+=("$plug")
    kills=$((kills + 1))
  done
  # The last session leaves through Exit after a run of its own.
  PLAN_END+=(exit)
  PLAN_RUNS+=(s)
  PLAN_AIM+=(-)
  PLAN_AT+=(0)
  PLAN_PLUG+=(0)
}

# ----------------------------------------------------------------- helpers ---

drv() { wine "$DRIVER" "$@" 2>>"$OUT/driver.err"; }

now_ms() { echo $(($(date +%s%N) / 1000000)); }

sleep_ms() { (($1 > 0)) && sleep "$(printf '%d.%03d' $(($1 / 1000)) $(($1 % 1000)))"; }

FAILS=0  # failures counted against the current kill
fail() {
  echo "    FAIL: $*"
  FAILS=$((FAILS + 1))
}

# Saves a file of the case folder into the model, or notes that it is absent.
snapshot_file() {  # case file, model file
  if [[ -f $CASE_DIR/$1 ]]; then cp -f "$CASE_DIR/$1" "$2"; else rm -f "$2"; fi
}

# The file and the model agree: both absent, or the same bytes.
expect_same() {  # what, case file, model file
  if [[ ! -f $3 ]]; then
    [[ ! -f $CASE_DIR/$2 ]] || fail "$1: $2 exists ($(wc -c <"$CASE_DIR/$2") bytes) where none was expected"
  elif [[ ! -f $CASE_DIR/$2 ]]; then
    fail "$1: $2 is missing"
  elif ! cmp -s "$3" "$CASE_DIR/$2"; then
    fail "$1: $2 differs from what was expected ($(wc -c <"$CASE_DIR/$2") bytes, expected $(wc -c <"$3"))"
  fi
}

has_content() { [[ -s $1 ]]; }

# Every line ends in CR LF, the last one included.
complete_lines() {  # file -> 0 when complete
  local file=$1 lf crlf
  [[ -s $file ]] || return 0
  lf=$(tr -cd '\n' <"$file" | wc -c)
  crlf=$(grep -c $'\r$' "$file")
  ((lf == crlf)) && [[ -z $(tail -c 1 "$file" | tr -d '\n') ]]
}

# The session file's lines as the list shows them: no CR, no empty line after
# a verdict (the verdict's own line feed, which the list leaves out).
list_view_of() {  # file
  sed 's/\r$//' "$1" | awk '{ if (!(after_verdict && $0 == "")) print; after_verdict = ($0 ~ /^\*\*\* .* \*\*\*$/) }'
}

# Where the kill landed, from the last line the session file holds.
landing_of() {  # file
  local last
  last=$(list_view_of "$1" | tail -n 1)
  case $last in
    "") echo "before any line" ;;
    \*\*\*\ *) echo "between runs" ;;
    "$PLUG_PROMPT") echo "USB wait" ;;
    "$PORT_LINE") echo "USB pause before the exercise" ;;
    CT-API\ version:*) echo "start of the exercise" ;;
    "Terminal OK" | "Communication with card Patient's slot OK") echo "exercise" ;;
    *) echo "header" ;;
  esac
}

# Our own SlotBench processes only: those started from this prefix.
own_app_processes() {
  local pid
  for pid in $(pgrep -f 'SlotBench\.exe' 2>/dev/null); do
    tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX" && echo "$pid"
  done
}

# ----------------------------------------------------------------- program ---

APP_PID=
CLICK_PID=
MODE=usb  # the check boxes as a fresh start has them

app_start() {
  wine_env_start_in "$CASE_DIR" "$EXE32" "$OUT/app.out"
  APP_PID=$WINE_ENV_APP_PID
  MODE=usb
  drv wait-window 20
}

set_mode() {  # serial | usb
  [[ $MODE == "$1" ]] && return 0
  if [[ $1 == serial ]]; then drv click 1001; else drv click 1000; fi
  MODE=$1
}

# One complete run; BM_CLICK is sent, so this returns when the run is over.
complete_run() {  # s | u
  if [[ $1 == s ]]; then
    set_mode serial
  else
    drv plug COM5
    set_mode usb
  fi
  drv click 1005 || fail "a complete run did not end"
}

# Reads the list again and again while the program lives; the last complete
# read is the list as it was before the kill. Reads wait while the program is
# inside a library call, and fail once it is gone.
OBSERVER_PID=
observer_start() {
  rm -f "$OUT/list.snap" "$OUT/list.read" "$OUT/observer.stop"
  (
    while [[ ! -e $OUT/observer.stop ]]; do
      if wine "$DRIVER" list >"$OUT/list.read" 2>/dev/null; then
        mv -f "$OUT/list.read" "$OUT/list.snap"
      fi
      sleep 0.1
    done
  ) &
  OBSERVER_PID=$!
}

observer_stop() {
  [[ -n $OBSERVER_PID ]] || return 0
  : >"$OUT/observer.stop"
  wait "$OBSERVER_PID" 2>/dev/null
  OBSERVER_PID=
}

# The kill: the session file is copied, then the program's process gets
# SIGKILL at once.
hard_kill() {
  if [[ -f $CASE_DIR/tmp ]]; then cp "$CASE_DIR/tmp" "$OUT/tmp.before"; else rm -f "$OUT/tmp.before"; fi
  kill -9 "$APP_PID" 2>/dev/null
  wait "$APP_PID" 2>/dev/null
  APP_PID=
  observer_stop
  # A click still on its way must not reach the next session.
  if [[ -n $CLICK_PID ]]; then
    wait "$CLICK_PID" 2>/dev/null
    CLICK_PID=
  fi
  drv wait-gone 5 || fail "the main window is still there after the kill"
  local left
  left=$(own_app_processes)
  [[ -z $left ]] && return 0
  fail "SlotBench processes left after the kill: $left"
  local pid
  for pid in $left; do kill -9 "$pid" 2>/dev/null; done
}

clean_exit() {
  observer_stop
  drv wait-window 1 \; post-click 2 \; wait-gone 10 || fail "Exit did not close the window"
  local end=$((SECONDS + 10))
  while kill -0 "$APP_PID" 2>/dev/null && ((SECONDS < end)); do sleep 0.05; done
  if kill -0 "$APP_PID" 2>/dev/null; then
    fail "the program did not end after Exit"
    kill -9 "$APP_PID" 2>/dev/null
  fi
  wait "$APP_PID" 2>/dev/null
  APP_PID=
}

cleanup() {
  observer_stop
  if [[ -n $APP_PID ]]; then
    kill -9 "$APP_PID" 2>/dev/null
    wait "$APP_PID" 2>/dev/null
  fi
  drv unplug >/dev/null 2>&1
  wine_env_down
}

# ------------------------------------------------------------------- model ---

# What the three files must be: $MODEL/log and $MODEL/old (absent = no file).
# A start saves a non-empty session file as the log, then a non-empty log as
# the old log, and begins an empty session file; an exit saves a non-empty
# session file as the log and removes it.
model_start() {  # session file found at the start
  if has_content "$1"; then cp -f "$1" "$MODEL/log"; fi
  if [[ -f $MODEL/log ]] && has_content "$MODEL/log"; then cp -f "$MODEL/log" "$MODEL/old"; fi
}

model_exit() {  # session file at the exit
  if has_content "$1"; then cp -f "$1" "$MODEL/log"; fi
}

check_after_start() {  # what
  expect_same "$1" QSX7100-K.log "$MODEL/log"
  expect_same "$1" QSX7100-K_old.log "$MODEL/old"
  if [[ ! -f $CASE_DIR/tmp ]]; then
    fail "$1: no session file tmp"
  elif [[ -s $CASE_DIR/tmp ]]; then
    fail "$1: the new session file is not empty"
  fi
}

# ------------------------------------------------------------------ checks ---

# Right after a kill: the session file against what was seen before it.
check_killed_session() {
  local killed=$OUT/killed.tmp
  snapshot_file tmp "$killed"
  [[ -f $killed ]] || { fail "the session file tmp is gone after the kill"; return; }
  complete_lines "$killed" || fail "tmp holds a partial line or a line without CR LF"
  if [[ -f $OUT/tmp.before ]]; then
    local before
    before=$(wc -c <"$OUT/tmp.before")
    if (($(wc -c <"$killed") < before)) || ! cmp -s -n "$before" "$OUT/tmp.before" "$killed"; then
      fail "tmp lost bytes it held just before the kill ($before bytes then, $(wc -c <"$killed") now)"
    fi
  fi
  SNAP_LINES=0
  if [[ -f $OUT/list.snap ]]; then
    local -a seen file
    mapfile -t seen < <(sed 's/^[0-9]*: //' "$OUT/list.snap")
    mapfile -t file < <(list_view_of "$killed")
    SNAP_LINES=${#seen[@]}
    local i
    for ((i = 0; i < ${#seen[@]}; i++)); do
      if [[ ${file[i]-<missing>} != "${seen[i]}" ]]; then
        fail "list line $((i + 1)) '${seen[i]}' is not line $((i + 1)) of tmp ('${file[i]-<missing>}')"
        break
      fi
    done
  fi
}

# --------------------------------------------------------------- sessions ---

# The session's complete runs, then the aimed part, then the kill.
drive_and_kill() {  # index
  local i=$1 run
  for ((run = 0; run < ${#PLAN_RUNS[i]}; run++)); do complete_run "${PLAN_RUNS[i]:run:1}"; done
  local aim=${PLAN_AIM[i]} at=${PLAN_AT[i]}
  case $aim in
    idle)
      sleep_ms "$at"
      ;;
    header)
      # The header is logged within milliseconds of the click, too soon for
      # a delay after the driver returns: the delay runs from the driver's
      # start instead (it takes about 100 ms to post).
      set_mode serial
      drv post-click 1005 &
      CLICK_PID=$!
      sleep_ms "$at"
      ;;
    exercise)
      set_mode serial
      drv post-click 1005
      sleep_ms "$at"
      ;;
    usb-wait)
      drv unplug
      set_mode usb
      drv post-click 1005
      sleep_ms "$at"
      ;;
    usb-pause)
      drv unplug
      set_mode usb
      drv post-click 1005 \; wait-text "$PLUG_PROMPT" 10 || fail "no plug-in prompt"
      sleep_ms "${PLAN_PLUG[i]}"
      drv plug COM5
      sleep_ms "$at"
      ;;
  esac
  hard_kill
}

main() {
  local begin=$SECONDS
  rm -rf "$OUT"
  mkdir -p "$CASE_DIR" "$MODEL"
  make_schedule
  printf '%s\n' "seed $SEED" >"$OUT/schedule.txt"
  local i
  for ((i = 0; i < ${#PLAN_END[@]}; i++)); do
    printf 'session %d: runs=%s end=%s aim=%s at=%s plug=%s\n' "$((i + 1))" "${PLAN_RUNS[i]:--}" \
      "${PLAN_END[i]}" "${PLAN_AIM[i]}" "${PLAN_AT[i]}" "${PLAN_PLUG[i]}" >>"$OUT/schedule.txt"
  done
  echo "kill_safety: ${#PLAN_END[@]} sessions, $KILLS kills; schedule in $OUT/schedule.txt"

  local setup_error=
  [[ -f $EXE32 ]] || setup_error="$EXE32 is not built (bash tools/build.sh)"
  [[ -f $SIM32 ]] || setup_error="$SIM32 is not built (bash tools/build.sh)"
  if [[ -z $setup_error ]]; then
    if wine_env_driver; then DRIVER=$SLOTBENCH_DRIVER; else setup_error="the driver could not be built"; fi
  fi
  if [[ -z $setup_error ]]; then
    wine_env_up --private-display || setup_error="the wine environment could not be set up"
  fi
  trap cleanup EXIT
  if [[ -n $setup_error ]]; then
    echo "kill_safety: $setup_error"
    echo "0 passed, $KILLS failed"
    return 1
  fi
  echo "kill_safety: display $DISPLAY, prefix $WINEPREFIX"
  drv unplug
  # Slow library calls, so that a run lasts about a second and kills land
  # inside it.
  printf '%s\n' "delay CT_init 150" "delay CT_data 250" >"$CASE_DIR/scenario.txt"

  local passed=0 failed=0 kill_no=0
  local pending_kill=  # a kill waiting for the rotation check of the next exit
  local -A landings=()
  for ((i = 0; i < ${#PLAN_END[@]}; i++)); do
    local found=$OUT/found.tmp
    snapshot_file tmp "$found"
    [[ -f $found ]] || : >"$found"
    model_start "$found"
    if ! app_start; then
      FAILS=0
      fail "session $((i + 1)): the main window did not appear"
      failed=$((failed + 1))
      [[ -n $APP_PID ]] && { kill -9 "$APP_PID" 2>/dev/null; wait "$APP_PID" 2>/dev/null; APP_PID=; }
      continue
    fi
    check_after_start "start of session $((i + 1))"
    # The start that followed a kill finishes that kill's checks, unless the
    # rotation at the next exit is still to come.
    if [[ -n $pending_kill && ${PLAN_END[i]} == kill ]]; then
      if ((FAILS == 0)); then passed=$((passed + 1)); else failed=$((failed + 1)); fi
      pending_kill=
      FAILS=0
    elif [[ -z $pending_kill ]] && ((FAILS > 0)); then
      failed=$((failed + 1))  # a start check that belongs to no kill
      FAILS=0
    fi
    observer_start

    if [[ ${PLAN_END[i]} == exit ]]; then
      local run
      for ((run = 0; run < ${#PLAN_RUNS[i]}; run++)); do complete_run "${PLAN_RUNS[i]:run:1}"; done
      local last=$OUT/last.tmp
      snapshot_file tmp "$last"
      [[ -f $last ]] || : >"$last"
      clean_exit
      model_exit "$last"
      expect_same "exit of session $((i + 1))" QSX7100-K.log "$MODEL/log"
      expect_same "exit of session $((i + 1))" QSX7100-K_old.log "$MODEL/old"
      [[ ! -e $CASE_DIR/tmp ]] || fail "exit of session $((i + 1)): tmp is still there"
      if [[ -n $pending_kill ]]; then
        echo "    rotation at the exit of session $((i + 1)): QSX7100-K_old.log holds kill $pending_kill's session," \
          "QSX7100-K.log this one's ($(grep -c '' "$CASE_DIR/QSX7100-K.log" 2>/dev/null || echo 0) lines)"
        if ((FAILS == 0)); then passed=$((passed + 1)); else failed=$((failed + 1)); fi
        pending_kill=
      elif ((FAILS > 0)); then
        failed=$((failed + 1))  # an exit check that belongs to no kill
      fi
      FAILS=0
      continue
    fi

    kill_no=$((kill_no + 1))
    FAILS=0
    drive_and_kill "$i"
    check_killed_session
    local landing lines
    landing=$(landing_of "$OUT/killed.tmp")
    lines=$(list_view_of "$OUT/killed.tmp" | grep -c '')
    landings[$landing]=$((${landings[$landing]:-0} + 1))
    printf 'kill %2d/%d (session %d, runs %s, aimed at %s +%s ms): landed %s; tmp %d lines, list seen %d lines\n' \
      "$kill_no" "$KILLS" "$((i + 1))" "${PLAN_RUNS[i]:--}" "${PLAN_AIM[i]}" "${PLAN_AT[i]}" "$landing" \
      "$lines" "$SNAP_LINES"
    cp -f "$OUT/killed.tmp" "$OUT/kill-$kill_no.tmp"
    pending_kill=$kill_no
  done
  # A kill whose next session was the last one is counted there; nothing is
  # left pending, but be safe.
  if [[ -n $pending_kill ]]; then
    if ((FAILS == 0)); then passed=$((passed + 1)); else failed=$((failed + 1)); fi
  fi

  # Final state: nothing of ours running, the terminal unplugged.
  FAILS=0
  [[ -z $(own_app_processes) ]] || fail "SlotBench processes are still running at the end"
  drv unplug
  if ((FAILS > 0)); then failed=$((failed + 1)); fi

  local where
  for where in "${!landings[@]}"; do echo "  landed $where: ${landings[$where]}"; done | sort
  echo "kill_safety: seed $SEED, $kill_no kills, $((SECONDS - begin)) s; files in $OUT"
  echo "$passed passed, $failed failed"
  ((failed == 0))
}

main "$@"
