#!/usr/bin/env bash
# End-to-end suite: runs the built SlotBench.exe under wine with the terminal
# simulator as its CT_ORB.dll, works its window through slotbench_driver.exe
# and checks the list, the log files and the simulator's trace.
#
#   bash tests/e2e/run_e2e.sh [--list] [CASE-PATTERN...]
#
# Needs the Windows builds (bash tools/build.sh). Uses its own Xvfb display
# and its own wine prefix (build/e2e/wineprefix, or E2E_WINEPREFIX), so that a
# demo running meanwhile is not disturbed. Each case runs in its own folder
# under build/e2e/cases/ with its own scenario file; screenshots go to
# build/e2e/screenshots/. Ends with the line "N passed, M failed"; the exit
# status is 0 only when nothing failed. --list prints the case names; a
# pattern that matches none ends the suite with those names and exit status 2.
set -uo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
OUT=$ROOT/build/e2e
CASES_DIR=$OUT/cases
SHOTS=$OUT/screenshots
# E2E_EXE32: another 32-bit program to try the suite on (an older build, say).
EXE32=${E2E_EXE32:-$ROOT/build/windows-x86/SlotBench.exe}
EXE=$EXE32  # what app_start starts unless told otherwise
EXE64=$ROOT/build/windows-x64/SlotBench.exe
SIM32=$ROOT/build/windows-x86/simulator/CT_ORB.dll
SIM32_CDECL=$ROOT/build/windows-x86/simulator-cdecl/CT_ORB.dll
SIM64=$ROOT/build/windows-x64/simulator/CT_ORB.dll

export WINEPREFIX=${E2E_WINEPREFIX:-$OUT/wineprefix}
# shellcheck source=tools/wine/wine_env.sh
source "$ROOT/tools/wine/wine_env.sh"
# shellcheck source=tests/lib/suite.sh
source "$ROOT/tests/lib/suite.sh"
# For looking into a failing case: E2E_WINEDEBUG=err+all (output in app.out).
[[ -n ${E2E_WINEDEBUG:-} ]] && export WINEDEBUG=$E2E_WINEDEBUG

SYS32_DLL=$WINEPREFIX/drive_c/windows/syswow64/CT_ORB.dll

# The simulator's file version, as its resource script sets it.
SIM_VERSION=$(sed -n 's/^ *FILEVERSION *\([0-9]*\), *\([0-9]*\), *\([0-9]*\), *\([0-9]*\).*/\1.\2.\3.\4/p' \
  "$ROOT/simulator/ct_orb.rc")
VERSION_LINE="CT-API version:$SIM_VERSION"

# ----------------------------------------------------------- case helpers ---

# The value of key=value in the driver's output.
field() { sed -n "s/^$1=//p" <<<"$2" | head -n1; }

# Until COMMAND succeeds, for up to SECONDS. The tool, for one, finishes its
# run (controls, focus) just after the verdict shows.
wait_until() {  # seconds, command...
  local end=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < end)) || return 1
    sleep 0.05
  done
}
driver_says() { [[ $(drv "$1") == "$2" ]]; }  # query, its whole answer
file_has_line() { tr -d '\r' <"$1" 2>/dev/null | grep -qxF "$2"; }

expect_state() {  # output of "state" or "enabled", then key=value...
  local out=$1 kv
  shift
  for kv in "$@"; do
    expect_eq "${kv%%=*}" "${kv#*=}" "$(field "${kv%%=*}" "$out")"
  done
}

scenario() { printf '%s\n' "$@" >"$CASE_DIR/scenario.txt"; }

# The list as plain lines (index prefix and a final line feed mark removed).
list_lines() { drv list | sed -e 's/^[0-9]*: //' -e 's/\\n$//'; }

# Text lines against an expected sequence (see compare_got).
expect_lines() {  # what, actual (text), expected lines...
  local what=$1 actual=$2
  shift 2
  GOT=()
  [[ -n $actual ]] && mapfile -t GOT <<<"$actual"
  compare_got "$what" "$@"
}

expect_no_file() { [[ ! -e $CASE_DIR/$1 ]] || fail "$1 should not exist"; }

# Trace lines of one call kind, e.g. trace_calls CT_init.
trace_calls() { grep "^$1 " "$CASE_DIR/trace.txt" 2>/dev/null; }

expect_init_port() {  # port number
  local inits
  inits=$(trace_calls CT_init)
  expect_eq "CT_init calls" 1 "$(grep -c . <<<"$inits")"
  expect_eq "CT_init port" "pn=$1" "$(grep -o 'pn=[0-9]*' <<<"$inits" | head -n1)"
}

# ---------------------------------------------------------- app handling ---

# Starts a run with Start Test and waits for the verdict line.
run_and_wait() {  # verdict, seconds
  drv wait-window 1 \; post-click 1005 \; wait-text "$1" "${2:-20}" || fail "no verdict line '$1'"
}

shot() {  # file name
  mkdir -p "$SHOTS"
  # The virtual desktop is all there is to see.
  if import -window root -display "$DISPLAY" -crop "${SLOTBENCH_DESKTOP:-800x600}+0+0" +repage \
    "$SHOTS/$1" 2>/dev/null; then
    echo "    screenshot: $SHOTS/$1"
  else
    fail "screenshot $1 could not be taken"
  fi
}

case_cleanup() {
  app_kill
  drv unplug >/dev/null 2>&1
  # What a case changes in the prefix is put back, even when it fails.
  if [[ $CASE_NAME == os_report_xp ]]; then wine reg delete "$APPDEFAULTS_KEY" /f >/dev/null 2>&1; fi
  if [[ $CASE_NAME == display_scale_150 ]]; then reset_dpi; fi
  cmp -s "$SIM32" "$SYS32_DLL" || cp -f "$SIM32" "$SYS32_DLL"
}

# ----------------------------------------------------------------- cases ---

# Serial success block, as the list shows it.
serial_success_lines() {
  printf '%s\n' "$SEPARATOR" "QSX 7100-K Connection test" "=DATE" "$SEPARATOR" "$OS_LINE" \
    "CT-API installed" "$VERSION_LINE" "Terminal OK" "$PATIENT_OK" "$DOCTOR_OK" "$SERIAL_OK"
}

