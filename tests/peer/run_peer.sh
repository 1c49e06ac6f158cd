#!/usr/bin/env bash
# Peer end-to-end tests: the real 32- and 64-bit programs under wine drive our
# serial terminal through a CT-API library written by others:
#
#   SlotBench.exe -> CT_ORB.dll (bridge/) -> wine's ctapi32.dll
#     -> Debian's libctapimkt.so.1 -> /dev/ttyS0 -> slotbench_serial_terminal
#
# libctapimkt picks its device from the terminal number (ctn 1: /dev/ttyS0),
# so the terminal's pseudo-terminal is bind-mounted over /dev/ttyS0 in a
# private mount namespace: the machine's own serial port is never opened or
# changed. Where namespaces or mounts are refused the suite prints
# "SKIPPED: <reason>" and exits 0.
#
#   bash tests/peer/run_peer.sh [--list] [CASE-PATTERN...]
#
# --list prints the case names; a pattern that matches none ends the suite
# with those names and exit status 2, before anything is set up.
#
# Build folders (defaults: what tools/build.sh fills):
#   PEER_BUILD_X86   build/windows-x86   SlotBench.exe, bridge/CT_ORB.dll
#   PEER_BUILD_X64   build/windows-x64
#   PEER_BUILD_HOST  build/host          simulator/serial/slotbench_serial_terminal
#   PEER_TERMINAL    the terminal program itself, if it is somewhere else
#   PEER_WINEPREFIX  default build/peer/wineprefix
# Each case runs in build/peer/cases/<arch>_<case>/ (log, trace, output).
# Ends with "N passed, M failed"; exit status 0 only when nothing failed.
set -uo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
OUT=$ROOT/build/peer
CASES_DIR=$OUT/cases
SERIAL_DEVICE=/dev/ttyS0

# Absolute: the programs run from their case folders.
BUILD_X86=$(realpath -m "${PEER_BUILD_X86:-$ROOT/build/windows-x86}")
BUILD_X64=$(realpath -m "${PEER_BUILD_X64:-$ROOT/build/windows-x64}")
BUILD_HOST=$(realpath -m "${PEER_BUILD_HOST:-$ROOT/build/host}")
TERMINAL=$(realpath -m "${PEER_TERMINAL:-$BUILD_HOST/simulator/serial/slotbench_serial_terminal}")
LIBRARY=libctapimkt.so.1

export WINEPREFIX=${PEER_WINEPREFIX:-$OUT/wineprefix}
# shellcheck source=tools/wine/wine_env.sh
source "$ROOT/tools/wine/wine_env.sh"
# shellcheck source=tests/lib/suite.sh
source "$ROOT/tests/lib/suite.sh"

# The bridge carries the product's version, not the simulator's.
BRIDGE_VERSION=$(sed -n 's/^#define SLOTBENCH_VERSION_TEXT "\(.*\)"/\1/p' "$ROOT/res/version.h")
HEAD_LINES=("$SEPARATOR" "QSX 7100-K Connection test" "=DATE" "$SEPARATOR" "$OS_LINE" "CT-API installed"
  "CT-API version:$BRIDGE_VERSION")

# ------------------------------------------------------------- checking ---

# The commands the terminal received, in order, one per line.
terminal_commands() { grep '^CT_data ' "$CASE_DIR/trace.txt" 2>/dev/null | grep -o 'cmd=[0-9A-F]*' | cut -c5-; }

expect_commands() {  # hex commands...
  local got
  got=$(terminal_commands | paste -sd ' ')
  expect_eq "commands the terminal received" "$*" "$got"
}

# T=1 blocks on the line with this PCB, one direction (rx: to the terminal).
count_blocks() {  # rx|tx, PCB hex
  grep -cE "^T1 $1 [0-9A-F]{2} $2 " "$CASE_DIR/trace.txt" 2>/dev/null
}

# ------------------------------------------------------------- terminal ---

TERMINAL_PID=
MOUNTED=0

