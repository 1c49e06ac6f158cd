# shellcheck shell=bash
# Shared by the wine benchmarks: paths, the private wine prefix and display,
# the builds of the small helper programs, and a median.
BENCH_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BENCH_OUT=$BENCH_ROOT/build/bench-wine
BENCH_SRC=$BENCH_ROOT/bench/wine
# BENCH_EXE32: another 32-bit program to measure (an older build, say).
EXE32=${BENCH_EXE32:-$BENCH_ROOT/build/windows-x86/SlotBench.exe}
# The program's own manifest as the build made it (common controls 6, display
# scale awareness): the minimal dialog carries the same.
MANIFEST32=$BENCH_ROOT/build/windows-x86/platform/win32/res/slotbench.manifest
# shellcheck disable=SC2034  # EXE64 and SIM64 are for sizes.sh
EXE64=$BENCH_ROOT/build/windows-x64/SlotBench.exe
SIM32=$BENCH_ROOT/build/windows-x86/simulator/CT_ORB.dll
# shellcheck disable=SC2034
SIM64=$BENCH_ROOT/build/windows-x64/simulator/CT_ORB.dll
MINIMAL=$BENCH_OUT/minimal_dialog.exe
START_TIMER=$BENCH_OUT/start_timer.exe

# A prefix of the benchmarks' own: the test suites run meanwhile in theirs.
export WINEPREFIX=${BENCH_WINEPREFIX:-$BENCH_OUT/prefix}
# shellcheck source=tools/wine/wine_env.sh
source "$BENCH_ROOT/tools/wine/wine_env.sh"

bench_require_builds() {
  local f
  for f in "$EXE32" "$SIM32" "$MANIFEST32"; do
    [[ -f $f ]] || { echo "bench: $f is not built (bash tools/build.sh)" >&2; return 1; }
  done
}

# The minimal dialog program, built like SlotBench.exe: same compiler and
# optimisation, static, GUI subsystem, 32-bit, and the same manifest, so that
# what wine spends on visual styles and display scaling for any such dialog
# is on both sides of the ratio.
bench_build_minimal() {
  mkdir -p "$BENCH_OUT"
  if [[ ! -f $MINIMAL || $BENCH_SRC/minimal_dialog.cpp -nt $MINIMAL || $BENCH_SRC/minimal_dialog.rc -nt $MINIMAL ||
    $MANIFEST32 -nt $MINIMAL ]]; then
    if ! i686-w64-mingw32-windres -I "$(dirname "$MANIFEST32")" "$BENCH_SRC/minimal_dialog.rc" -O coff \
      -o "$BENCH_OUT/minimal_dialog.res" ||
      ! i686-w64-mingw32-g++-win32 -std=c++17 -O3 -DNDEBUG -Wall -Wextra -static -mwindows \
        -o "$MINIMAL" "$BENCH_SRC/minimal_dialog.cpp" "$BENCH_OUT/minimal_dialog.res"; then
      echo "bench: the minimal dialog program could not be built" >&2
      return 1
    fi
  fi
}

bench_build_start_timer() {
  mkdir -p "$BENCH_OUT"
  if [[ ! -f $START_TIMER || $BENCH_SRC/start_timer.cpp -nt $START_TIMER ]]; then
    i686-w64-mingw32-g++-win32 -std=c++17 -O2 -Wall -Wextra -static -o "$START_TIMER" \
      "$BENCH_SRC/start_timer.cpp" || { echo "bench: start_timer could not be built" >&2; return 1; }
  fi
}

# Median of numbers given one a line on stdin (the mean of the middle two
# when the count is even).
bench_median() {
  sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) { print "n/a"; exit }
    if (NR % 2) printf "%.1f\n", v[(NR + 1) / 2]; else printf "%.1f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

bench_minmax() {
  sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%.1f..%.1f\n", lo, hi }'
}