case_startup_state() {
  app_start || return
  local state
  state=$(drv state)
  expect_state "$state" usb=1 serial=0 combo=COM1 combo_enabled=0 count=0 \
    usb_enabled=1 serial_enabled=1 start_enabled=1 clear_enabled=1 exit_enabled=1
  [[ -f $CASE_DIR/tmp ]] || fail "the session file tmp was not created at start"
  app_exit
  # Nothing was logged: no log is made and the session file goes away.
  expect_no_file tmp
  expect_no_file QSX7100-K.log
  expect_no_file QSX7100-K_old.log
}

case_link_boxes() {
  app_start || return
  local state
  drv click 1001
  state=$(drv state)
  expect_state "$state" serial=1 usb=0 combo_enabled=1
  drv click 1001
  state=$(drv state)
  expect_state "$state" serial=0 usb=0 combo_enabled=1
  drv click 1000
  state=$(drv state)
  expect_state "$state" usb=1 serial=0 combo_enabled=0
  drv click 1001 \; click 1000
  state=$(drv state)
  expect_state "$state" usb=1 serial=0 combo_enabled=0
  # Neither box checked: Start Test takes the USB branch.
  drv click 1000
  state=$(drv state)
  expect_state "$state" usb=0 serial=0
  drv plug COM5
  run_and_wait "$USB_OK" 20
  local lines
  lines=$(list_lines)
  grep -qxF "QSX 7100-K Port COM number: COM5" <<<"$lines" || fail "no USB port line with both boxes unchecked"
  app_exit
}

case_serial_com3() {
  # The first library call is slowed down so that the disabled controls can
  # be seen while it runs.
  scenario "delay CT_init 1500"
  app_start || return
  drv click 1001 \; select-combo COM3
  drv post-click 1005 \; sleep 700
  local during
  during=$(drv enabled)
  expect_state "$during" start_enabled=0 usb_enabled=0 serial_enabled=0 combo_enabled=0
  drv wait-text "$SERIAL_OK" 20 || fail "no SERIAL success line"
  local after
  after=$(drv state)
  expect_state "$after" start_enabled=1 usb_enabled=1 serial_enabled=1 combo_enabled=1 serial=1 usb=0 combo=COM3
  local -a want
  mapfile -t want < <(serial_success_lines)
  expect_lines "list" "$(list_lines)" "${want[@]}"
  shot main_after_serial_run.png
  app_exit
  expect_init_port 3
  expect_no_file tmp
  expect_log "$CASE_DIR/QSX7100-K.log" \
    "$SEPARATOR" "QSX 7100-K Connection test" "=DATE" "$SEPARATOR" "$OS_LINE" \
    "CT-API installed" "$VERSION_LINE" "Terminal OK" "$PATIENT_OK" "$DOCTOR_OK" "$SERIAL_OK" ""
  # The verdict message carries its own line feed: an empty line follows it.
  [[ $(tail -c 4 "$CASE_DIR/QSX7100-K.log" | od -An -tx1 | tr -d ' \n') == 0d0a0d0a ]] ||
    fail "QSX7100-K.log does not end with the verdict's line end and an empty line (CR LF CR LF)"
}

case_serial_typed_com12() {
  app_start || return
  drv click 1001 \; set-combo COM12
  expect_eq "combo text" COM12 "$(field combo "$(drv state)")"
  run_and_wait "$SERIAL_OK" 20
  local -a want
  mapfile -t want < <(serial_success_lines)
  expect_lines "list" "$(list_lines)" "${want[@]}"
  app_exit
  expect_init_port 11
  # The whole exchange: reset terminal, both slots, close; source 2 every time,
  # destination 1 for the terminal and the patient's slot, 5 for the doctor's.
  local data
  data=$(trace_calls CT_data | grep -o 'dad=[0-9A-F]*>[0-9A-F]* sad=[0-9A-F]*>[0-9A-F]* cmd=[0-9A-F]*' |
    sed 's/>[0-9A-F]*//g')
  expect_lines "trace CT_data" "$data" \
    "dad=01 sad=02 cmd=20110000" "dad=01 sad=02 cmd=2011010100" "dad=05 sad=02 cmd=2011020100"
  expect_eq "CT_close calls" 1 "$(trace_calls CT_close | grep -c .)"
}

# The operating-system line follows the version the system reports: wine
# reports 5.1 when told to act as Windows XP.
APPDEFAULTS_KEY='HKCU\Software\Wine\AppDefaults\SlotBench.exe'
case_os_report_xp() {
  wine reg add "$APPDEFAULTS_KEY" /v Version /d winxp /f >/dev/null 2>&1 || fail "cannot set the Windows version"
  app_start || return
  drv click 1001
  run_and_wait "$SERIAL_OK" 20
  local lines
  lines=$(list_lines)
  expect_eq "operating system line" "Operating System: Windows XP" "$(sed -n 5p <<<"$lines")"
  app_exit
  wine reg delete "$APPDEFAULTS_KEY" /f >/dev/null 2>&1
}

case_cards_arrive() {
  scenario "slot 1 processor arrive 1000" "slot 2 processor arrive 1000"
  app_start || return
  drv click 1001
  run_and_wait "$SERIAL_OK" 30
  expect_lines "list" "$(list_lines)" "$SEPARATOR" "QSX 7100-K Connection test" "=DATE" "$SEPARATOR" \
    "$OS_LINE" "CT-API installed" "$VERSION_LINE" "Terminal OK" \
    "Insert a card in a patient's slot" "$PATIENT_OK" \
    "Insert a card in the doctor's slot" "$DOCTOR_OK" "$SERIAL_OK"
  app_exit
  expect_eq "REQUEST ICC calls" 2 "$(trace_calls CT_data | grep -c 'cmd=2012')"
}

