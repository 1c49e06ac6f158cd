# shellcheck shell=bash
# Wine environment for running the Windows builds on this machine. Source it:
#
#   source tools/wine/wine_env.sh
#   wine_env_up [--private-display]   # display, prefix, server, simulator
#   wine_env_plug [COM5] / wine_env_unplug
#   wine_env_driver                   # SLOTBENCH_DRIVER=slotbench_driver.exe
#   wine_env_down                     # stops only what wine_env_up started
#
# Variables honoured (set them before sourcing or before wine_env_up):
#   WINEPREFIX            default: <repo>/build/wineprefix
#   DISPLAY               used as is unless --private-display is given or
#                         SLOTBENCH_PRIVATE_DISPLAY=1; when unset, a private
#                         Xvfb display is started
#   SLOTBENCH_DESKTOP     virtual desktop size, default 800x600

SLOTBENCH_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
export SLOTBENCH_ROOT
export WINEPREFIX=${WINEPREFIX:-$SLOTBENCH_ROOT/build/wineprefix}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

# What wine_env_up started, so that wine_env_down stops nothing else.
SLOTBENCH_XVFB_PID=${SLOTBENCH_XVFB_PID:-}
SLOTBENCH_STARTED_SERVER=${SLOTBENCH_STARTED_SERVER:-0}

wine_env_log() { echo "wine_env: $*" >&2; }

# The Windows path wine gives a file of this machine (drive Z: is /).
wine_env_winpath() {
  local path
  path=$(realpath -m "$1")
  path=${path//\//\\}
  printf 'Z:%s\n' "$path"
}

wine_env_start_display() {
  local n
  for ((n = 90; n < 200; n++)); do
    [[ -e /tmp/.X$n-lock || -e /tmp/.X11-unix/X$n ]] && continue
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    local pid=$! tries
    for ((tries = 0; tries < 100; tries++)); do
      [[ -S /tmp/.X11-unix/X$n ]] && break
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.05
    done
    if [[ -S /tmp/.X11-unix/X$n ]] && kill -0 "$pid" 2>/dev/null; then
      SLOTBENCH_XVFB_PID=$pid
      export DISPLAY=:$n
      wine_env_log "started Xvfb on $DISPLAY (pid $pid)"
      return 0
    fi
    # Someone else took the display in between: try the next one.
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  wine_env_log "no free display for Xvfb"
  return 1
}

# A prefix made before wine32 was installed cannot run 32-bit programs.
wine_env_check_wine32() {
  if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "ok installed"; then
    wine_env_log "wine32:i386 is not installed (bash tools/setup.sh); the prefix would be unusable for 32-bit programs"
    return 1
  fi
}

wine_env_make_prefix() {
  if [[ ! -f $WINEPREFIX/system.reg ]]; then
    wine_env_check_wine32 || return 1
    mkdir -p "$WINEPREFIX"
    wine_env_log "creating wine prefix $WINEPREFIX (about 10 s)"
    wineboot --init >/dev/null 2>&1 || { wine_env_log "wineboot failed"; return 1; }
    # wineboot's own server lingers a few seconds and is not persistent:
    # let it go so that the one started below keeps the prefix up.
    wineserver -w >/dev/null 2>&1 || true
  fi
}

wine_env_configure_prefix() {
  if [[ ! -f $WINEPREFIX/.slotbench-configured ]]; then
    local reg=$WINEPREFIX/.slotbench-settings.reg
    # No crash dialog waiting for a click; a virtual desktop so that windows
    # get their captions without a window manager.
    cat >"$reg" <<EOF
REGEDIT4

[HKEY_CURRENT_USER\\Software\\Wine\\WineDbg]
"ShowCrashDialog"=dword:00000000

[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]
"Desktop"="Default"

[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]
"Default"="${SLOTBENCH_DESKTOP:-800x600}"
EOF
    wine regedit /S "$(wine_env_winpath "$reg")" >/dev/null 2>&1 || { wine_env_log "regedit failed"; return 1; }
    # The desktop this started did not have the settings yet: let it end, so
    # that the next program starts one that has.
    wineserver -w >/dev/null 2>&1 || true
    touch "$WINEPREFIX/.slotbench-configured"
  fi
}

# Wine's own fonts (Marlett draws the caption buttons; MS Sans Serif and
# Tahoma the dialogs) come from Debian's fonts-wine in /usr/share/wine/fonts,
# but Debian's wine 8 looks for them in "<data dir>\../fonts", a name its
# file system never finds: without them the caption buttons show the letters
# "0 1 r". C:\windows\Fonts is searched first, so the fonts go there.
wine_env_install_fonts() {
  local fonts=/usr/share/wine/fonts font
  local windows_fonts=$WINEPREFIX/drive_c/windows/Fonts
  if [[ ! -f $fonts/marlett.ttf ]]; then
    wine_env_log "no $fonts/marlett.ttf (fonts-wine; bash tools/setup.sh): captions will lack their buttons"
    return 0
  fi
  mkdir -p "$windows_fonts"
  for font in "$fonts"/*; do
    [[ -e $windows_fonts/${font##*/} || -L $windows_fonts/${font##*/} ]] ||
      ln -s "$font" "$windows_fonts/${font##*/}"
  done
}

# One server for every program of the session: program starts drop from
# ~0.45 s to ~0.03 s, and the serial device map (volatile) keeps its values.
# A server that is already running for this prefix is shared, not taken over.
wine_env_start_server() {
  local rc=0
  wineserver -p >/dev/null 2>&1 || rc=$?
  case $rc in
    0) SLOTBENCH_STARTED_SERVER=1 ;;
    2) ;;  # already running
    *) wine_env_log "wineserver -p failed ($rc)"; return 1 ;;
  esac
}