terminal_start() {  # scenario lines...
  printf '%s\n' "$@" >"$CASE_DIR/terminal.scenario"
  local attempt tries pty=
  # A pseudo-terminal whose number a closed one had a moment before can
  # lose its node to the kernel's late clean-up of the old one (seen about
  # once in 60 starts right after a stop): such a terminal is started again.
  for ((attempt = 0; attempt < 3; attempt++)); do
    "$TERMINAL" --scenario "$CASE_DIR/terminal.scenario" --trace "$CASE_DIR/trace.txt" \
      >"$CASE_DIR/terminal.out" 2>"$CASE_DIR/terminal.err" &
    TERMINAL_PID=$!
    # Up to 10 s, on a machine that other suites keep busy.
    for ((tries = 0; tries < 200; tries++)); do
      pty=$(head -n 1 "$CASE_DIR/terminal.out" 2>/dev/null)
      [[ -n $pty ]] && break
      kill -0 "$TERMINAL_PID" 2>/dev/null || break
      sleep 0.05
    done
    [[ $pty == /dev/pts/* && ! -e $pty ]] && kill -0 "$TERMINAL_PID" 2>/dev/null || break
    terminal_stop
  done
  if [[ $pty != /dev/pts/* || ! -c $pty ]]; then
    fail "the terminal did not give its pseudo-terminal ('$pty', $(kill -0 "$TERMINAL_PID" 2>/dev/null && echo running || echo ended), $(head -c 200 "$CASE_DIR/terminal.err"))"
    terminal_stop
    return 1
  fi
  mount --bind "$pty" "$SERIAL_DEVICE" || { fail "cannot bind $pty over $SERIAL_DEVICE"; return 1; }
  MOUNTED=1
  # The library must reach the pseudo-terminal, never the real port.
  [[ $(stat -L -c %t:%T "$SERIAL_DEVICE") == $(stat -L -c %t:%T "$pty") ]] ||
    { fail "$SERIAL_DEVICE is not the pseudo-terminal after the bind mount"; return 1; }
}

terminal_stop() {
  if [[ -n $TERMINAL_PID ]]; then
    kill -TERM "$TERMINAL_PID" 2>/dev/null
    wait "$TERMINAL_PID" 2>/dev/null
    TERMINAL_PID=
  fi
  if ((MOUNTED)); then
    umount "$SERIAL_DEVICE" 2>/dev/null || fail "cannot unmount the pseudo-terminal from $SERIAL_DEVICE"
    MOUNTED=0
  fi
}

# -------------------------------------------------------------- program ---

# SERIAL on PORT, Start Test, and the time until the verdict line.
serial_run() {  # port, verdict, seconds
  drv click 1001 \; select-combo "$1" || fail "cannot choose SERIAL on $1"
  local started ms
  started=$(date +%s%N)
  if drv post-click 1005 \; wait-text "$2" "$3"; then
    ms=$((($(date +%s%N) - started) / 1000000))
    echo "    SERIAL run, Start Test to verdict: $ms ms"
    echo "$CASE_NAME $ms" >>"$OUT/timings"
  else
    fail "no verdict line '$2' within $3 s"
  fi
}

# A whole case: the terminal with this scenario, the program, a SERIAL run.
run_case() {  # port, verdict, seconds, scenario lines...
  local port=$1 verdict=$2 seconds=$3
  shift 3
  terminal_start "$@" || return 1
  app_start || return 1
  serial_run "$port" "$verdict" "$seconds"
  app_exit
  terminal_stop
}

case_cleanup() {
  app_kill
  terminal_stop
}

# ---------------------------------------------------------------- cases ---

case_both_cards() {
  run_case COM1 "$SERIAL_OK" 20 "slot 1 processor" "slot 2 processor" || return
  expect_log "$CASE_DIR/QSX7100-K.log" "${HEAD_LINES[@]}" "Terminal OK" "$PATIENT_OK" "$DOCTOR_OK" "$SERIAL_OK" ""
  expect_commands 20110000 2011010100 2011020100
  # The library opens the line with a RESYNCH and gets its response.
  expect_eq "RESYNCH requests" 1 "$(count_blocks rx C0)"
  expect_eq "RESYNCH responses" 1 "$(count_blocks tx E0)"
}

# Both slots empty; each card comes 2 s after the tool asks for it. The
# terminal asks for more time every 500 ms meanwhile, and the library must
# grant every request or the exchange breaks.
case_cards_arrive() {
  run_case COM1 "$SERIAL_OK" 30 "slot 1 processor arrive 2000" "slot 2 processor arrive 2000" "line wtx 500" ||
    return
  expect_log "$CASE_DIR/QSX7100-K.log" "${HEAD_LINES[@]}" "Terminal OK" "Insert a card in a patient's slot" "$PATIENT_OK" \
    "Insert a card in the doctor's slot" "$DOCTOR_OK" "$SERIAL_OK" ""
  expect_commands 20110000 2011010100 20120100013C 2011020100 20120200013C
  local asked granted
  asked=$(count_blocks tx C3)
  granted=$(count_blocks rx E3)
  ((asked >= 4)) || fail "only $asked WTX requests on the line for two 2-second waits"
  expect_eq "WTX responses for $asked requests" "$asked" "$granted"
}

# The patient slot's answer carries a wrong check byte: the library fails the
# call, the tool logs the reset failure, closes the terminal and gives up.
case_wrong_check_byte() {
  run_case COM1 "$SERIAL_FAIL" 20 "line lrc CT_data:2" || return
  expect_log "$CASE_DIR/QSX7100-K.log" "${HEAD_LINES[@]}" "Terminal OK" "RESET card in patient's slot fail" "$SERIAL_FAIL" ""
  local commands
  commands=$(terminal_commands | head -n 2 | paste -sd ' ')
  expect_eq "first commands" "20110000 2011010100" "$commands"
  terminal_commands | grep -q '^2011020100$' && fail "the doctor's slot was reset after the failed call"
}

case_slot_error_status() {
  run_case COM1 "$SERIAL_FAIL" 20 "status CT_data:3 6F 00" || return
  expect_log "$CASE_DIR/QSX7100-K.log" "${HEAD_LINES[@]}" "Terminal OK" "$PATIENT_OK" "Com Error Doctor's card slot" "$SERIAL_FAIL" ""
  expect_commands 20110000 2011010100 2011020100
}

# An answer longer than the room the tool offers (100 bytes), chained in
# blocks the library accepts: the library returns success with the answer's
# whole length in lenr, and has copied the whole answer into the buffer. That
# must cost the patient's slot its verdict, not the tool its stack.
case_oversized_answer() {
  local data
  data=$(printf '%02X ' $(seq 0 199))
  run_case COM1 "$SERIAL_FAIL" 20 "status CT_data:2 90 00 data $data" "line block-size 32" || return
  expect_log "$CASE_DIR/QSX7100-K.log" "${HEAD_LINES[@]}" "Terminal OK" "Com Error patient card's slot" "$DOCTOR_OK" "$SERIAL_FAIL" ""
  expect_commands 20110000 2011010100 2011020100
  grep -q '^CT_data n=2 .* lenr=[0-9]*>202 ' "$CASE_DIR/trace.txt" || fail "the terminal did not give a 202-byte answer"
}

# A card wait the library gives up (at the terminal's tenth request for more
# time, with nothing written): that slot fails, and the next command gets its
# own answer whatever the terminal does with a block during its wait.

# Start Test on a terminal with these lines, until the list has `lines` more.
wait_run() {  # lines, seconds, scenario lines...
  local lines=$1 seconds=$2 started
  shift 2
  terminal_start "$@" || return 1
  started=$(date +%s%N)
  drv post-click 1005 \; wait-count $(($(drv count) + lines)) "$seconds" >/dev/null || fail "no verdict within $seconds s ($*)"
  echo "    $*: Start Test to verdict $((($(date +%s%N) - started) / 1000000)) ms"
  terminal_stop
}

# No patient's card, the doctor's there: asked every second, and every 200 ms
# under each in-wait rule.
case_patient_card_never() {
  local -a run=("${HEAD_LINES[@]}" "Terminal OK" "Insert a card in a patient's slot" "Com Error patient card's slot"
    "$DOCTOR_OK" "$SERIAL_FAIL" "")
  local rule n
  app_start || return
  drv click 1001 \; select-combo COM1 || fail "cannot choose SERIAL on COM1"
  wait_run $((${#run[@]} - 1)) 30 "slot 1 empty" "line wtx 1000"
  for rule in drop refuse end-wait; do wait_run $((${#run[@]} - 1)) 15 "slot 1 empty" "line wtx 200" "line in-wait $rule"; done
  app_exit
  expect_log "$CASE_DIR/QSX7100-K.log" "${run[@]}" "${run[@]}" "${run[@]}" "${run[@]}"
  for n in 1 2 3 4; do
    expect_eq "run $n: commands" "20110000 2011010100 20120100013C 2011020100" \
      "$(terminal_commands | sed -n "$((n * 4 - 3)),$((n * 4))p" | paste -sd ' ')"
  done
  # Each run: the opening RESYNCH, and the one before the doctor's reset.
  expect_eq "RESYNCH requests" 8 "$(count_blocks rx C0)"
}

# The patient's card at 15 s, after the library gave up; no doctor's card.
case_patient_card_late() {
  run_case COM1 "$SERIAL_FAIL" 40 "slot 1 processor arrive 15000" "slot 2 empty" "line wtx 1000" || return
  expect_log "$CASE_DIR/QSX7100-K.log" "${HEAD_LINES[@]}" "Terminal OK" "Insert a card in a patient's slot" \
    "Com Error patient card's slot" "Insert a card in the doctor's slot" "Com Error Doctor's card slot" "$SERIAL_FAIL" ""
  expect_commands 20110000 2011010100 20120100013C 2011020100
  # Still waiting when the tool closed the terminal: the model never ended this one.
  grep -qE '^T1 rx 52 [0-9A-F]{2} 06 20 12 02 00 01 3C ' "$CASE_DIR/trace.txt" || fail "the doctor's slot was not asked for a card"
  expect_eq "RESYNCH requests" 2 "$(count_blocks rx C0)"
}

# The library takes its device from the terminal number, not the port: with
# COM3 chosen the run still reaches the terminal on /dev/ttyS0.
case_com3() {
  run_case COM3 "$SERIAL_OK" 20 || return
  expect_log "$CASE_DIR/QSX7100-K.log" "${HEAD_LINES[@]}" "Terminal OK" "$PATIENT_OK" "$DOCTOR_OK" "$SERIAL_OK" ""
  expect_commands 20110000 2011010100 2011020100
}

# The library value as wine's server last wrote it to user.reg: the line
# shows every character (wine escapes all but printable ASCII) and the type.
library_line() {  # prefix
  sed -n '/^\[Software\\\\Wine\\\\ctapi32\]/,/^\[/p' "$1/user.reg" | grep -i '^"library"='
}

# Sets the library value from a .reg line's right-hand side, as regedit
# would, and waits until wine has written it to user.reg.
set_library_value() {  # prefix, data as a .reg file gives it
  local reg=$CASE_DIR/value.reg
  printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine\\ctapi32]\r\n"library"=%s\r\n' "$2" |
    iconv -f utf-8 -t utf-16 >"$reg"
  WINEPREFIX=$1 wine reg import "$(wine_env_winpath "$reg")" >/dev/null 2>&1 || fail "reg import of $2 failed"
  WINEPREFIX=$1 wineserver -w
}

# What an install could change in a prefix: its files (the system folders'
# CT_ORB files by content), the library value, and what is outside.
prefix_state() {  # prefix, outside folder
  (
    cd "$1" || exit
    find . -path ./drive_c -prune -o -printf '%p %y %l\n' | grep -v '^\./user\.reg \|^\./system\.reg ' | sort
    # The trailing slash: a system folder that is a link is looked into.
    find drive_c/windows/system32/ drive_c/windows/syswow64/ -maxdepth 1 -name 'CT_ORB*' -printf '%p %y %l\n' | sort
    find drive_c/windows/system32/ drive_c/windows/syswow64/ -maxdepth 1 -name 'CT_ORB*' -type f -exec sha256sum {} + |
      sort
    library_line .
    find "$2" -printf '%p %y %l\n' -type f -exec sha256sum {} + | sort
  )
}

# The installer refuses, in one line, what the program could not load, and
# leaves the prefix as it was: with a library ctapi32 cannot load, every
# test would end in CT_INIT fail. Then it installs for real,
# into the suite's prefix and into a folder that is not a prefix yet, and
# takes the bridge out of the latter again, putting back what it found: the
# maker's DLL, a link, a library value with characters reg query cannot
# show, also when three installs start at once.
case_installer() {
  local installer=$ROOT/tools/install_wine_bridge.sh
  local lib32=/usr/lib/i386-linux-gnu/$LIBRARY lib64=/usr/lib/x86_64-linux-gnu/$LIBRARY
  local sys32=$WINEPREFIX/drive_c/windows/syswow64/CT_ORB.dll sys64=$WINEPREFIX/drive_c/windows/system32/CT_ORB.dll
  local bridge32=$BUILD_X86/bridge/CT_ORB.dll bridge64=$BUILD_X64/bridge/CT_ORB.dll
  local only64=$CASE_DIR/only64 units
  units=$(/usr/bin/python3 "$ROOT/tests/peer/installer_units.py" 2>&1) || fail "the installer's parts: $units"
  echo "    ${units%%$'\n'*}"
  mkdir -p "$only64"
  cp "$lib64" "$only64/libpeer64only.so.1"
  # Whatever a refusal copied would replace these.
  local marker=$CASE_DIR/marker
  echo "not replaced" >"$marker"
  cp "$marker" "$sys32"
  cp "$marker" "$sys64"
  local -a refusals=(
    "missing|libpeer-nothere.so.1 not found|--arch x86 --library libpeer-nothere.so.1 --bridge $bridge32"
    "64-bit for x86|is 64-bit x86-64, but the x86 program needs a 32-bit i386 library|--arch x86 --library $lib64 --bridge $bridge32"
    "32-bit for x64|is 32-bit i386, but the x64 program needs a 64-bit x86-64 library|--arch x64 --library $lib32 --bridge $bridge64"
    "not a library|is not an ELF shared library|--arch x64 --library $ROOT/res/version.h --bridge $bridge64"
    "found only as 64-bit|only found as $only64/libpeer64only.so.1 (64-bit x86-64)|--arch x86 --library libpeer64only.so.1 --bridge $bridge32"
    "64-bit bridge for x86|is a 64-bit DLL|--arch x86 --bridge $bridge64"
    "32-bit bridge for x64|is a 32-bit DLL|--arch x64 --bridge $bridge32"
    "not a DLL|is not a Windows DLL|--arch x64 --bridge $lib64"
    "not a prefix|is not a wine prefix|--arch x86 --prefix $CASE_DIR --bridge $bridge32"
    "no such architecture|--arch arm: not x86 or x64|--arch arm --bridge $bridge32"
    "misspelt option|unknown argument '--prefx'|--arch x86 --prefx $WINEPREFIX"
    "relative library path|lib/$LIBRARY is a relative path|--arch x86 --library lib/$LIBRARY --bridge $bridge32"
    "another DLL where one is saved|holds another CT_ORB.dll saved at an earlier install|--arch x86 --bridge $bridge32"
  )
  local refusal what message args err rc
  for refusal in "${refusals[@]}"; do
    IFS='|' read -r what message args <<<"$refusal"
    # shellcheck disable=SC2086  # the arguments are words
    err=$(LD_LIBRARY_PATH=$only64 bash "$installer" $args 2>&1 >/dev/null)
    rc=$?
    ((rc != 0)) || fail "$what: accepted"
    expect_eq "$what: lines on stderr" 1 "$(grep -c '' <<<"$err")"
    [[ $err == "install_wine_bridge: "*"$message"* ]] || fail "$what: '$err' does not say '$message'"
  done
  cmp -s "$marker" "$sys32" || fail "a refused install replaced syswow64/CT_ORB.dll"
  cmp -s "$marker" "$sys64" || fail "a refused install replaced system32/CT_ORB.dll"
  cmp -s "$BUILD_X86/simulator/CT_ORB.dll" "$sys32.before-wine-bridge" || fail "a refused install replaced the saved copy"
  expect_eq "ctapi32's library after the refusals" "$LIBRARY" "$(ctapi32_library)"
  rm -f "$sys32" "$sys64"

  # The suite's server keeps the registry in memory: user.reg is not what
  # it holds, so the install waits for it, then refuses.
  err=$(bash "$installer" --arch x86 --library "$LIBRARY" --bridge "$bridge32" 2>&1 >/dev/null) && fail "an install beside a running server was accepted"
  [[ $err == "install_wine_bridge: a wine program (or a server started with wineserver -p) still runs in $WINEPREFIX"*"nothing changed" ]] ||
    fail "an install beside a running server: '$err'"
  [[ ! -e $sys32 && ! -e $sys64 ]] || fail "an install beside a running server put a bridge in place"
  if [[ $SLOTBENCH_STARTED_SERVER == 1 ]]; then
    wineserver -k >/dev/null 2>&1
    wineserver -w
  fi
  bash "$installer" --arch x86 --library "$LIBRARY" --bridge "$bridge32" >/dev/null || fail "the x86 install failed"
  bash "$installer" --arch x64 --library "$LIBRARY" --bridge "$bridge64" >/dev/null || fail "the x64 install failed"
  cmp -s "$bridge32" "$sys32" || fail "syswow64/CT_ORB.dll is not the 32-bit bridge"
  cmp -s "$bridge64" "$sys64" || fail "system32/CT_ORB.dll is not the 64-bit bridge"
  wine_env_start_server

  # A folder that is no prefix yet becomes one, settled for the install (no
  # program is started there). --uninstall takes the bridge and the library
  # value out again, but never a CT_ORB.dll that is not the bridge.
  local fresh=$CASE_DIR/new-prefix out
  local new32=$fresh/drive_c/windows/syswow64/CT_ORB.dll new64=$fresh/drive_c/windows/system32/CT_ORB.dll
  out=$(bash "$installer" --arch x86 --prefix "$fresh" --bridge "$bridge32" 2>/dev/null) ||
    fail "the install into a new folder failed"
  cmp -s "$bridge32" "$new32" || fail "the new prefix's syswow64/CT_ORB.dll is not the 32-bit bridge"
  expect_eq "last line" "install_wine_bridge: start it, then choose SERIAL (any COM port): WINEPREFIX=$fresh wine $ROOT/build/windows-x86/SlotBench.exe" "$(tail -n 1 <<<"$out")"
  cp "$BUILD_X64/simulator/CT_ORB.dll" "$new64"
  bash "$installer" --uninstall --prefix "$fresh" >/dev/null 2>&1 || fail "--uninstall failed"
  [[ ! -e $new32 ]] || fail "--uninstall left the bridge"
  cmp -s "$BUILD_X64/simulator/CT_ORB.dll" "$new64" || fail "--uninstall removed a CT_ORB.dll that is not the bridge"
  grep -q '^\[Software\\\\Wine\\\\ctapi32\]' "$fresh/user.reg" && fail "--uninstall left the ctapi32 key the install made"
  [[ -z $(find "$fresh" -maxdepth 1 -name 'wine-bridge*') ]] || fail "--uninstall left its record or lock"

  # What a maker's setup left (the simulators stand in for its DLLs): a file
  # holding all the bridge's texts, a link to a file outside the prefix, a
  # value with an e-acute (wine reg query prints it as byte 0x82), a line
  # feed and a space at the end. Three installs started at once run one
  # after the other: the first saves the maker's DLL, the link and the
  # value, the others find the bridges. --uninstall puts back each byte;
  # the link is never written through.
  local outside=$CASE_DIR/outside/CT_ORB.dll value_before arch bridge pid
  local maker32=$CASE_DIR/maker32.dll
  local -a pids=()
  mkdir -p "${outside%/*}"
  cp "$BUILD_X64/simulator/CT_ORB.dll" "$outside"
  cat "$BUILD_X86/simulator/CT_ORB.dll" "$bridge32" >"$maker32"
  cp "$maker32" "$new32"
  ln -sfn "$outside" "$new64"
  set_library_value "$fresh" '"libmaker-é\nctapi.so.2 "'
  value_before=$(library_line "$fresh")
  expect_eq "the value as wine keeps it" '"library"="libmaker-\xe9\nctapi.so.2 "' "$value_before"
  local n=0
  for arch in x86 x64 x86; do
    [[ $arch == x86 ]] && bridge=$bridge32 || bridge=$bridge64
    n=$((n + 1))
    bash "$installer" --arch $arch --prefix "$fresh" --bridge "$bridge" >"$CASE_DIR/install-$n-$arch.out" 2>&1 &
    pids+=($!)
  done
  n=0
  for pid in "${pids[@]}"; do
    n=$((n + 1))
    wait "$pid" || fail "install $n, started with two others, failed: $(cat "$CASE_DIR"/install-$n-*.out)"
  done
  expect_eq "installs that say which value they saved" 1 \
    "$(cat "$CASE_DIR"/install-*.out | grep -cF "saved HKCU\\Software\\Wine\\ctapi32 library as found (REG_SZ 'libmaker-é\\nctapi.so.2 ')")"
  cmp -s "$bridge32" "$new32" && cmp -s "$bridge64" "$new64" || fail "the bridges are not in place"
  [[ ! -L $new64 && $(readlink "$new64.before-wine-bridge") == "$outside" ]] || fail "the link was not saved as it was"
  cmp -s "$maker32" "$new32.before-wine-bridge" || fail "the maker's DLL was not saved as it was"
  cmp -s "$BUILD_X64/simulator/CT_ORB.dll" "$outside" || fail "the install wrote through the link"
  out=$(bash "$installer" --uninstall --prefix "$fresh" 2>&1) || fail "--uninstall over the maker's files failed: $out"
  echo "$out" >"$CASE_DIR/uninstall.out"
  cmp -s "$maker32" "$new32" || fail "--uninstall did not put back the maker's DLL"
  [[ -L $new64 && $(readlink "$new64") == "$outside" ]] || fail "--uninstall did not put back the link"
  cmp -s "$BUILD_X64/simulator/CT_ORB.dll" "$outside" || fail "the file behind the link changed"
  expect_eq "the library value after --uninstall" "$value_before" "$(library_line "$fresh")"
  [[ $(grep -c '^install_wine_bridge: put back ' <<<"$out") == 3 ]] || fail "--uninstall does not say what it put back: $out"
  [[ -z $(find "$fresh" -name '*before-wine-bridge*' -o -name 'wine-bridge*') ]] || fail "--uninstall left saved copies or records behind"

  # Links planted at every name the installer writes, and a system folder
  # that is a link: refused in one line, nothing changed, nothing written
  # where the link points.
  local sysdir=$fresh/drive_c/windows/syswow64 elsewhere=$CASE_DIR/elsewhere state_before name target
  mkdir -p "$elsewhere"
  echo "not replaced" >"$elsewhere/file"
  local -a planted=(
    "wine-bridge.json|$elsewhere/file|symbolic link|--arch x86 --bridge $bridge32"
    "wine-bridge.json|$elsewhere/none|symbolic link|--arch x86 --bridge $bridge32"
    "wine-bridge.json|$elsewhere/none|symbolic link|--uninstall"
    "wine-bridge.json.partial|$elsewhere/file|is there|--arch x86 --bridge $bridge32"
    "wine-bridge.json.partial|$elsewhere/none|is there|--uninstall"
    "wine-bridge.lock|$elsewhere/none|symbolic link|--arch x86 --bridge $bridge32"
    "wine-bridge.lock|$elsewhere/file|symbolic link|--uninstall"
    "drive_c/windows/syswow64/CT_ORB.dll.wine-bridge-partial|$elsewhere/none|is there|--arch x86 --bridge $bridge32"
    "drive_c/windows/syswow64/CT_ORB.dll.before-wine-bridge|$elsewhere/file|no install here saved it|--arch x86 --bridge $bridge32"
  )
  for refusal in "${planted[@]}" "drive_c/windows/syswow64|$CASE_DIR/moved-syswow64|symbolic link|--arch x86 --bridge $bridge32"; do
    IFS='|' read -r name target message args <<<"$refusal"
    if [[ $name == */syswow64 ]]; then
      mv "$sysdir" "$target"
    fi
    ln -s "$target" "$fresh/$name"
    state_before=$(prefix_state "$fresh" "$elsewhere")
    # shellcheck disable=SC2086  # the arguments are words
    err=$(bash "$installer" $args --prefix "$fresh" 2>&1 >/dev/null)
    rc=$?
    ((rc == 1)) || fail "a link at $name ($args): exit status $rc"
    expect_eq "a link at $name ($args): lines on stderr" 1 "$(grep -c '' <<<"$err")"
    [[ $err == *"$message"* ]] || fail "a link at $name ($args): '$err' does not say '$message'"
    expect_eq "a link at $name ($args): what changed" "$state_before" "$(prefix_state "$fresh" "$elsewhere")"
    rm "$fresh/$name"
    [[ $name == */syswow64 ]] && mv "$target" "$sysdir"
  done

  # A string value that is not whole characters ending in a NUL: wine's
  # reg import would store other bytes, so the install refuses before it
  # changes anything. Planted in user.reg as wine's server writes such
  # values (no server runs in this prefix now: it reads the file at start).
  local data
  for data in 'hex(1):41,00,42,00,43' 'hex(1):41,00,42,00' 'hex(7):41,00,00,00,42,00'; do
    sed -i '/^\[Software\\\\Wine\\\\ctapi32\]/,/^\[/ s/^"library"=.*/"library"='"$data"'/' "$fresh/user.reg"
    expect_eq "the planted value" "\"library\"=$data" "$(library_line "$fresh")"
    state_before=$(prefix_state "$fresh" "$elsewhere")
    err=$(bash "$installer" --arch x86 --prefix "$fresh" --bridge "$bridge32" 2>&1 >/dev/null) && fail "$data was accepted"
    [[ $err == *"wine would not store it back exactly"*"nothing changed" ]] || fail "$data: '$err'"
    expect_eq "$data: what changed" "$state_before" "$(prefix_state "$fresh" "$elsewhere")"
  done
  WINEPREFIX=$fresh wineserver -k >/dev/null 2>&1
}