case_terminal_errors() {
  local head=("$SEPARATOR" "QSX 7100-K Connection test" "=DATE" "$SEPARATOR" "$OS_LINE" "CT-API installed"
    "$VERSION_LINE")

  echo "    - CT_init fails"
  scenario "result CT_init -8"
  app_start || return
  drv click 1001
  run_and_wait "$SERIAL_FAIL" 20
  expect_lines "list" "$(list_lines)" "${head[@]}" "CT_INIT fail" "$SERIAL_FAIL"
  app_exit
  expect_eq "CT_data calls after a failed CT_init" 0 "$(trace_calls CT_data | grep -c .)"
  expect_eq "CT_close calls after a failed CT_init" 0 "$(trace_calls CT_close | grep -c .)"

  echo "    - patient's slot answers an error status"
  rm -f "$CASE_DIR/trace.txt"
  scenario "status CT_data:2 6F 00"
  app_start || return
  drv click 1001
  run_and_wait "$SERIAL_FAIL" 20
  expect_lines "list" "$(list_lines)" "${head[@]}" "Terminal OK" "Com Error patient card's slot" \
    "$DOCTOR_OK" "$SERIAL_FAIL"
  app_exit

  echo "    - terminal reset answers 90 02"
  rm -f "$CASE_DIR/trace.txt"
  scenario "status CT_data:1 90 02"
  app_start || return
  drv click 1001
  run_and_wait "$SERIAL_FAIL" 20
  app_exit
  # The message keeps its 14 trailing spaces in the log.
  expect_log "$CASE_DIR/QSX7100-K.log" "${head[@]}" \
    "Com Error Terminal              " "$PATIENT_OK" "$DOCTOR_OK" "$SERIAL_FAIL" ""
}

case_usb_already_plugged() {
  app_start || return
  drv plug COM5
  local started=$SECONDS
  run_and_wait "$USB_OK" 20
  local took=$((SECONDS - started))
  ((took < 5)) || fail "the run took ${took}s: a terminal already plugged in needs no pause"
  expect_lines "list" "$(list_lines)" "$SEPARATOR" "QSX 7100-K Connection test" "=DATE" "$SEPARATOR" \
    "$OS_LINE" "CT-API installed" "$VERSION_LINE" "QSX 7100-K Port COM number: COM5" \
    "Terminal OK" "$PATIENT_OK" "$DOCTOR_OK" "$USB_OK"
  app_exit
  expect_init_port 5
}

case_usb_plugged_during_wait() {
  app_start || return
  drv post-click 1005 \; wait-text "$PLUG_PROMPT" 10 || fail "no plug-in prompt"
  local during
  during=$(drv enabled)
  expect_state "$during" start_enabled=0 usb_enabled=0 serial_enabled=0 combo_enabled=0
  # Every line reaches the session file as it is logged.
  grep -qF "$PLUG_PROMPT" "$CASE_DIR/tmp" 2>/dev/null || fail "the prompt is not in tmp while the wait goes on"
  sleep 3
  local timed
  timed=$(drv plug-timed COM5 "$(wine_env_winpath "$CASE_DIR/trace.txt")" 20)
  local ms
  ms=$(field init_after_ms "$timed")
  if [[ -z $ms ]]; then
    fail "the terminal was never opened after the plug-in"
  elif ((ms < 6000 || ms > 9000)); then
    fail "the terminal was opened ${ms} ms after the plug-in (expected a 6 s pause)"
  else
    echo "    terminal opened ${ms} ms after the plug-in"
  fi
  drv wait-text "$USB_OK" 20 || fail "no USB success line"
  local after
  after=$(drv state)
  # Restored as they were: the combo box stays disabled in USB mode.
  expect_state "$after" start_enabled=1 usb_enabled=1 serial_enabled=1 combo_enabled=0 usb=1
  expect_lines "list" "$(list_lines)" "$SEPARATOR" "QSX 7100-K Connection test" "=DATE" "$SEPARATOR" \
    "$OS_LINE" "CT-API installed" "$VERSION_LINE" "$PLUG_PROMPT" "QSX 7100-K Port COM number: COM5" \
    "Terminal OK" "$PATIENT_OK" "$DOCTOR_OK" "$USB_OK"
  app_exit
  expect_init_port 5
}

case_usb_never_plugged() {
  app_start || return
  drv post-click 1005 \; wait-text "$PLUG_PROMPT" 10 || fail "no plug-in prompt"
  local started ms
  started=$(date +%s%N)
  drv wait-text "Time out" 40 || fail "no Time out line"
  ms=$((($(date +%s%N) - started) / 1000000))
  ((ms >= 29000 && ms <= 31500)) || fail "the wait lasted ${ms} ms, not 30 s"
  echo "    Time out ${ms} ms after the prompt was seen"
  drv wait-text "$USB_FAIL" 5 || fail "no USB fail line"
  expect_lines "list" "$(list_lines)" "$SEPARATOR" "QSX 7100-K Connection test" "=DATE" "$SEPARATOR" \
    "$OS_LINE" "CT-API installed" "$VERSION_LINE" "$PLUG_PROMPT" "Time out" "$USB_FAIL"
  app_exit
  expect_eq "CT_init calls" 0 "$(trace_calls CT_init | grep -c .)"
}

case_library_missing_at_fixed_path() {
  # The program loads the library from its own folder; the fixed path the
  # report looks at is empty.
  cp -f "$EXE32" "$CASE_DIR/SlotBench.exe"
  cp -f "$SIM32" "$CASE_DIR/CT_ORB.dll"
  rm -f "$SYS32_DLL"
  app_start "$CASE_DIR/SlotBench.exe" || return
  drv click 1001
  run_and_wait "$SERIAL_FAIL" 20
  expect_lines "list" "$(list_lines)" "$SEPARATOR" "QSX 7100-K Connection test" "=DATE" "$SEPARATOR" \
    "$OS_LINE" "ERROR: CT-API Not found !" "Terminal OK" "$PATIENT_OK" "$DOCTOR_OK" "$SERIAL_FAIL"
  app_exit
  cp -f "$SIM32" "$SYS32_DLL"
}

case_no_library_anywhere() {
  rm -f "$SYS32_DLL"
  (cd "$CASE_DIR" && exec wine "$EXE32") >>"$CASE_DIR/app.out" 2>&1 &
  APP_PID=$!
  app_wait_exit 15
  expect_eq "exit code" 53 "$APP_RC"
  cp -f "$SIM32" "$SYS32_DLL"
  expect_no_file tmp
}