# The simulator goes where the maker's library is installed: 32-bit programs
# see syswow64 as C:\WINDOWS\system32, 64-bit ones see system32.
wine_env_install_simulator() {
  local x86=$SLOTBENCH_ROOT/build/windows-x86/simulator/CT_ORB.dll
  local x64=$SLOTBENCH_ROOT/build/windows-x64/simulator/CT_ORB.dll
  local windows=$WINEPREFIX/drive_c/windows
  if [[ -f $x86 ]]; then
    cp -f "$x86" "$windows/syswow64/CT_ORB.dll"
  else
    wine_env_log "no 32-bit simulator at $x86 (bash tools/build.sh)"
  fi
  if [[ -f $x64 ]]; then
    cp -f "$x64" "$windows/system32/CT_ORB.dll"
  else
    wine_env_log "no 64-bit simulator at $x64 (bash tools/build.sh)"
  fi
}

# The end-to-end driver (tests/e2e/driver.cpp): the CMake-built one when it
# is current, else built into build/e2e/. Sets SLOTBENCH_DRIVER.
wine_env_driver() {
  local src=$SLOTBENCH_ROOT/tests/e2e/driver.cpp
  local built=$SLOTBENCH_ROOT/build/windows-x86/tests/e2e/slotbench_driver.exe
  if [[ -f $built && $built -nt $src ]]; then
    SLOTBENCH_DRIVER=$built
    return 0
  fi
  SLOTBENCH_DRIVER=$SLOTBENCH_ROOT/build/e2e/slotbench_driver.exe
  if [[ ! -f $SLOTBENCH_DRIVER || $src -nt $SLOTBENCH_DRIVER ]]; then
    mkdir -p "$(dirname "$SLOTBENCH_DRIVER")"
    i686-w64-mingw32-g++-win32 -std=c++17 -O2 -Wall -Wextra -municode -static -o "$SLOTBENCH_DRIVER" "$src" \
      -luser32 -ladvapi32 -lgdi32 || { wine_env_log "the driver could not be built"; return 1; }
  fi
}

wine_env_up() {
  local private=${SLOTBENCH_PRIVATE_DISPLAY:-0}
  [[ ${1:-} == --private-display ]] && private=1
  if [[ -z ${DISPLAY:-} || $private == 1 ]]; then
    if [[ -z $SLOTBENCH_XVFB_PID ]] || ! kill -0 "$SLOTBENCH_XVFB_PID" 2>/dev/null; then
      wine_env_start_display || return 1
    fi
  fi
  wine_env_make_prefix || return 1
  wine_env_install_fonts
  # Configured before the lasting server starts: regedit's own server and
  # desktop must be gone before the settings count.
  [[ -f $WINEPREFIX/.slotbench-configured ]] || wineserver -k >/dev/null 2>&1 || true
  wine_env_configure_prefix || return 1
  wine_env_start_server || return 1
  wine_env_install_simulator
}

# Starts a Windows program in FOLDER, where its logs land, with the
# simulator reading FOLDER/scenario.txt (its default terminal when there is
# none) and tracing to FOLDER/trace.txt. Wine execs into the program, so
# WINE_ENV_APP_PID is its unix process.
wine_env_start_in() {  # folder exe output-file
  local folder=$1 exe=$2 output=$3
  (
    cd "$folder" || exit 99
    export SLOTBENCH_SIM_SCENARIO SLOTBENCH_SIM_TRACE
    # A named scenario that cannot be read is an error the trace reports.
    if [[ -f $folder/scenario.txt ]]; then
      SLOTBENCH_SIM_SCENARIO=$(wine_env_winpath "$folder/scenario.txt")
    else
      SLOTBENCH_SIM_SCENARIO=
    fi
    SLOTBENCH_SIM_TRACE=$(wine_env_winpath "$folder/trace.txt")
    exec wine "$exe"
  ) >>"$output" 2>&1 &
  # shellcheck disable=SC2034  # read by the scripts that source this file
  WINE_ENV_APP_PID=$!
}

# The terminal's USB serial port appears / disappears. The server must stay
# up in between, or wine forgets the value.
wine_env_plug() {
  wine reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\USBSER000' /d "${1:-COM5}" /f >/dev/null 2>&1
}

wine_env_unplug() {
  wine reg delete 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\USBSER000' /f >/dev/null 2>&1 || true
}

wine_env_down() {
  if [[ $SLOTBENCH_STARTED_SERVER == 1 ]]; then
    wineserver -k >/dev/null 2>&1 || true
    SLOTBENCH_STARTED_SERVER=0
  fi
  if [[ -n $SLOTBENCH_XVFB_PID ]]; then
    kill "$SLOTBENCH_XVFB_PID" 2>/dev/null || true
    wait "$SLOTBENCH_XVFB_PID" 2>/dev/null || true
    SLOTBENCH_XVFB_PID=
  fi
}
