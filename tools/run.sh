#!/usr/bin/env bash
# Installs what is missing, builds, and starts the tool against the simulated
# terminal (on this display; with no display, a demonstration run in a
# virtual one that leaves a screenshot and the log behind).
# The set-up and build output goes to out/run.log: it matters only when a
# step fails, and then its end is shown.
set -euo pipefail
cd "$(dirname "$0")/.."

mkdir -p out
LOG=$PWD/out/run.log
: >"$LOG"

step() {  # what, command...
  local what=$1
  shift
  echo "run: $what (output in $LOG)"
  if ! "$@" >>"$LOG" 2>&1; then
    echo "run: $what failed; the end of $LOG:" >&2
    tail -n 40 "$LOG" | sed 's/^/    /' >&2
    exit 1
  fi
}

step "installing what is missing" bash tools/setup.sh
step "building (the first time, about 3 minutes)" bash tools/build.sh
exec bash tools/demo.sh "$@"