case_log_rotation() {
  echo "    - first session: CT_init fails"
  scenario "result CT_init -8"
  app_start || return
  drv click 1001
  run_and_wait "$SERIAL_FAIL" 20
  app_exit
  cp "$CASE_DIR/QSX7100-K.log" "$CASE_DIR/first.log" 2>/dev/null || fail "no log after the first session"
  expect_no_file QSX7100-K_old.log

  echo "    - second session: success"
  scenario ""
  app_start || return
  cmp -s "$CASE_DIR/first.log" "$CASE_DIR/QSX7100-K_old.log" ||
    fail "QSX7100-K_old.log is not the first session's log at the second start"
  drv click 1001
  run_and_wait "$SERIAL_OK" 20
  app_exit
  cmp -s "$CASE_DIR/first.log" "$CASE_DIR/QSX7100-K_old.log" || fail "QSX7100-K_old.log changed"
  grep -qxF "$SERIAL_OK"$'\r' "$CASE_DIR/QSX7100-K.log" || fail "QSX7100-K.log is not the second session's"
  grep -qF "CT_INIT fail" "$CASE_DIR/QSX7100-K.log" && fail "QSX7100-K.log still holds the first session"
  cp "$CASE_DIR/QSX7100-K.log" "$CASE_DIR/second.log"

  echo "    - third session: no test"
  app_start || return
  app_exit
  cmp -s "$CASE_DIR/second.log" "$CASE_DIR/QSX7100-K.log" || fail "a session without a test changed QSX7100-K.log"
  cmp -s "$CASE_DIR/second.log" "$CASE_DIR/QSX7100-K_old.log" ||
    fail "QSX7100-K_old.log is not a copy of the log found at the third start"
  expect_no_file tmp
}

# Escape and the close box leave like Exit: the log is written, tmp goes.
case_escape_and_close_box() {
  local way
  for way in escape close-box; do
    echo "    - $way"
    rm -f "$CASE_DIR/QSX7100-K.log"
    app_start || return
    drv click 1001
    run_and_wait "$SERIAL_OK" 20
    if [[ $way == escape ]]; then
      drv escape 1002 || fail "Escape could not be sent"
    else
      drv close-box || fail "the close box could not be used"
    fi
    drv wait-gone 10 || fail "$way did not close the window"
    app_wait_exit 10
    expect_no_file tmp
    grep -qxF "$SERIAL_OK"$'\r' "$CASE_DIR/QSX7100-K.log" 2>/dev/null || fail "$way did not write QSX7100-K.log"
  done
}

# Exit, Alt+F4 or the close box during the USB wait stop the wait at once:
# the USB fail line is logged, the exit steps run once, the window closes.
leave_during_wait() {  # exit | alt-f4 | close-box
  local way=$1
  echo "    - $way"
  app_kill
  rm -f "$CASE_DIR/QSX7100-K.log" "$CASE_DIR/trace.txt" "$CASE_DIR/tmp"
  app_start || return
  drv post-click 1005 \; wait-text "$PLUG_PROMPT" 10 || fail "no plug-in prompt"
  local started ms
  started=$(date +%s%N)
  case $way in
    exit) drv post-click 2 ;;
    alt-f4) drv key alt-f4 ;;
    close-box) drv close-box ;;
  esac
  if ! drv wait-gone 3; then
    fail "$way did not close the window during the wait"
    return
  fi
  ms=$((($(date +%s%N) - started) / 1000000))
  ((ms < 3000)) || fail "$way: the window took ${ms} ms to close"
  app_wait_exit 10
  expect_no_file tmp
  expect_log "$CASE_DIR/QSX7100-K.log" "$SEPARATOR" \
    "QSX 7100-K Connection test" "=DATE" "$SEPARATOR" "$OS_LINE" "CT-API installed" "$VERSION_LINE" \
    "$PLUG_PROMPT" "$USB_FAIL" ""
  expect_eq "$way: CT_init calls" 0 "$(trace_calls CT_init | grep -c .)"
}

case_exit_during_usb_wait() {
  leave_during_wait exit
  leave_during_wait alt-f4
  leave_during_wait close-box
}

# The wait dispatches messages without the dialog's keyboard handling, so
# Escape is no dialog key then: the wait goes on, and Exit still ends it.
case_escape_during_usb_wait() {
  app_start || return
  drv post-click 1005 \; wait-text "$PLUG_PROMPT" 10 || fail "no plug-in prompt"
  drv escape 1002
  sleep 1
  drv wait-window 1 >/dev/null 2>&1 || { fail "Escape closed the window during the wait"; return; }
  [[ $(drv list | tr -d '\r' | tail -n 1) == *": $PLUG_PROMPT" ]] || fail "Escape ended the wait"
  drv post-click 2
  drv wait-gone 3 || fail "Exit did not close the window after Escape"
  app_wait_exit 10
  expect_no_file tmp
  expect_eq "last logged line" "$USB_FAIL" "$(tr -d '\r' <"$CASE_DIR/QSX7100-K.log" | tail -n 2 | head -n 1)"
}

case_enter_does_nothing() {
  app_start || return
  drv click 1001
  run_and_wait "$SERIAL_OK" 20
  local before
  before=$(drv state)
  local id
  for id in 1002 1004 1001 1000; do
    drv enter "$id" || fail "Enter could not be sent to $id"
    sleep 0.3
    if ! drv wait-window 1 >/dev/null 2>&1; then
      fail "Enter on control $id closed the dialog"
      app_wait_exit 5
      return
    fi
    expect_eq "state after Enter on $id" "$before" "$(drv state)"
  done
  [[ -f $CASE_DIR/tmp ]] || fail "tmp is gone while the dialog is open"
  expect_no_file QSX7100-K.log
  # The keys do arrive: Enter on a push button presses it.
  drv enter 1005 \; wait-count 22 20 || fail "Enter on Start Test did not start a second run"
  app_exit
  [[ -f $CASE_DIR/QSX7100-K.log ]] || fail "no log after Exit"
}

# Clear empties the list only; a second run's block follows the first in the
# session file.
case_clear_and_two_runs() {
  app_start || return
  drv click 1001
  run_and_wait "$SERIAL_OK" 20
  drv click 1003
  expect_eq "lines after Clear" 0 "$(drv count)"
  expect_eq "tmp lines after Clear" 12 "$(grep -c '' "$CASE_DIR/tmp" 2>/dev/null)"
  run_and_wait "$SERIAL_OK" 20
  local -a want
  mapfile -t want < <(serial_success_lines)
  expect_lines "list" "$(list_lines)" "${want[@]}"
  app_exit
  expect_log "$CASE_DIR/QSX7100-K.log" "${want[@]}" "" "${want[@]}" ""
}

