#!/usr/bin/env bash
# Sizes of the Windows builds, as built and stripped (a stripped copy is made
# in build/bench-wine/stripped/; the builds themselves are left alone).
# Measures and prints; asserts nothing.
#
#   bash bench/wine/sizes.sh
set -uo pipefail
# shellcheck source=bench/wine/common.sh
source "$(dirname "$0")/common.sh"

bench_build_minimal || echo "sizes: no minimal dialog program" >&2
STRIPPED=$BENCH_OUT/stripped
mkdir -p "$STRIPPED"

show() {  # label, file, tool prefix
  local label=$1 file=$2 prefix=$3
  if [[ ! -f $file ]]; then
    printf '%-28s %12s\n' "$label" "not built"
    return
  fi
  local copy
  copy=$STRIPPED/$(tr ' /()' '____' <<<"$label")
  cp -f "$file" "$copy"
  "$prefix-strip" "$copy"
  printf '%-28s %12d %12d %8.1f KiB\n' "$label" "$(stat -c %s "$file")" "$(stat -c %s "$copy")" \
    "$(awk -v b="$(stat -c %s "$copy")" 'BEGIN { print b / 1024 }')"
}

printf '%-28s %12s %12s %12s\n' "file" "bytes" "stripped" "stripped"
show "SlotBench.exe (x86)" "$EXE32" i686-w64-mingw32
show "SlotBench.exe (x64)" "$EXE64" x86_64-w64-mingw32
show "CT_ORB.dll (x86)" "$SIM32" i686-w64-mingw32
show "CT_ORB.dll (x64)" "$SIM64" x86_64-w64-mingw32
show "minimal_dialog.exe (x86)" "$MINIMAL" i686-w64-mingw32
