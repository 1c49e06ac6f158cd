#!/usr/bin/env bash
# Builds everything: the host logic and tests (with sanitizers), and the
# Windows program and simulator for 32-bit (the release build) and 64-bit.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
configure() {  # build-dir, extra cmake arguments...
  local dir=$1; shift
  [[ -f $dir/build.ninja ]] || cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
}

configure build/host -DSLOTBENCH_SANITIZE=ON
configure build/windows-x86 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
configure build/windows-x64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake

for dir in build/host build/windows-x86 build/windows-x64; do
  cmake --build "$dir" -j "$jobs"
done