case_about_box() {
  app_start || return
  local before
  before=$(drv state)
  drv about
  local about
  about=$(drv wait-about 10) || fail "no About box"
  expect_eq "About caption" "caption: A propos de Slot_Bench" "$(head -n1 <<<"$about")"
  # The line the build derived from the version (1.0.0.0: "Slot_Bench version 1.0").
  local header version_line
  header=$(dirname "$EXE")/generated/slotbench_version.h
  version_line=$(sed -n 's/^#define SLOTBENCH_ABOUT_TEXT "\(.*\)"$/\1/p' "$header" 2>/dev/null)
  [[ $version_line == "Slot_Bench version "* ]] || fail "no About line in $header"
  sed -n 's/^item -*[0-9]*: //p' <<<"$about" | grep -qxF "$version_line" ||
    fail "the About box does not show '$version_line': $about"
  shot about_box.png
  drv close-about \; wait-about-gone 10 || fail "the About box did not close"
  drv wait-window 1 >/dev/null || fail "the main window went away with the About box"
  expect_eq "state after the About box" "$before" "$(drv state)"
  app_exit
}

case_x64_smoke() {
  [[ -f $EXE64 && -f $SIM64 ]] || { fail "the 64-bit program or simulator is not built"; return; }
  app_start "$EXE64" || return
  expect_state "$(drv state)" usb=1 serial=0 combo=COM1 combo_enabled=0 count=0
  drv click 1001 \; select-combo COM3
  run_and_wait "$SERIAL_OK" 20
  local -a want
  mapfile -t want < <(serial_success_lines)
  expect_lines "list" "$(list_lines)" "${want[@]}"
  app_exit
  expect_init_port 3
  [[ -f $CASE_DIR/QSX7100-K.log ]] || fail "no log"
}

# The 32-bit program against the stdcall and the cdecl build of the simulator,
# each installed in turn where the maker's library goes. The same scenario must
# give the expected log with both, and the same log and the same calls, byte
# for byte, apart from the date and the trace's times.
both_conventions() {  # verdict, expected log lines... (the scenario is in place)
  local verdict=$1 root=$CASE_DIR convention
  shift
  for convention in stdcall cdecl; do
    echo "    - $convention library"
    CASE_DIR=$root/$convention
    mkdir -p "$CASE_DIR"
    cp "$root/scenario.txt" "$CASE_DIR/"
    if [[ $convention == cdecl ]]; then cp -f "$SIM32_CDECL" "$SYS32_DLL"; else cp -f "$SIM32" "$SYS32_DLL"; fi
    if app_start; then
      drv click 1001 \; select-combo COM3
      run_and_wait "$verdict" 30
      app_exit
    fi
    expect_log "$CASE_DIR/QSX7100-K.log" "$@"
    expect_init_port 3
    expect_no_file tmp
  done
  CASE_DIR=$root
  cp -f "$SIM32" "$SYS32_DLL"
  local what
  for what in QSX7100-K.log trace.txt; do
    diff <(without_times "$root/stdcall/$what") <(without_times "$root/cdecl/$what") >"$root/$what.diff" ||
      fail "$what differs between the stdcall and the cdecl library (see $root/$what.diff)"
  done
}

# A log or trace with its date lines, call times and own folder taken out.
without_times() {
  sed -E -e 's#^[0-9]{2}/[0-9]{2}/[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\r$#<date>#' -e 's/ t=[0-9]+//' \
    -e 's/^(# scenario: .*)\\(stdcall|cdecl)\\/\1\\<convention>\\/' "$1" 2>&1
}

# The thunk itself, against callees that pop too much, too little or nothing,
# clobber registers, or look at their stack's alignment.
case_call_thunk() {
  local test=$ROOT/build/windows-x86/tests/win32/guarded_call_x86_test.exe
  [[ -f $test ]] || { fail "$test is not built"; return; }
  wine "$test" >"$CASE_DIR/thunk.out" 2>&1 || fail "the thunk's checks failed: $(grep -m3 FAIL "$CASE_DIR/thunk.out")"
}

case_conventions_serial_ok() {
  [[ -f $SIM32_CDECL ]] || { fail "$SIM32_CDECL is not built"; return; }
  scenario ""
  both_conventions "$SERIAL_OK" "$SEPARATOR" "QSX 7100-K Connection test" "=DATE" "$SEPARATOR" "$OS_LINE" \
    "CT-API installed" "$VERSION_LINE" "Terminal OK" "$PATIENT_OK" "$DOCTOR_OK" "$SERIAL_OK" ""
}

case_conventions_insert_card() {
  [[ -f $SIM32_CDECL ]] || { fail "$SIM32_CDECL is not built"; return; }
  scenario "slot 1 empty" "slot 2 processor arrive 500" "wait-limit 1000"
  both_conventions "$SERIAL_FAIL" "$SEPARATOR" "QSX 7100-K Connection test" "=DATE" "$SEPARATOR" "$OS_LINE" \
    "CT-API installed" "$VERSION_LINE" "Terminal OK" "Insert a card in a patient's slot" \
    "Com Error patient card's slot" "Insert a card in the doctor's slot" "$DOCTOR_OK" "$SERIAL_FAIL" ""
}

case_conventions_library_error() {
  [[ -f $SIM32_CDECL ]] || { fail "$SIM32_CDECL is not built"; return; }
  scenario "result CT_data:2 -10"
  both_conventions "$SERIAL_FAIL" "$SEPARATOR" "QSX 7100-K Connection test" "=DATE" "$SEPARATOR" "$OS_LINE" \
    "CT-API installed" "$VERSION_LINE" "Terminal OK" "RESET card in patient's slot fail" "$SERIAL_FAIL" ""
  expect_eq "CT_close calls after the failed reset" 1 "$(grep -c '^CT_close ' "$CASE_DIR/cdecl/trace.txt")"
}

# ------------------------------------------- everyday desktop use ---