# A terminal that stops answering: the library's call never returns, and
# the bridge gives up on it. The run ends with the failed step's line and
# the Fail verdict; a second Start Test fails at once without reaching the
# line (the first call still waits there); Exit ends the tool by itself
# with both runs in the log.
give_up_case() {  # scenario, the lines of the run up to the verdict...
  local scenario=$1
  shift
  local -a run=("${HEAD_LINES[@]}" "$@" "$SERIAL_FAIL" "")
  terminal_start "$scenario" || return
  app_start || return
  serial_run COM1 "$SERIAL_FAIL" 25
  local lines started ms
  lines=$(drv count)
  started=$(date +%s%N)
  # The second run's block: the first's, with "CT_INIT fail" for its steps.
  if drv post-click 1005 \; wait-count $((lines * 2 - $# + 1)) 5 >/dev/null; then
    ms=$((($(date +%s%N) - started) / 1000000))
    echo "    second Start Test to verdict: $ms ms"
  else
    fail "no second run within 5 s"
  fi
  app_exit
  grep -qx 'T1 silent' "$CASE_DIR/trace.txt" || fail "the terminal did not keep silent"
  terminal_stop
  [[ -e $CASE_DIR/tmp ]] && fail "tmp was left behind"
  local -a second=("${run[@]}")
  second[7]="CT_INIT fail"
  expect_log "$CASE_DIR/QSX7100-K.log" "${run[@]}" "${second[@]:0:8}" "$SERIAL_FAIL" ""
}

# Not a byte back, not even to the library's opening RESYNCH.
case_silent() {
  give_up_case "line silent CT_init" "CT_INIT fail" || return
  expect_eq "RESYNCH requests" 1 "$(count_blocks rx C0)"
  expect_commands
}

# The RESYNCH and the terminal's reset are answered, then nothing.
case_mute() {
  give_up_case "line silent CT_data:2" "Terminal OK" "RESET card in patient's slot fail" || return
  expect_eq "RESYNCH requests" 1 "$(count_blocks rx C0)"
  expect_commands 20110000 2011010100
}

# A Linux library whose CT_data faults (tests/peer/faulting_ctapi.c): wine
# hands the fault back as the call's result, and the bridge says so on
# stderr and takes no further calls for the terminal. The run fails at the
# terminal's reset; a second Start Test fails at CT_init without reaching the
# library (no second fault); Exit ends the tool by itself with both runs in
# the log.
case_faulting_library() {
  local library=$OUT/libfaulting-${CASE_NAME%%_*}.so bits=64
  [[ $CASE_NAME == x86_* ]] && bits=32
  gcc -m$bits -shared -fPIC -nostdlib -o "$library" "$ROOT/tests/peer/faulting_ctapi.c" ||
    { fail "cannot build $library"; return; }
  wine reg add 'HKCU\Software\Wine\ctapi32' /v library /d "$library" /f >/dev/null 2>&1 ||
    { fail "cannot name $library to ctapi32"; return; }
  faulting_library_runs
  wine reg add 'HKCU\Software\Wine\ctapi32' /v library /d "$LIBRARY" /f >/dev/null 2>&1 ||
    fail "cannot name $LIBRARY to ctapi32 again"
}

faulting_library_runs() {
  local -a run=("${HEAD_LINES[@]}" "RESET Terminal fail" "$SERIAL_FAIL" "")
  local -a second=("${run[@]}")
  second[7]="CT_INIT fail"
  app_start || return
  drv click 1001 \; select-combo COM1 || fail "cannot choose SERIAL on COM1"
  drv post-click 1005 \; wait-text "$SERIAL_FAIL" 10 || fail "no verdict line '$SERIAL_FAIL' within 10 s"
  drv post-click 1005 \; wait-count $(($(drv count) * 2)) 5 >/dev/null || fail "no second run within 5 s"
  app_exit
  expect_eq "exit code" 0 "$APP_RC"
  [[ -e $CASE_DIR/tmp ]] && fail "tmp was left behind"
  expect_log "$CASE_DIR/QSX7100-K.log" "${run[@]}" "${second[@]}"
  # The C runtime's stderr is a text stream: the line ends in CR LF.
  expect_eq "the bridge's lines on stderr" \
    "CT_ORB.dll (wine bridge): CT_data on terminal 1 faulted in the Linux CT-API library (wine's status C0000005); the terminal takes no further calls until the tool is restarted"$'\r' \
    "$(grep -F 'CT_ORB.dll (wine bridge)' "$CASE_DIR/app.out")"
}

# The native library wine's ctapi32 will load, as the prefix names it.
ctapi32_library() {
  wine reg query 'HKCU\Software\Wine\ctapi32' /v library 2>/dev/null | tr -d '\r' |
    awk '$1 == "library" { print $3 }'
}

# A pattern that matches no case, even beside one that does, ends either
# suite with exit status 2 and the names --list prints, before any wine
# prefix is set up.
case_patterns() {
  local suite list out rc
  for suite in tests/peer/run_peer.sh tests/e2e/run_e2e.sh; do
    list=$(bash "$ROOT/$suite" --list)
    out=$(PEER_WINEPREFIX=$CASE_DIR/nowine E2E_WINEPREFIX=$CASE_DIR/nowine \
      bash "$ROOT/$suite" "${list%%$'\n'*}" both_card_typo 2>&1)
    rc=$?
    expect_eq "$suite with an unmatched pattern: exit status" 2 "$rc"
    [[ $(head -n 1 <<<"$out") == *"no case matches 'both_card_typo'"* ]] || fail "$suite: '$out' does not name the pattern"
    expect_eq "$suite: the cases it names" "$list" "$(tail -n +2 <<<"$out" | sed 's/^  //')"
    [[ -n $list && ! -e $CASE_DIR/nowine ]] || fail "$suite: no --list, or a prefix set up"
  done
}

CASES=(patterns installer)
PER_ARCH_CASES=(both_cards cards_arrive wrong_check_byte slot_error_status oversized_answer com3 silent mute
  faulting_library patient_card_never patient_card_late)

# ----------------------------------------------------------------- main ---

# Everything after this runs in a mount namespace of its own, wine and the
# display included, so the bind mount exists for nobody else.
enter_namespace() {  # the suite's arguments
  local why
  if [[ ${PEER_IN_NAMESPACE:-} != 1 ]]; then
    if ! why=$(unshare -m --propagation private true 2>&1); then
      echo "SKIPPED: no private mount namespace (unshare -m: ${why:-refused})"
      exit 0
    fi
    PEER_IN_NAMESPACE=1 exec unshare -m --propagation private bash "$0" "$@"
  fi
  if [[ ! -c $SERIAL_DEVICE ]]; then
    echo "SKIPPED: no $SERIAL_DEVICE to bind the terminal over"
    exit 0
  fi
  if ! why=$(mount --bind /dev/null "$SERIAL_DEVICE" 2>&1) || ! umount "$SERIAL_DEVICE" 2>/dev/null; then
    echo "SKIPPED: bind mounts are refused (${why:-umount failed})"
    exit 0
  fi
}

# Checks the builds and the library, sets up wine and installs both bridges.
setup() {
  local arch build
  for arch in x86 x64; do
    [[ $arch == x86 ]] && build=$BUILD_X86 || build=$BUILD_X64
    [[ -f $build/SlotBench.exe ]] || { echo "$build/SlotBench.exe is not built (bash tools/build.sh)"; return 1; }
    [[ -f $build/bridge/CT_ORB.dll ]] || { echo "$build/bridge/CT_ORB.dll is not built (bash tools/build.sh)"; return 1; }
  done
  [[ -x $TERMINAL ]] || { echo "$TERMINAL is not built (bash tools/build.sh)"; return 1; }
  wine_env_driver || { echo "the driver could not be built"; return 1; }
  DRIVER=$SLOTBENCH_DRIVER
  wine_env_up --private-display || { echo "the wine environment could not be set up"; return 1; }
  # The installer reads the registry from user.reg, which wine writes only
  # when its server ends: the suite's lasting server comes back after it (a
  # server someone else started is theirs: the installer then refuses).
  if [[ $SLOTBENCH_STARTED_SERVER == 1 ]]; then
    wineserver -k >/dev/null 2>&1
    wineserver -w
  fi
  # The suite's own prefix: what an earlier run's install saved there is the
  # simulator wine_env_up puts back every time, perhaps of an older build
  # (whose installer kept its records in three other files).
  rm -f "$WINEPREFIX"/drive_c/windows/{system32,syswow64}/CT_ORB.dll.before-wine-bridge "$WINEPREFIX/wine-bridge.json" \
    "$WINEPREFIX/ctapi32-library.before-wine-bridge" "$WINEPREFIX"/CT_ORB-{x86,x64}.wine-bridge
  # wine_env_up put the simulator in place; the bridges replace it. What
  # went where is worth a line each; the advice after it is for people.
  local out
  for arch in x86 x64; do
    [[ $arch == x86 ]] && build=$BUILD_X86 || build=$BUILD_X64
    out=$(bash "$ROOT/tools/install_wine_bridge.sh" --arch $arch --library "$LIBRARY" --prefix "$WINEPREFIX" \
      --bridge "$build/bridge/CT_ORB.dll") || return 1
    grep -F ' -> ctapi32 -> ' <<<"$out"
  done
  wine_env_start_server
}

# x86_NAME and x64_NAME run case_NAME with that architecture's program.
suite_case_function() {
  case $1 in
    x86_* | x64_*) echo per_arch_case ;;
    *) echo "case_$1" ;;
  esac
}

