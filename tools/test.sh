#!/usr/bin/env bash
# Installs what is missing, checks the docs' words against the code
# (tools/check_words.py), builds everything, and runs every test: the
# reproducible build, a release signed and checked with throwaway
# certificates, the host unit tests (with AddressSanitizer and UBSan), a
# short run of every fuzz target, the end-to-end suite of the real program
# under wine, the peer tests through a CT-API library written by others, and
# the test that kills the program at random moments.
set -euo pipefail
cd "$(dirname "$0")/.."

# Each step says when it starts, so a slow one shows in the output.
step() { echo "== $* (at $SECONDS s)"; }

bash tools/setup.sh
step "the docs: names, quoted texts and the package README against the code"
/usr/bin/python3 -B tests/docs/check_words_test.py
/usr/bin/python3 tools/check_words.py

step "build"
bash tools/build.sh

step "reproducible build: a second copy built elsewhere gives the same bytes"
bash tests/repro/check_reproducible.sh

step "signed release: signed with throwaway certificates, checked against the reproducible build"
bash tests/release/run_signing.sh

step "host unit tests"
ctest --test-dir build/host --output-on-failure -j "$(nproc)"

step "fuzzing, briefly"
bash tools/fuzz.sh 20

step "end-to-end tests under wine"
bash tests/e2e/run_e2e.sh

step "peer tests under wine: Debian's CT-API library against the serial terminal"
bash tests/peer/run_peer.sh

step "kill safety under wine"
bash tests/e2e/kill_safety.sh

echo "== all tests passed in $SECONDS s"
