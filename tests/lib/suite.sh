# shellcheck shell=bash
# What the end-to-end and the peer suites share: checks that collect failures
# inside a case instead of stopping it, and the loop that runs the chosen
# cases, each in a subshell in a folder of its own. Source it.

# Lines the tool logs, as the suites expect them.
SEPARATOR=-------------------------------------------
OS_LINE="Operating System: Windows 7"  # wine's default Windows version, 6.1
PLUG_PROMPT="Plug your USB QSX 7100-K device (time out 30 sec)..."
SERIAL_OK="*** QSX 7100-K SERIAL Test Success ***"
SERIAL_FAIL="*** QSX 7100-K SERIAL Test Fail ***"
USB_OK="*** QSX 7100-K USB Test Success ***"
USB_FAIL="*** QSX 7100-K USB Test Fail ***"
PATIENT_OK="Communication with card Patient's slot OK"
DOCTOR_OK="Communication with Doctor's card slot OK"

DATE_RE='^[0-9]{2}/[0-9]{2}/[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}$'
SUITE_DAY=$(date +%d/%m/%Y)

# Inside a case (a subshell): failures are counted, the case goes on.
CASE_FAILS=0
fail() {
  echo "    FAIL: $*"
  CASE_FAILS=$((CASE_FAILS + 1))
}

expect_eq() {  # what, expected, actual
  [[ $2 == "$3" ]] || fail "$1: expected '$2', got '$3'"
}

# Compares the lines in GOT with an expected sequence. An expected line "~RE"
# is an extended regular expression, "=DATE" the run's date and time line.
compare_got() {  # what, expected lines...
  local what=$1 fails_before=$CASE_FAILS
  shift
  local i=0 n=$# want
  ((${#GOT[@]} == n)) || fail "$what: expected $n lines, got ${#GOT[@]}"
  for want in "$@"; do
    local have=${GOT[i]-<missing>}
    case $want in
      =DATE)
        if [[ ! $have =~ $DATE_RE ]]; then
          fail "$what line $((i + 1)): '$have' is not a date and time"
        elif [[ ${have%% *} != "$SUITE_DAY" && ${have%% *} != "$(date +%d/%m/%Y)" ]]; then
          fail "$what line $((i + 1)): '$have' is not today's date"
        fi
        ;;
      \~*) [[ $have =~ ${want:1} ]] || fail "$what line $((i + 1)): '$have' does not match /${want:1}/" ;;
      *) [[ $have == "$want" ]] || fail "$what line $((i + 1)): expected '$want', got '$have'" ;;
    esac
    i=$((i + 1))
  done
  if ((CASE_FAILS > fails_before)); then printf '      | %s\n' "${GOT[@]}"; fi
}

# A log file's lines against an expected sequence, after checking that every
# line ends in CR LF. An empty last line is kept (the verdict's own line feed).
expect_log() {  # file, expected lines...
  local file=$1
  shift
  local name
  name=$(basename "$file")
  if [[ ! -f $file ]]; then
    fail "$name is missing"
    return
  fi
  local lf crlf
  lf=$(tr -cd '\n' <"$file" | wc -c)
  crlf=$(grep -c $'\r$' "$file")
  ((lf == crlf)) || fail "$name: $((lf - crlf)) of $lf lines do not end in CR LF"
  [[ -z $(tail -c 1 "$file" | tr -d '\n') ]] || fail "$name does not end with a line end"
  GOT=()
  mapfile -t GOT < <(sed 's/\r$//' "$file")
  compare_got "$name" "$@"
}

# ------------------------------------------- the program under test ---
# Started in the case's folder (EXE unless named), worked through the window
# driver DRIVER (tests/e2e/driver.cpp).

drv() { wine "$DRIVER" "$@" 2>>"$CASE_DIR/driver.err"; }

APP_PID=
APP_RC=

app_start() {  # [exe]
  local exe=${1:-$EXE}
  [[ -f $exe ]] || { fail "$exe is not built"; return 1; }
  wine_env_start_in "$CASE_DIR" "$exe" "$CASE_DIR/app.out"
  APP_PID=$WINE_ENV_APP_PID
  if ! drv wait-window 20; then
    fail "the main window did not appear"
    return 1
  fi
}

app_wait_exit() {  # seconds
  local end=$((SECONDS + ${1:-10}))
  while kill -0 "$APP_PID" 2>/dev/null; do
    if ((SECONDS >= end)); then
      fail "the process did not end"
      return 1
    fi
    sleep 0.05
  done
  wait "$APP_PID"
  APP_RC=$?
  APP_PID=
}