# A second copy started in the folder of a running one ends by itself and
# brings the first one's window back; the first copy's session goes on
# untouched.
# A second copy started in a folder (the case's unless named) ends with exit
# code 0, by itself or once COMMAND, run meanwhile, has dealt with it.
second_copy_ends() {  # [folder [command...]]
  local first=$APP_PID
  (cd "${1:-$CASE_DIR}" && exec wine "$EXE") >>"$CASE_DIR/second.out" 2>&1 &
  APP_PID=$!
  (($# > 1)) && "${@:2}"
  app_wait_exit 15 || app_kill
  expect_eq "second copy's exit code" 0 "$APP_RC"
  APP_PID=$first
}

case_second_copy_same_folder() {
  app_start || return
  drv click 1001
  run_and_wait "$SERIAL_OK" 20
  cp "$CASE_DIR/tmp" "$CASE_DIR/tmp.before" 2>/dev/null || fail "no session file after the first run"
  drv minimize
  wait_until 3 driver_says iconic iconic=1 || fail "the window could not be minimised"

  second_copy_ends
  wait_until 3 driver_says iconic iconic=0 || fail "the second copy did not bring the first one's window back"
  cmp -s "$CASE_DIR/tmp.before" "$CASE_DIR/tmp" || fail "the second copy changed the first one's session file"
  expect_no_file QSX7100-K.log
  expect_no_file QSX7100-K_old.log

  first_copy_logs_two_runs
}

# The first copy's second run and exit: its log holds exactly its two runs,
# and nothing else is left.
first_copy_logs_two_runs() {
  run_and_wait "$SERIAL_OK" 20
  app_exit
  local -a run
  mapfile -t run < <(serial_success_lines)
  expect_log "$CASE_DIR/QSX7100-K.log" "${run[@]}" "" "${run[@]}" ""
  expect_no_file QSX7100-K_old.log
  expect_no_file tmp
}

# A second copy that reaches the folder through a link finds the first one's
# window all the same; one from another computer (a second prefix: its own
# wine server, as another computer has its own Windows) says why in a box.
# Either changes no byte of the folder's files.
OTHER_PREFIX=$OUT/wineprefix-other
FOLDER_HELD_TEXT='Slot Bench is already open on another computer, or in another window, that uses this same folder. Only one can use the folder at a time, so that the test log stays whole.\n\nClose Slot Bench there, then start it here again.'
tool_files() { (cd "$CASE_DIR" && for f in *; do [[ $f =~ \.(out|err)$|^(trace|scenario)\.txt$ ]] || sha256sum "$f"; done); }
held_box_closed() {
  expect_state "$(drv wait-error-box 30)" owner=none "text=$FOLDER_HELD_TEXT" buttons=OK
  drv press-box-ok
}

second_copy_elsewhere() {  # link | other-computer
  app_start || return
  drv click 1001
  run_and_wait "$SERIAL_OK" 20
  drv minimize
  local before
  before=$(tool_files)
  if [[ $1 == link ]]; then
    ln -sfn "$CASE_DIR" "$CASE_DIR.link"
    second_copy_ends "$CASE_DIR.link"
    wait_until 3 driver_says iconic iconic=0 || fail "the second copy did not bring the first one's window back"
  else
    (export WINEPREFIX=$OTHER_PREFIX && wine_env_make_prefix && wine_env_install_fonts && wine_env_configure_prefix &&
      wine_env_install_simulator) || { fail "the other prefix could not be set up"; return; }
    WINEPREFIX=$OTHER_PREFIX second_copy_ends "$CASE_DIR" held_box_closed
  fi
  expect_eq "the folder's files after the second copy" "$before" "$(tool_files)"
  first_copy_logs_two_runs
}
case_second_copy_through_link() { second_copy_elsewhere link; }
case_second_copy_other_computer() { second_copy_elsewhere other-computer; }

# After a run started by a click on Start Test, the focus is on Start Test
# again: Enter then starts the next run instead of pressing Exit.
case_focus_back_on_start_test() {
  app_start || return
  drv click 1001 \; mouse-click 1005 \; wait-text "$SERIAL_OK" 20 || fail "no verdict line"
  wait_until 3 driver_says focus focus=1005 || fail "focus after the run: $(drv focus), not on Start Test"
  # Both runs' 11 lines each: the second one has logged its verdict.
  drv key enter \; wait-count 22 20 || fail "Enter after the run did not start a second run"
  wait_until 3 driver_says focus focus=1005 || fail "focus after the second run: $(drv focus), not on Start Test"
  app_exit
}

# A request to leave made while the window is blocked in a card wait
# is honoured once the run has logged everything; clicks on Start Test made
# meanwhile start nothing. F4 as a system key without Alt (what arrives when
# no window has the focus) is no such request; and a second copy started
# meanwhile brings the blocked, minimised window back without waiting for it.
case_leave_while_blocked() {
  local way
  for way in exit-click escape alt-f4 stay; do
    echo "    - $way"
    app_kill
    rm -f "$CASE_DIR/QSX7100-K.log" "$CASE_DIR/trace.txt" "$CASE_DIR/tmp"
    if [[ $way == stay ]]; then scenario "slot 1 processor arrive 8000"; else scenario "slot 1 processor arrive 4000"; fi
    app_start || return
    drv click 1001
    if [[ $way == stay ]]; then
      drv minimize
      wait_until 3 driver_says iconic iconic=1 || fail "the window could not be minimised"
    fi
    drv mouse-click 1005
    wait_until 20 file_has_line "$CASE_DIR/tmp" "Insert a card in a patient's slot" ||
      { fail "$way: the card wait did not begin"; continue; }
    case $way in
      exit-click) drv mouse-click 1005 \; mouse-click 1005 \; mouse-click 2 ;;
      escape) drv key escape ;;
      alt-f4) drv key alt-f4 ;;
      stay)
        second_copy_ends_while_blocked
        drv key system-f4
        drv wait-text "$SERIAL_OK" 20 || fail "stay: no verdict line"
        sleep 1
        kill -0 "$APP_PID" 2>/dev/null || fail "stay: F4 without Alt ended the tool"
        app_exit
        continue
        ;;
    esac
    if ! drv wait-gone 20; then
      fail "$way: the tool did not end after the run"
      continue
    fi
    app_wait_exit 10
    expect_no_file tmp
    expect_log "$CASE_DIR/QSX7100-K.log" "$SEPARATOR" "QSX 7100-K Connection test" "=DATE" "$SEPARATOR" \
      "$OS_LINE" "CT-API installed" "$VERSION_LINE" "Terminal OK" "Insert a card in a patient's slot" \
      "$PATIENT_OK" "$DOCTOR_OK" "$SERIAL_OK" ""
    expect_eq "$way: CT_init calls" 1 "$(trace_calls CT_init | grep -c .)"
  done
}

# Started while the first copy is blocked in its card wait, a second copy ends
# (exit 0) before that wait is over.
second_copy_ends_while_blocked() {
  second_copy_ends
  file_has_line "$CASE_DIR/tmp" "$PATIENT_OK" && fail "the second copy waited for the blocked one"
  wait_until 12 driver_says iconic iconic=0 || fail "the second copy did not restore the blocked window"
}

# ------------------------------------------- a library that faults ---

