#!/usr/bin/env bash
# Cost of a call through the 32-bit library-call thunk, against a direct call
# (bench/wine/call_cost.cpp). Measures and prints; asserts nothing.
#
#   bash bench/wine/call_cost.sh [CALLS-PER-ROUND] [ROUNDS]
set -uo pipefail
# shellcheck source=bench/wine/common.sh
source "$(dirname "$0")/common.sh"

CALL_COST=$BENCH_OUT/call_cost.exe
mkdir -p "$BENCH_OUT"
# Built as the program is: same compiler, -O3 as CMake's Release, static.
i686-w64-mingw32-g++-win32 -std=c++17 -O3 -DNDEBUG -Wall -Wextra -static -I"$BENCH_ROOT" -o "$CALL_COST" \
  "$BENCH_SRC/call_cost.cpp" "$BENCH_ROOT/platform/win32/guarded_call_x86.cpp" ||
  { echo "bench: call_cost could not be built" >&2; exit 1; }
wine_env_make_prefix || exit 1
wine "$CALL_COST" "$@"