per_arch_case() {
  case $CASE_NAME in
    x86_*) EXE=$BUILD_X86/SlotBench.exe ;;
    x64_*) EXE=$BUILD_X64/SlotBench.exe ;;
  esac
  "case_${CASE_NAME:4}"
}

main() {
  local begin=$SECONDS arch name
  local -a all=("${CASES[@]}")
  for arch in x86 x64; do
    for name in "${PER_ARCH_CASES[@]}"; do all+=("${arch}_$name"); done
  done
  suite_choose peer "${all[*]}" "$@"
  enter_namespace "$@"

  rm -rf "$CASES_DIR" "$OUT/timings"
  mkdir -p "$CASES_DIR"
  trap 'wine_env_down' EXIT
  if ! setup; then
    echo "0 passed, ${#SUITE_SELECTED[@]} failed"
    return 1
  fi
  echo "peer: display $DISPLAY, prefix $WINEPREFIX, terminal $TERMINAL"

  suite_run_selected

  if [[ -s $OUT/timings ]]; then
    echo "peer: SERIAL run through libctapimkt, Start Test to verdict (ms):"
    sed 's/^/    /' "$OUT/timings"
  fi
  echo "peer: $((SECONDS - begin)) s"
  echo "$SUITE_PASSED passed, $SUITE_FAILED failed"
  ((SUITE_FAILED == 0))
}

main "$@"
