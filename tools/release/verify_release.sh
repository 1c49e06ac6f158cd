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
# pefile, asn1crypto and cryptography are Debian's (tools/setup.sh). -E: no
# PYTHONPATH can put another module in place of ours; -s: nor the user's
# site folder; -B: a check from a fresh clone writes nothing into it;
# pycache_prefix: a folder that is not there, so no __pycache__ of the tree
# (which -B still reads) stands in for a module.
exec /usr/bin/python3 -B -E -s -X pycache_prefix=/nonexistent "$(dirname "$0")/slotbench_release/verify.py" "$@"
