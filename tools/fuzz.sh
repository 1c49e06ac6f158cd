#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while.
#   bash tools/fuzz.sh [seconds-per-target]     (default 20; a long run: 3600)
# The committed corpus is only read: new inputs go to build/fuzz/corpus.
# A crash leaves its input in build/fuzz/findings; keep it as a regression
# case under fuzz/regressions/<target>/ once fixed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}

if [[ ! -f build/fuzz/build.ninja ]]; then
  CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DSLOTBENCH_FUZZ=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build build/fuzz --target fuzz_targets -j "$(nproc)"

failed=0
for target in reader_exercise usb_discovery environment_report port_name; do
  work=build/fuzz/corpus/$target findings=build/fuzz/findings/$target
  mkdir -p "$work" "$findings"
  inputs=("fuzz/corpus/$target")
  [[ -d fuzz/regressions/$target ]] && inputs+=("fuzz/regressions/$target")
  if build/fuzz/fuzz/${target}_fuzz -max_total_time="$seconds" -print_final_stats=1 \
       -artifact_prefix="$findings/" "$work" "${inputs[@]}" >"build/fuzz/$target.log" 2>&1; then
    runs=$(grep -m1 'stat::number_of_executed_units' "build/fuzz/$target.log" | awk '{print $2}')
    echo "fuzz $target: ${runs:-?} executions in ${seconds}s, no finding"
  else
    echo "fuzz $target: FINDING, see build/fuzz/$target.log and $findings/"
    tail -30 "build/fuzz/$target.log"
    failed=1
  fi
done
exit $failed