# Leaves through Exit and waits for the process to end.
app_exit() {
  if ! drv wait-window 1 >/dev/null 2>&1; then
    app_wait_exit 5
    fail "the program had ended before Exit (exit code ${APP_RC:-?}; app.out has its output)"
    return
  fi
  drv post-click 2 \; wait-gone 10 || fail "Exit did not close the window"
  app_wait_exit 10
  expect_scenario_used
}

# A scenario with a mistake would silently give the default terminal.
expect_scenario_used() {
  if grep -q '^# scenario error' "$CASE_DIR/trace.txt" 2>/dev/null; then
    fail "the simulator rejected the scenario: $(grep '^# scenario error' "$CASE_DIR/trace.txt" | head -n1)"
  fi
}

# Ends the program this case started, if it is still running.
app_kill() {
  if [[ -n $APP_PID ]] && kill -0 "$APP_PID" 2>/dev/null; then
    kill "$APP_PID" 2>/dev/null
    wait "$APP_PID" 2>/dev/null
    local tries
    for ((tries = 0; tries < 40; tries++)); do
      drv wait-gone 0 >/dev/null 2>&1 && break
      sleep 0.05
    done
  fi
  APP_PID=
}

# ------------------------------------------------------------- cases ---

# The cases among the given names that match any pattern (all of them when
# there is no pattern), into SUITE_SELECTED.
suite_select() {  # "names..." patterns...
  local -a names
  read -ra names <<<"$1"
  shift
  SUITE_SELECTED=()
  local name pattern
  for name in "${names[@]}"; do
    if (($# == 0)); then
      SUITE_SELECTED+=("$name")
      continue
    fi
    for pattern in "$@"; do
      [[ $name == *$pattern* ]] && { SUITE_SELECTED+=("$name"); break; }
    done
  done
}

# A suite's command line: [--list] [CASE-PATTERN...]. The cases matching
# any pattern (all without one) go to SUITE_SELECTED; --list prints them
# instead and ends the script. A pattern that matches no case (a misspelt
# option too) ends it with status 2 and the names to choose from, before
# anything is set up: a typo would otherwise run nothing and pass.
suite_choose() {  # suite-name "names..." arguments...
  local suite=$1 names=$2 list=0 arg
  shift 2
  local -a patterns=() unmatched=()
  for arg in "$@"; do
    if [[ $arg == --list ]]; then list=1; else patterns+=("$arg"); fi
  done
  for arg in "${patterns[@]}"; do
    suite_select "$names" "$arg"
    ((${#SUITE_SELECTED[@]})) || unmatched+=("'$arg'")
  done
  if ((${#unmatched[@]})); then
    echo "$suite: no case matches ${unmatched[*]}; the cases are:" >&2
    # shellcheck disable=SC2086  # the names are words
    printf '  %s\n' $names >&2
    exit 2
  fi
  suite_select "$names" "${patterns[@]}"
  if ((list)); then
    printf '%s\n' "${SUITE_SELECTED[@]}"
    exit 0
  fi
}

# Runs every case of SUITE_SELECTED in CASES_DIR/<name>, with CASE_NAME and
# CASE_DIR set, through the function `suite_case_function NAME` prints
# (case_NAME unless the suite defines its own), with case_cleanup on the way
# out. Prints a PASS or FAIL line for each and counts them in SUITE_PASSED and
# SUITE_FAILED.
suite_case_function() { echo "case_$1"; }

suite_run_selected() {
  SUITE_PASSED=0
  SUITE_FAILED=0
  local name
  for name in "${SUITE_SELECTED[@]}"; do
    local case_begin=$SECONDS
    CASE_NAME=$name
    CASE_DIR=$CASES_DIR/$name
    mkdir -p "$CASE_DIR"
    echo "--- $name"
    if (
      trap case_cleanup EXIT
      cd "$CASE_DIR" || exit 1
      "$(suite_case_function "$name")"
      exit $((CASE_FAILS > 0))
    ); then
      SUITE_PASSED=$((SUITE_PASSED + 1))
      echo "PASS $name ($((SECONDS - case_begin)) s)"
    else
      SUITE_FAILED=$((SUITE_FAILED + 1))
      echo "FAIL $name ($((SECONDS - case_begin)) s; files in $CASE_DIR)"
      [[ -s $CASE_DIR/driver.err ]] && sort -u "$CASE_DIR/driver.err" | head -n 5 | sed 's/^/    /'
    fi
  done
}
