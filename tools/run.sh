#!/usr/bin/env bash
# Installs what is missing, builds, and starts the tool against the simulated
# terminal (on this display; with no display, a demonstration run in a
# virtual one that leaves a screenshot and the log behind).
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh
bash tools/build.sh
exec bash tools/demo.sh "$@"
