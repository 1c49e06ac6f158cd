#!/usr/bin/env bash
# Builds the release programs and the wine bridges for 32-bit and 64-bit
# Windows, from scratch in build/release-x86 and build/release-x64, checks
# them, and packs them with a README and their SHA-256 sums into
# out/release/SlotBench-<version>-windows.zip (the version: res/version.h).
# The same commit gives the same zip, byte for byte, in any folder, at any
# time and from any shell: the builds are reproducible
# (cmake/mingw-common.cmake), they see none of the caller's environment (no
# CFLAGS, CXX, CMAKE_*, MAKEFLAGS, exported function, HOME, ... reaches the
# build), and the zip's entries are in a fixed order with the commit's time
# as their date.
#
#   bash tools/release.sh [--allow-dirty]
#
# In a git checkout the release is built from the commit (its files as
# committed, exported to build/release-source by
# tools/release/slotbench_release/export.py, whatever git's configuration
# or replace refs say) and named by the commit's version, and a tree with
# uncommitted changes to committed files (compared with the commit blob by
# blob, by export.py, not by git status) is refused: such a build would
# carry the version of a commit it is not. --allow-dirty builds the tree as it is, as version <version>-dirty
# (the programs' version string, the About box, the zip's name and its
# README say so), which tools/sign_release.sh never signs. Outside a git
# checkout (no .git in the top folder: an export, as the signing and
# checking tools make) the tree is built as it is; a .git that git cannot
# answer for (another user's checkout, core.bare, ...) is refused.
#
# Before packing, every program and bridge must be what the zip's name and
# README promise (tools/release/slotbench_release/pe_checks.py): its four
# version fields and the About box say res/version.h's version, it imports
# only functions checked to exist on Windows XP (tools/release/xp_imports.txt,
# delay-loaded ones too), the program
# imports CT_ORB.dll by ordinals 1, 2, 3 and keeps its exception guard, the
# bridge exports them with no names and looks up ctapi32's three functions.
# The README's fields come from res/version.h and docs/release/publisher.txt.
#
# Nothing is kept for tools/sign_release.sh: it builds the commit again
# itself and signs only a zip equal to that build, since a zip left in
# out/release or build/ could have been put there by anyone.
set -euo pipefail

# Only what the build needs, nothing the caller's shell happens to hold:
# the script starts itself again with just these variables, unless its
# environment (as the kernel handed it over, /proc/$$/environ: names bash
# does not show, exported functions among them, count too) is exactly that.
# -p: no functions or BASH_ENV taken from the environment, so the builtins
# the check uses are bash's own. HOME: none there is (a ~/.cmake package
# registry, a ~/.gitconfig, ... would reach the build).
RELEASE_HOME=/nonexistent
environment_is_fixed() {
  local entry path='' home='' lang=''
  [[ $- == *p* ]] || return 1
  [[ -r /proc/$$/environ ]] || return 2
  while IFS= read -r -d '' entry; do
    case $entry in
      PATH=*) path=${entry#PATH=} ;;
      HOME=*) home=${entry#HOME=} ;;
      LANG=*) lang=${entry#LANG=} ;;
      SOURCE_DATE_EPOCH=*) [[ ${entry#*=} =~ ^[0-9]+$ ]] || return 1 ;;
      *) return 1 ;;
    esac
  done </proc/$$/environ
  [[ $path == /usr/bin:/bin && $home == "$RELEASE_HOME" && $lang == C.UTF-8 ]]
}
environment_is_fixed || {
  (($? != 2)) || { echo "release: /proc/$$/environ cannot be read: run it where /proc is mounted" >&2; exit 1; }
  [[ ${SOURCE_DATE_EPOCH:-0} =~ ^[0-9]+$ ]] ||
    { echo "release: SOURCE_DATE_EPOCH is not a number of seconds: unset it or give one" >&2; exit 1; }
  exec /usr/bin/env -i PATH=/usr/bin:/bin HOME="$RELEASE_HOME" LANG=C.UTF-8 \
    ${SOURCE_DATE_EPOCH:+SOURCE_DATE_EPOCH="$SOURCE_DATE_EPOCH"} /bin/bash -p "$0" "$@"
}

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
cd "$ROOT"
# shellcheck source=tools/release/common.sh
source tools/release/common.sh

die() {
  echo "release: $*" >&2
  exit 1
}

allow_dirty=0
case ${1:-} in
  "") ;;
  --allow-dirty) allow_dirty=1 ;;
  *) die "unknown argument '$1': bash tools/release.sh [--allow-dirty]" ;;
esac

[[ -f bridge/CMakeLists.txt ]] || die "the wine bridge (bridge/) is not in this tree: build in a full checkout"

