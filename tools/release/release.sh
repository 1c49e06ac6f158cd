#!/usr/bin/env bash
# Builds the release programs and the wine bridges for 32-bit and 64-bit
# Windows, from scratch in build/release-x86 and build/release-x64, and packs
# them with a README and their SHA-256 sums into
# out/release/SlotBench-<version>-windows.zip (the version: res/version.h).
# The same commit gives the same zip, byte for byte, in any folder and at any
# time: the builds are reproducible (cmake/mingw-common.cmake), and the zip's
# entries are in a fixed order with the commit's time as their date.
#
#   bash tools/release.sh [--allow-dirty]
#
# In a git checkout the release is built from the commit (an export of HEAD
# in build/release-source), and a tree with uncommitted changes to tracked
# files is refused: such a build would carry the version of a commit it is
# not. --allow-dirty builds the tree as it is, as version <version>-dirty
# (the programs' version string, the zip's name and its README say so), which
# tools/sign_release.sh never signs. Outside a git checkout (an export, as
# tools/verify_release.sh makes) the tree is built as it is.
#
# A build of a commit at the commit's time is kept in
# build/release-of-commit/<commit>/: tools/sign_release.sh compares the zip
# it is given with it instead of building the commit once more.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
cd "$ROOT"

die() {
  echo "release: $*" >&2
  exit 1
}

allow_dirty=0
case ${1:-} in
  "") ;;
  --allow-dirty) allow_dirty=1 ;;
  *) die "unknown argument '$1' (bash tools/release.sh [--allow-dirty])" ;;
esac

version=$(sed -n 's/^#define SLOTBENCH_VERSION_TEXT "\([0-9.]*\)"$/\1/p' res/version.h)
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] ||
  die "no four-part SLOTBENCH_VERSION_TEXT in res/version.h"
[[ -f bridge/CMakeLists.txt ]] || die "the wine bridge (bridge/) is not in this tree"

# What is built: the commit, or (outside a checkout, or allowed) the tree.
source=$ROOT suffix='' commit=''
# -ef: the same folder, whatever links lead to it.
if top=$(git rev-parse --show-toplevel 2>/dev/null) && [[ $top -ef $ROOT ]]; then
  changed=$(git status --porcelain --untracked-files=no | sed 's/^...//')
  if [[ -z $changed ]]; then
    commit=$(git rev-parse HEAD)
    source=$ROOT/build/release-source
    rm -rf "$source"
    mkdir -p "$source"
    git archive HEAD | tar -xf - -C "$source"
  elif ((allow_dirty)); then
    suffix=-dirty
    echo "release: building the tree with its uncommitted changes as $version$suffix: not a release, never to be signed"
  else
    count=$(wc -l <<<"$changed")
    ((count == 1)) && count="1 tracked file" || count="$count tracked files"
    die "the tree has uncommitted changes ($count: $(head -n 3 <<<"$changed" | paste -sd ' ')): commit them, or --allow-dirty for a $version-dirty build that is never signed"
  fi
fi

# The zip's entries are dated with the commit's time (or SOURCE_DATE_EPOCH).
if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null) ||
    die "not a git checkout: set SOURCE_DATE_EPOCH to the release's time"
fi
export SOURCE_DATE_EPOCH

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
    -DCMAKE_TOOLCHAIN_FILE="$source/$toolchain" -DSLOTBENCH_VERSION_SUFFIX="$suffix" >"$build/configure.log" 2>&1 ||
    { cat "$build/configure.log" >&2; die "configuring $build failed"; }
  cmake --build "$build" -j 2 --target SlotBench ct_orb_bridge >"$build/build.log" 2>&1 ||
    { tail -40 "$build/build.log" >&2; die "building in $build failed"; }
done

