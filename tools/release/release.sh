#!/usr/bin/env bash
# Builds the release programs and wine bridges for 32-bit and 64-bit Windows
# from scratch (build/release-x86, build/release-x64), checks them
# (slotbench_release/pe_checks.py: versions, About box, publisher, XP
# imports, ordinals, exception guard) and packs what release_zip.py lists
# into out/release/SlotBench-<version>-windows.zip.
#
#   bash tools/release.sh [--allow-dirty]
#
# In a git checkout it builds the commit, exported by export.py whatever
# git's configuration says, named and dated by it: the same commit gives the
# same zip, byte for byte, from any folder and shell. Uncommitted changes are
# refused; --allow-dirty builds the tree as <version>-dirty, never signed.
# Outside a checkout the tree is built as it is, dated SOURCE_DATE_EPOCH.
# sign_release.sh keeps nothing of this: it builds the commit again itself.
set -euo pipefail

# None of the caller's shell reaches the build: HOME is none there is (a
# ~/.cmake package registry or ~/.gitconfig would), SOURCE_DATE_EPOCH alone kept.
[[ ${SOURCE_DATE_EPOCH:-0} =~ ^[0-9]+$ ]] ||
  { echo "release: SOURCE_DATE_EPOCH is not a number of seconds: unset it or give one" >&2; exit 1; }
case $0 in
  */*) here=${0%/*} ;;
  *) here=. ;;
esac
# shellcheck source=tools/release/common.sh
source "$here/common.sh"
fixed_environment release "$0" HOME=/nonexistent SOURCE_DATE_EPOCH -- "$@"
ROOT=$(cd -- "$here/../.." && pwd)
cd -- "$ROOT"

die() {
  echo "release: $*" >&2
  exit 1
}

allow_dirty=0
case ${1:-} in
  "") ;;
  --allow-dirty) allow_dirty=1 ;;
  *) die "unknown argument '$(escaped "$1")': bash tools/release.sh [--allow-dirty]" ;;
esac

# CMake and ninja see the tree only through a link of a plain name in a
# folder of our own: a path of the caller's in build.ninja would reach the
# shell ninja runs (a $ expanded there, a \ read by CMake as an escape).
plain=$(mktemp -d /tmp/slotbench-release.XXXXXX 2>/dev/null) ||
  die "cannot make a private folder in /tmp to build through: /tmp must be a folder you may write into"
trap 'rm -rf -- "$plain"' EXIT
ln -s -- "$ROOT" "$plain/tree"

[[ -f bridge/CMakeLists.txt ]] || die "the wine bridge (bridge/) is not in this tree: build in a full checkout"

# What is built: the commit, named and dated by it, or (outside a checkout,
# or allowed) the tree. Paths stay relative to the top folder: messages show them.
source=. suffix=''
# .git that git cannot answer for is refused, never built as "not a checkout";
# -ef: the same folder, whatever links lead to it.
if [[ -e .git || -L .git ]]; then
  top=$(commit_git toplevel 2>&1) || die "$top"
  [[ $top -ef $ROOT ]] || die "git takes $top, not this folder, as the working tree of its .git: repair .git, or build from a fresh clone"
  changed=$(commit_git changes 2>&1) || die "$changed"
  if [[ -n $changed ]] && ((!allow_dirty)); then
    count=$(wc -l <<<"$changed")
    ((count == 1)) && count="1 tracked file" || count="$count tracked files"
    die "the tree has uncommitted changes ($count: $(head -n 3 <<<"$changed" | paste -sd ' ')): commit them, then \`bash tools/release.sh\` (or --allow-dirty for a dirty build that is never signed)"
  fi
  [[ -z $changed ]] || suffix=-dirty
  # A commit's build takes no date from the shell: the signing step's rebuild would never match it.
  if [[ -z $suffix || -z ${SOURCE_DATE_EPOCH:-} ]]; then
    described=$(commit_git release HEAD 2>&1) || die "$described"
    read -r commit version SOURCE_DATE_EPOCH <<<"$described"
  fi
  if [[ -z $suffix ]]; then
    source=build/release-source
    rm -rf "$source"
    mkdir -p "$source"
    exported=$(commit_git tree "$commit" "$source" 2>&1) || die "$exported: nothing built"
  fi
elif [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
  die "not a git checkout: set SOURCE_DATE_EPOCH to the release's time"
fi
if [[ $source == . ]]; then
  version=$(commit_git version 2>&1) || die "$version"
  ((SOURCE_DATE_EPOCH <= 4354819199)) ||
    die "SOURCE_DATE_EPOCH $SOURCE_DATE_EPOCH is after 2107, which a zip cannot date: set it to an earlier time"
fi
[[ -z $suffix ]] ||
  echo "release: building the tree with its uncommitted changes as $version$suffix: not a release, never to be signed"
export SOURCE_DATE_EPOCH

# A build of the commit that fails for a file the commit lacks: name it,
# rather than the compiler's many lines about what follows from it.
build_failed() {  # build folder, log
  local build=$1 log=$2 file
  if [[ $source != . ]]; then
    missing=$(commit_git untracked)
    if [[ -n $missing ]]; then
      while IFS= read -r file; do
        echo "release: $(not_in_commit "$file")" >&2
      done <<<"$missing"
      die "building the commit in $build failed ($log), perhaps for want of the files above: git add them, commit, then \`bash tools/release.sh\`"
    fi
  fi
  echo "release: $(grep -m1 -E 'error|Error' "$log" || tail -n 1 "$log")" >&2
  die "building in $build failed (all of it in $log): correct the source, commit, then \`bash tools/release.sh\`"
}

# The texts are packed only after both builds: one the commit lacks is
# named before them.
if [[ $source != . ]]; then
  lacking=0
  while IFS= read -r file; do
    [[ ! -e $source/$file ]] || continue
    lacking=1
    echo "release: $(not_in_commit "$file")" >&2
  done < <("${PYTHON[@]}" tools/release/slotbench_release/package.py texts)
  ((!lacking)) || die "the commit lacks the text(s) above, which release_zip.py's CONTENTS puts in the zip: git add them, commit, then \`bash tools/release.sh\`"
fi

for arch in x86 x64; do
  case $arch in
    x86) toolchain=cmake/mingw-i686.cmake ;;
    x64) toolchain=cmake/mingw-x86_64.cmake ;;
  esac
  build=build/release-$arch
  echo "release: building the $arch program and wine bridge in $build"
  rm -rf "$build"
  mkdir -p "$build"
  cmake -S "$plain/tree/$source" -B "$plain/tree/$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$plain/tree/$source/$toolchain" -DSLOTBENCH_VERSION_SUFFIX="$suffix" >"$build/configure.log" 2>&1 ||
    build_failed "$build" "$build/configure.log"
  cmake --build "$plain/tree/$build" -j 2 --target SlotBench ct_orb_bridge >"$build/build.log" 2>&1 ||
    build_failed "$build" "$build/build.log"
done

# Checked, filled in and packed in one step (package.py): what goes in must
# be what the zip's name and README say it is.
mkdir -p out/release
"${PYTHON[@]}" tools/release/slotbench_release/package.py "$source" "$suffix" \
  build/release-x86 build/release-x64 "out/release/SlotBench-$version$suffix-windows.zip"
