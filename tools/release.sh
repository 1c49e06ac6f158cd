#!/usr/bin/env bash
# The command people type; the tool lives in tools/release/. bash -p: no
# function or BASH_ENV from the caller's environment stands in for a command
# the tool runs (and no external command finds the tool's folder). An
# exported function named exec in the shell the user types is beyond reach.
case $0 in
  */*) here=${0%/*} ;;
  *) here=. ;;
esac
exec /bin/bash -p -- "$here/release/release.sh" "$@"