# A fault that the library leaves unhandled is reported, not a crash. Each
# row: the library (stdcall, cdecl, x64), the link, the call that faults
# (a CT_data one is the card request of the empty slot; CT_close comes after
# both slots answered), the fault.
LIBRARY_FAULTS=(
  "stdcall serial CT_init access-violation"
  "stdcall usb CT_data:1 divide-by-zero"
  "stdcall serial CT_close access-violation"
  "cdecl usb CT_init illegal-instruction"
  "cdecl serial CT_data:2 access-violation"
  "cdecl usb CT_close divide-by-zero"
  "x64 serial CT_init divide-by-zero"
  "x64 usb CT_data:1 illegal-instruction"
  "x64 serial CT_close illegal-instruction"
)
FAULT_BOX_TEXT='The card-terminal library CT_ORB.dll failed inside @CALL@.\n\n@WHERE@\n\nSlot Bench will now close.'
LOG_SAVED='The log was saved as QSX7100-K.log in the current folder.'
LOG_NOT_WRITTEN="This session's log could not be saved: none of its lines could be written to a file."
LOG_LEFT_IN_TMP="This session's log could not be saved. Its lines are in the file tmp in the current folder."
fault_box_text() {  # call, where the log is (as the driver shows a line feed: \n)
  local text=${FAULT_BOX_TEXT/@CALL@/$1}
  printf '%s' "${text/@WHERE@/$2}"
}

case_library_fault() {
  local row library link call kind slot code exe n root=$CASE_DIR
  for row in "${LIBRARY_FAULTS[@]}"; do
    read -r library link call kind <<<"$row"
    slot=${call#*:} call=${call%%:*}
    echo "    - $library, $link: $kind in $call"
    CASE_DIR=$root/$library-$call
    mkdir -p "$CASE_DIR"
    case $kind in
      access-violation) code=C0000005 ;;
      illegal-instruction) code=C000001D ;;
      divide-by-zero) code=C0000094 ;;
    esac
    local -a lines=("$SEPARATOR" "QSX 7100-K Connection test" "=DATE" "$SEPARATOR" "$OS_LINE" "CT-API installed"
      "$VERSION_LINE")
    [[ $link == usb ]] && lines+=("QSX 7100-K Port COM number: COM5")
    # The faulting call's number: the reset of the terminal and of each slot
    # up to the empty one come first.
    n=1
    if [[ $call == CT_init ]]; then
      scenario "fault CT_init $kind"
    elif [[ $call == CT_close ]]; then
      scenario "fault CT_close $kind"
      lines+=("Terminal OK" "$PATIENT_OK" "$DOCTOR_OK")
    else
      n=$((slot + 2))
      scenario "slot $slot empty" "fault CT_data:$n $kind"
      lines+=("Terminal OK")
      if ((slot == 1)); then lines+=("Insert a card in a patient's slot"); else lines+=("$PATIENT_OK" "Insert a card in the doctor's slot"); fi
    fi
    lines+=("~^CT-API fault in $call: exception $code at CT_ORB\.dll\+0x[0-9A-F]{8}\$")
    if [[ $link == usb ]]; then lines+=("$USB_FAIL" ""); else lines+=("$SERIAL_FAIL" ""); fi

    exe=$EXE32
    case $library in
      x64) exe=$EXE64 ;;
      cdecl) cp -f "$SIM32_CDECL" "$SYS32_DLL" ;;
      stdcall) cp -f "$SIM32" "$SYS32_DLL" ;;
    esac
    app_start "$exe" || continue
    if [[ $link == usb ]]; then drv plug COM5 \; post-click 1005; else drv click 1001 \; post-click 1005; fi
    local box
    box=$(drv wait-error-box 20) || { fail "no error box"; app_kill; continue; }
    # The exit steps have run before the box shows.
    expect_no_file tmp
    expect_log "$CASE_DIR/QSX7100-K.log" "${lines[@]}"
    expect_state "$box" owner=main "text=$(fault_box_text "$call" "$LOG_SAVED")" buttons=OK
    (($(field icon_red_pixels "$box") > 50)) || fail "the box's icon is not the red error icon: $(field icon_red_pixels "$box") red pixels"
    [[ $row == "${LIBRARY_FAULTS[1]}" ]] && shot library_fault_box.png
    drv press-box-ok
    app_wait_exit 10
    expect_eq "exit code" 3 "$APP_RC"
    echo "      $(tr -d '\r' <"$CASE_DIR/QSX7100-K.log" | grep -m1 '^CT-API fault'); exit code $APP_RC"
    drv unplug
    # The faulting call is the last one the library saw.
    expect_eq "last trace line" "# fault: $call n=$n $kind" "$(tail -n 1 "$CASE_DIR/trace.txt" 2>/dev/null)"
    expect_eq "CT_close calls" 0 "$(trace_calls CT_close | grep -c .)"
    expect_scenario_used
  done
  CASE_DIR=$root
}

# A fault after the session file "tmp" could not be opened at start (a folder
# holds its name): the box names no log, for none holds this session, and the
# log of the session before is left as it was, byte for byte.
case_library_fault_log_not_opened() {
  local earlier=$CASE_DIR/earlier.log
  printf '%s\r\n' "$SEPARATOR" "an earlier session" >"$earlier"
  cp "$earlier" "$CASE_DIR/QSX7100-K.log"
  mkdir "$CASE_DIR/tmp"
  fault_at_init "$LOG_NOT_WRITTEN" || return
  grep -qxF "Error : the log file can not be opened" <<<"$FAULT_LIST" || fail "message 122 is not in the list"
  cmp -s "$earlier" "$CASE_DIR/QSX7100-K.log" || fail "QSX7100-K.log changed"
}

# A fault when the session file cannot be copied to the log (a folder holds
# the log's name): the box sends the user to "tmp", which holds the session.
case_library_fault_log_not_saved() {
  mkdir "$CASE_DIR/QSX7100-K.log"
  fault_at_init "$LOG_LEFT_IN_TMP" || return
  expect_log "$CASE_DIR/tmp" "$SEPARATOR" "QSX 7100-K Connection test" "=DATE" "$SEPARATOR" "$OS_LINE" \
    "CT-API installed" "$VERSION_LINE" "~^CT-API fault in CT_init: " "$SERIAL_FAIL" ""
}