# What goes in, checked before packing: the architecture of every file, the
# program's by-ordinal import of the maker's library, and bridges that
# forward to ctapi32 (a simulator build must never ship).
# (grep -q on a pipe would stop objdump early, a failure under pipefail.)
check_pe() {  # file, objdump prefix, pei format
  local file=$1 tool=$2 format=$3
  [[ $("$tool-objdump" -f "$file") == *"file format $format"* ]] || die "$file is not $format"
}
for arch in x86 x64; do
  case $arch in
    x86) tool=i686-w64-mingw32 format=pei-i386 ;;
    x64) tool=x86_64-w64-mingw32 format=pei-x86-64 ;;
  esac
  program=build/release-$arch/SlotBench.exe
  bridge=build/release-$arch/bridge/CT_ORB.dll
  check_pe "$program" "$tool" "$format"
  check_pe "$bridge" "$tool" "$format"
  [[ $("$tool-objdump" -p "$program") == *"DLL Name: CT_ORB.dll"* ]] ||
    die "$program does not import CT_ORB.dll"
  exports=$("$tool-objdump" -p "$bridge")
  for ordinal in 1 2 3; do
    grep -Eq "^[[:space:]]*\[[[:space:]]*[0-9]+\] \+base\[[[:space:]]*$ordinal\].*ctapi32\.CT_(init|data|close)" <<<"$exports" ||
      die "$bridge does not forward ordinal $ordinal to ctapi32: not the wine bridge"
  done
done


# The zip is named for res/version.h's version: every program and bridge in
# it must carry that version, and nothing else.
for file in build/release-{x86,x64}/SlotBench.exe build/release-{x86,x64}/bridge/CT_ORB.dll; do
  found=$(/usr/bin/python3 tools/release/slotbench_release/pe_version.py "$file" 2>/dev/null) || die "$file has no version resource"
  [[ $found == "$version" ]] ||
    die "$file carries version $found, but the zip would be named for version $version"
done

mkdir -p out/release
zip=out/release/SlotBench-$version$suffix-windows.zip
python3 - "$zip" "$version$suffix" "$source" <<'EOF'
import hashlib, os, sys, time

sys.path.insert(0, "tools/release/slotbench_release")
import release_zip

zip_path, version, source = sys.argv[1:]
# Name in the zip -> file here, and whether it is text for Windows.
contents = {
    "x86/SlotBench.exe": ("build/release-x86/SlotBench.exe", False),
    "x64/SlotBench.exe": ("build/release-x64/SlotBench.exe", False),
    "wine-bridge/x86/CT_ORB.dll": ("build/release-x86/bridge/CT_ORB.dll", False),
    "wine-bridge/x64/CT_ORB.dll": ("build/release-x64/bridge/CT_ORB.dll", False),
    "README.txt": (os.path.join(source, "docs/release/README.txt"), True),
}

data = {}
for name, (path, text) in contents.items():
    with open(path, "rb") as f:
        content = f.read()
    if text:
        if b"\r" in content:
            sys.exit(f"release: {path} must have plain LF line ends")
        content = content.replace(b"\n", b"\r\n")
    data[name] = content

# The package README states its version, filled in here from res/version.h.
placeholder = b"@SLOTBENCH_VERSION@"
if placeholder not in data["README.txt"]:
    sys.exit(f"release: {contents['README.txt'][0]} has no {placeholder.decode()} to state the version")
data["README.txt"] = data["README.txt"].replace(placeholder, version.encode())

# Zip dates are local times without a zone, two-second steps, 1980 at the
# earliest: the commit's time in UTC.
epoch = max(int(os.environ["SOURCE_DATE_EPOCH"]), 315532800)
tmp_path = zip_path + ".tmp"
release_zip.write(tmp_path, data, time.gmtime(epoch)[:6])
os.replace(tmp_path, zip_path)
data["SHA256SUMS"] = release_zip.sums(data)

print(f"release: {zip_path}")
for name in sorted(data):
    print(f"  {len(data[name]):>8}  {name}")
with open(zip_path, "rb") as f:
    print(f"release: SHA-256 {hashlib.sha256(f.read()).hexdigest()}")
EOF

# Kept for tools/sign_release.sh: the commit's own build, dated as the
# commit is, is what a signature may vouch for.
if [[ -n $commit && $SOURCE_DATE_EPOCH == "$(git log -1 --format=%ct "$commit")" ]]; then
  rm -rf build/release-of-commit
  mkdir -p "build/release-of-commit/$commit"
  cp "$zip" "build/release-of-commit/$commit/"
fi