# What is built: the commit, or (outside a checkout, or allowed) the tree.
# Paths stay relative to the top folder: they are what messages show.
source=. suffix='' in_checkout=0
# A checkout is a top folder with .git in it; git failing to answer for one
# must not make it "not a checkout", built as it is under the clean name.
# -ef: the same folder, whatever links lead to it.
if [[ -e .git || -L .git ]]; then
  top=$(commit_git toplevel 2>&1) || die "$top"
  [[ $top -ef $ROOT ]] || die "git takes $top, not this folder, as the working tree of its .git: repair .git, or build from a fresh clone"
  in_checkout=1
  changed=$(uncommitted_changes 2>&1) || die "$changed"
  if [[ -z $changed ]]; then
    # The commit's files as committed, and its version (the zip's name)
    # as written in it: the working files may say otherwise.
    commit=$(commit_of HEAD 2>&1) || die "$commit"
    version=$(slotbench_version_at "$commit" 2>/dev/null) ||
      die "no four-part SLOTBENCH_VERSION_TEXT in res/version.h of commit ${commit:0:12}: write it as \"a.b.c.d\", commit, then \`bash tools/release.sh\`"
    source=build/release-source
    rm -rf "$source"
    mkdir -p "$source"
    exported=$(export_commit "$commit" "$source" 2>&1) || die "$exported: nothing built"
  elif ((allow_dirty)); then
    suffix=-dirty
    version=$(slotbench_version) ||
      die "no four-part SLOTBENCH_VERSION_TEXT in res/version.h: write it as \"a.b.c.d\", commit, then \`bash tools/release.sh\`"
    echo "release: building the tree with its uncommitted changes as $version$suffix: not a release, never to be signed"
  else
    count=$(wc -l <<<"$changed")
    ((count == 1)) && count="1 tracked file" || count="$count tracked files"
    die "the tree has uncommitted changes ($count: $(head -n 3 <<<"$changed" | paste -sd ' ')): commit them, then \`bash tools/release.sh\` (or --allow-dirty for a dirty build that is never signed)"
  fi
fi
if [[ $source == . && -z $suffix ]]; then
  version=$(slotbench_version) ||
    die "no four-part SLOTBENCH_VERSION_TEXT in res/version.h: write it as \"a.b.c.d\", commit, then \`bash tools/release.sh\`"
fi

# The zip's entries are dated with the commit's time; outside a checkout,
# with SOURCE_DATE_EPOCH. A commit's build takes no other date from the
# shell: it would give a zip the signing step's rebuild never matches.
if [[ $source != . ]]; then
  SOURCE_DATE_EPOCH=$(commit_git date "$commit" 2>&1) || die "$SOURCE_DATE_EPOCH"
elif [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
  SOURCE_DATE_EPOCH=$(commit_git date HEAD 2>/dev/null) ||
    die "not a git checkout: set SOURCE_DATE_EPOCH to the release's time"
fi
# A zip's entry dates end with 2107 (package.py packs earlier than 1980 as 1980).
((SOURCE_DATE_EPOCH <= 4354819199)) ||
  die "SOURCE_DATE_EPOCH $SOURCE_DATE_EPOCH is after 2107, which a zip cannot date: set it to an earlier time"
export SOURCE_DATE_EPOCH

# A build of the commit that fails for a file the commit lacks: name it,
# rather than the compiler's many lines about what follows from it.
build_failed() {  # build folder, log
  local build=$1 log=$2 file
  if ((in_checkout)) && [[ $source != . ]]; then
    missing=$(untracked_files)
    if [[ -n $missing ]]; then
      while IFS= read -r file; do
        echo "release: not in the commit: $file (git add it?)" >&2
      done <<<"$missing"
      die "building the commit in $build failed ($log), perhaps for want of the files above: git add them, commit, then \`bash tools/release.sh\`"
    fi
  fi
  echo "release: $(grep -m1 -E 'error|Error' "$log" || tail -n 1 "$log")" >&2
  die "building in $build failed (all of it in $log): correct the source, commit, then \`bash tools/release.sh\`"
}

for arch in x86 x64; do
  case $arch in
    x86) toolchain=cmake/mingw-i686.cmake ;;
    x64) toolchain=cmake/mingw-x86_64.cmake ;;
  esac
  build=build/release-$arch
  echo "release: building the $arch program and wine bridge in $build"
  rm -rf "$build"
  mkdir -p "$build"
  cmake -S "$source" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/$source/$toolchain" -DSLOTBENCH_VERSION_SUFFIX="$suffix" >"$build/configure.log" 2>&1 ||
    build_failed "$build" "$build/configure.log"
  cmake --build "$build" -j 2 --target SlotBench ct_orb_bridge >"$build/build.log" 2>&1 ||
    build_failed "$build" "$build/build.log"
done

# Checked, filled in and packed in one step (package.py): what goes in must
# be what the zip's name and README say it is.
mkdir -p out/release
/usr/bin/python3 -B -E -s -X pycache_prefix=/nonexistent tools/release/slotbench_release/package.py "$source" "$suffix" \
  build/release-x86 build/release-x64 "out/release/SlotBench-$version$suffix-windows.zip"
