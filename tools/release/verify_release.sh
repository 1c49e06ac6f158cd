#!/usr/bin/env bash
# Checks a signed release zip, or one signed program or wine bridge found on
# a PC, against the reproducible build of its version: all of it is
# tools/release/slotbench_release/verify.py, in one process (which builds
# the tag, when it must, with common.sh's build_release_of_commit).
#
#   bash tools/verify_release.sh [--ca FILE] [--signer SHA256] [--unsigned ZIP] ZIP|EXE|DLL
#
# Exit status 0: all good; 1: a check failed (one line naming the file and
# the reason); 2: a wrong command line.
set -euo pipefail
case $0 in
  */*) here=${0%/*} ;;
  *) here=. ;;
esac
# shellcheck source=tools/release/common.sh
source "$here/common.sh"
exec "${PYTHON[@]}" "$here/slotbench_release/verify.py" "$@"