# A SERIAL run whose CT_init faults, up to the tool's end; the box must say
# WHERE. FAULT_LIST: the list as the box showed.
fault_at_init() {  # where the log is
  scenario "fault CT_init access-violation"
  app_start || return 1
  drv click 1001 \; post-click 1005
  local box
  box=$(drv wait-error-box 20) || { fail "no error box"; return 1; }
  expect_state "$box" owner=main "text=$(fault_box_text CT_init "$1")" buttons=OK
  FAULT_LIST=$(list_lines)
  grep -q "^CT-API fault in CT_init: " <<<"$FAULT_LIST" || fail "the fault line is not in the list"
  drv press-box-ok
  app_wait_exit 10
  expect_eq "exit code" 3 "$APP_RC"
  expect_scenario_used
}

# A library that checks its caller's pointers with IsBadReadPtr (a fault
# handled inside the system) at every call works as usual.
case_library_probing() {
  scenario "probe CT_init" "probe CT_data" "probe CT_close"
  local exe root=$CASE_DIR
  for exe in "$EXE32" "$EXE64"; do
    CASE_DIR=$root/$(basename "$(dirname "$exe")")
    mkdir -p "$CASE_DIR"
    cp "$root/scenario.txt" "$CASE_DIR/"
    app_start "$exe" || continue
    drv click 1001
    run_and_wait "$SERIAL_OK" 20
    app_exit
    expect_eq "$exe: exit code" 0 "$APP_RC"
    local -a want
    mapfile -t want < <(serial_success_lines)
    expect_log "$CASE_DIR/QSX7100-K.log" "${want[@]}" ""
    expect_eq "$exe: probes" 5 "$(grep -cxF '# probe: IsBadReadPtr 0x10 bad, IsBadWritePtr 0x10 bad' "$CASE_DIR/trace.txt")"
  done
  CASE_DIR=$root
}

# ------------------------------------------------- display scale ---

# Wine takes the display's dots per inch from this value at each program's
# start; the case puts it back (case_cleanup too), so that no other case runs
# at another scale.
DPI_KEY='HKCU\Control Panel\Desktop'
set_dpi() { wine reg add "$DPI_KEY" /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null 2>&1; }
reset_dpi() { wine reg delete "$DPI_KEY" /v LogPixels /f >/dev/null 2>&1; }

# "control=ID X Y W H" of the driver's layout: field N (1 X, 2 Y, 3 W, 4 H).
layout_control() {  # layout, id, field
  grep "^control=$2 " <<<"$1" | head -n1 | cut -d' ' -f$(($3 + 1))
}

expect_ratio() {  # what, at 150 %, at 100 %
  local ratio
  ratio=$(awk -v a="$2" -v b="$3" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "none" }')
  echo "    $1: $3 -> $2 px (x$ratio)"
  awk -v r="$ratio" 'BEGIN { exit !(r >= 1.35 && r <= 1.65) }' || fail "$1 grew x$ratio from 96 to 144 dpi, not about x1.5"
}

# At 150 % the dialog is drawn at that scale, not as a stretched 96-dpi
# bitmap: its controls and the list's lines are half as large again as at
# 100 %, and every logged line fits the list's height and width.
case_display_scale_150() {
  local at96 at144 id
  reset_dpi
  app_start || return
  at96=$(drv layout)
  app_exit
  set_dpi 144 || { fail "the display scale could not be set"; return; }
  app_start || return
  drv click 1001
  run_and_wait "$SERIAL_OK" 20
  at144=$(drv layout)
  shot display_scale_150.png
  app_exit
  reset_dpi
  expect_eq "the window's dpi at 150 %" 144 "$(field dpi "$at144")"
  for id in 1005 1002 1006; do
    expect_ratio "control $id width" "$(layout_control "$at144" "$id" 3)" "$(layout_control "$at96" "$id" 3)"
    expect_ratio "control $id height" "$(layout_control "$at144" "$id" 4)" "$(layout_control "$at96" "$id" 4)"
  done
  expect_ratio "list line height" "$(field item_height "$at144")" "$(field item_height "$at96")"
  local widest width
  widest=$(field widest_line "$at144") width=$(field list_width "$at144")
  echo "    at 144 dpi: widest line ${widest} of ${width} px"
  ((widest > 0 && widest <= width)) || fail "the widest logged line (${widest} px) does not fit the list (${width} px)"
}

CASES=(startup_state link_boxes serial_com3 serial_typed_com12 os_report_xp cards_arrive terminal_errors
  usb_already_plugged usb_plugged_during_wait usb_never_plugged library_missing_at_fixed_path
  no_library_anywhere log_rotation escape_and_close_box exit_during_usb_wait escape_during_usb_wait enter_does_nothing
  clear_and_two_runs about_box x64_smoke call_thunk conventions_serial_ok conventions_insert_card conventions_library_error
  second_copy_same_folder second_copy_through_link second_copy_other_computer focus_back_on_start_test leave_while_blocked
  display_scale_150)
CASES+=(library_fault library_fault_log_not_opened library_fault_log_not_saved library_probing)

# ------------------------------------------------------------------ main ---

main() {
  local begin=$SECONDS
  suite_choose e2e "${CASES[*]}" "$@"

  mkdir -p "$OUT"
  rm -rf "$CASES_DIR" "$SHOTS"
  mkdir -p "$CASES_DIR" "$SHOTS"

  local setup_error=
  [[ -f $EXE32 ]] || setup_error="$EXE32 is not built (bash tools/build.sh)"
  [[ -f $SIM32 ]] || setup_error="$SIM32 is not built (bash tools/build.sh)"
  if [[ -z $setup_error ]]; then
    if wine_env_driver; then
      DRIVER=$SLOTBENCH_DRIVER
    else
      setup_error="the driver could not be built"
    fi
  fi
  if [[ -z $setup_error ]]; then
    wine_env_up --private-display || setup_error="the wine environment could not be set up"
  fi
  trap 'wine_env_down' EXIT
  if [[ -n $setup_error ]]; then
    echo "e2e: $setup_error"
    echo "0 passed, ${#SUITE_SELECTED[@]} failed"
    return 1
  fi
  echo "e2e: display $DISPLAY, prefix $WINEPREFIX, driver $DRIVER"

  suite_run_selected

  echo "e2e: $((SECONDS - begin)) s; screenshots in $SHOTS"
  echo "$SUITE_PASSED passed, $SUITE_FAILED failed"
  ((SUITE_FAILED == 0))
}

main "$@"
