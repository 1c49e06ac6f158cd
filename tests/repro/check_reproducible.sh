#!/usr/bin/env bash
# Builds the 32-bit program and the wine bridge a second time, from a copy of
# the source tree in another folder (another path length, an odd name), and
# compares them byte for byte with a build already made, by default tools/build.sh's
# build/windows-x86. Any difference means a build path, a time or a temporary
# name found its way into the output; the report names the files and the
# first differing offsets.
#
#   bash tests/repro/check_reproducible.sh [reference-build-dir]
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
reference=$(realpath -m "${1:-$ROOT/build/windows-x86}")
outputs=(SlotBench.exe bridge/CT_ORB.dll)

fail() {
  echo "repro: $*" >&2
  exit 1
}

for output in "${outputs[@]}"; do
  [[ -f $reference/$output ]] || fail "$reference/$output is not built (bash tools/build.sh)"
done

work=$(mktemp -d /tmp/slotbench-repro.XXXXXX)
trap 'rm -rf "$work"' EXIT
# A folder whose name a shell, CMake or the compiler's flags could split or
# take for an option: the maps that hide the folders must hold whole.
source_copy=$work/"-x 'q' (é) y"/a-second-source-folder
build=$work/"-x 'q' (é) y"/build-of-the-second-copy
# Paths of the same length could hide a path that is embedded.
[[ ${#source_copy} != "${#ROOT}" ]] || source_copy+=-x

# The working tree as it is (what the reference was built from), tracked and
# new files alike, without what git ignores.
mkdir -p "$source_copy"
(
  cd "$ROOT"
  git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' file; do [[ -f $file ]] && printf '%s\0' "$file"; done |
    tar --null -T - -cf -
) | tar -xf - -C "$source_copy"

cmake -S "$source_copy" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$source_copy/cmake/mingw-i686.cmake" >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log" >&2; fail "configuring the second copy failed"; }
cmake --build "$build" -j 2 --target SlotBench ct_orb_bridge >"$work/build.log" 2>&1 ||
  { tail -30 "$work/build.log" >&2; fail "building the second copy failed"; }

differ=0
for output in "${outputs[@]}"; do
  if cmp -s "$reference/$output" "$build/$output"; then
    echo "repro: $output identical ($(sha256sum <"$build/$output" | cut -c1-16)...)"
  else
    differ=1
    echo "repro: $output DIFFERS between $reference and a build in $build:"
    echo "  $(cmp -l "$reference/$output" "$build/$output" 2>/dev/null | wc -l) bytes differ;" \
      "sizes $(stat -c %s "$reference/$output") and $(stat -c %s "$build/$output");" \
      "first differing offsets (decimal, 1-based): $(cmp -l "$reference/$output" "$build/$output" 2>/dev/null | head -8 | awk '{ printf "%s ", $1 }')"
  fi
done

if ((differ)); then
  # A reference configured before the toolchain file changed keeps the flags
  # it was first given: CMake fills its cache from the toolchain only once.
  for flags in CMAKE_EXE_LINKER_FLAGS CMAKE_SHARED_LINKER_FLAGS CMAKE_CXX_FLAGS CMAKE_C_FLAGS; do
    ours=$(grep "^$flags:" "$build/CMakeCache.txt" | sed "s|$build|<build>|g; s|$source_copy|<source>|g")
    theirs=$(grep "^$flags:" "$reference/CMakeCache.txt" 2>/dev/null | sed "s|$reference|<build>|g; s|$ROOT|<source>|g") || true
    [[ $ours == "$theirs" ]] ||
      echo "repro: $reference was configured with other flags ($theirs, now $ours): remove it and build again"
  done
  fail "the build is not reproducible"
fi
echo "repro: a second build in another folder gives the same bytes"
