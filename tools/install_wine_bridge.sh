#!/usr/bin/env bash
# Installs the wine bridge (bridge/: a CT_ORB.dll that forwards to wine's
# ctapi32.dll) into a wine prefix, and names the native Linux CT-API library
# that ctapi32 hands the calls to, so that SlotBench.exe under wine drives a
# real terminal.
#
#   bash tools/install_wine_bridge.sh --arch x86|x64 [--library NAME] [--prefix DIR] [--bridge FILE]
#
#   --arch     the program's architecture: x86 for build/windows-x86/SlotBench.exe
#              (the release build), x64 for build/windows-x64/SlotBench.exe
#   --library  the native library, as ctapi32 will ask the dynamic loader for
#              it: a name (libctapimkt.so.1, the default) or a path
#   --prefix   the wine prefix; default $WINEPREFIX, else wine's own ~/.wine
#   --bridge   the DLL to install; default build/windows-<arch>/bridge/CT_ORB.dll
#
# Refuses, with one line on stderr and a non-zero exit, when the library is
# not there or is not of the program's architecture: ctapi32 runs inside the
# program's process, so a 32-bit program needs the i386 library.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)

die() {
  echo "install_wine_bridge: $*" >&2
  exit 1
}

usage() {
  echo "usage: bash tools/install_wine_bridge.sh --arch x86|x64 [--library NAME] [--prefix DIR] [--bridge FILE]" >&2
  exit 2
}

arch=
library=libctapimkt.so.1
prefix=${WINEPREFIX:-$HOME/.wine}
bridge=
while (($#)); do
  case $1 in
    --arch) arch=${2:-} ;;
    --library) library=${2:-} ;;
    --prefix) prefix=${2:-} ;;
    --bridge) bridge=${2:-} ;;
    -h | --help) usage ;;
    *) usage ;;
  esac
  (($# >= 2)) || usage
  shift 2
done
case $arch in
  x86) elf_class=1 elf_machine=3 machine_name="32-bit i386" multiarch=:i386 ;;
  x64) elf_class=2 elf_machine=62 machine_name="64-bit x86-64" multiarch= ;;
  *) usage ;;
esac
[[ -n $library ]] || usage
bridge=${bridge:-$ROOT/build/windows-$arch/bridge/CT_ORB.dll}
# Debian's serial CT-API library; other libraries get no package hint.
hint=
[[ $library == libctapimkt.so.1 ]] && hint=" (apt-get install libctapimkt1$multiarch)"

# ------------------------------------------------- the native library ---

# "CLASS MACHINE" of an ELF shared object, or nothing for any other file.
elf_kind() {
  local file=$1
  [[ $(od -An -c -N4 "$file" 2>/dev/null | tr -d ' ') == '177ELF' ]] || return 0
  local class data type machine
  class=$(od -An -tu1 -j4 -N1 "$file" | tr -d ' ')
  data=$(od -An -tu1 -j5 -N1 "$file" | tr -d ' ')
  # Both fields little-endian, as every x86 object is.
  [[ $data == 1 ]] || return 0
  type=$(od -An -tu1 -j16 -N1 "$file" | tr -d ' ')
  machine=$(od -An -tu1 -j18 -N2 "$file" | awk '{ print $1 + 256 * $2 }')
  [[ $type == 3 ]] || return 0  # ET_DYN
  echo "$class $machine"
}

describe_kind() {
  case $1 in
    "1 3") echo "32-bit i386" ;;
    "2 62") echo "64-bit x86-64" ;;
    "") echo "not an ELF shared library" ;;
    *) echo "ELF class ${1% *}, machine ${1#* }" ;;
  esac
}

# The files the dynamic loader would try for a bare name, in its order:
# LD_LIBRARY_PATH, its cache, then the trusted directories. The loader skips
# a file of another architecture and goes on, so every candidate is listed.
loader_candidates() {
  local name=$1 dir
  local -a dirs=()
  IFS=: read -r -a dirs <<<"${LD_LIBRARY_PATH:-}"
  for dir in "${dirs[@]}"; do
    [[ -n $dir && -f $dir/$name ]] && echo "$dir/$name"
  done
  ldconfig -p 2>/dev/null | awk -v n="$name" '$1 == n { print $NF }'
  for dir in /lib/i386-linux-gnu /usr/lib/i386-linux-gnu /lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu \
    /lib32 /usr/lib32 /lib64 /usr/lib64 /lib /usr/lib; do
    [[ -f $dir/$name ]] && echo "$dir/$name"
  done
  return 0
}

want="$elf_class $elf_machine"
if [[ $library == */* ]]; then
  # A path is opened as it is, nothing else is tried.
  [[ -f $library ]] || die "native CT-API library $library not found"
  kind=$(elf_kind "$library")
  [[ $kind == "$want" ]] ||
    die "$library is $(describe_kind "$kind"), but the $arch program needs a $machine_name library"
  resolved=$library
else
  resolved=
  others=
  while IFS= read -r candidate; do
    kind=$(elf_kind "$candidate")
    if [[ $kind == "$want" ]]; then
      resolved=$candidate
      break
    fi
    [[ -n $others ]] || others="$candidate ($(describe_kind "$kind"))"
  done < <(loader_candidates "$library")
  if [[ -z $resolved && -n $others ]]; then
    die "$library is only found as $others; the $arch program needs a $machine_name one$hint"
  fi
  [[ -n $resolved ]] ||
    die "native CT-API library $library not found by the dynamic loader$hint"
fi

# --------------------------------------------------- the wine prefix ---

[[ -f $bridge ]] || die "no bridge at $bridge (bash tools/build.sh)"
# The PE machine field: a bridge of the other architecture would keep the
# program from starting.
pe_machine=
if [[ $(head -c 2 "$bridge") == MZ ]]; then
  pe_offset=$(od -An -tu4 -j60 -N4 "$bridge" | tr -d ' ')
  if [[ $(od -An -c -j"$pe_offset" -N4 "$bridge" 2>/dev/null | tr -d ' ' || true) == 'PE\0\0' ]]; then
    pe_machine=$(od -An -tx2 -j$((pe_offset + 4)) -N2 "$bridge" | tr -d ' ')
  fi
fi
case $arch:$pe_machine in
  x86:014c | x64:8664) ;;
  x86:8664) die "$bridge is a 64-bit DLL: the x86 program needs build/windows-x86/bridge/CT_ORB.dll" ;;
  x64:014c) die "$bridge is a 32-bit DLL: the x64 program needs build/windows-x64/bridge/CT_ORB.dll" ;;
  *) die "$bridge is not a Windows DLL" ;;
esac
[[ -f $prefix/system.reg ]] || die "$prefix is not a wine prefix (no system.reg; run wineboot there first)"

# A 32-bit program in a 64-bit prefix sees syswow64 as C:\WINDOWS\system32;
# a 32-bit-only prefix has system32 alone and cannot run the x64 program.
if grep -q '^#arch=win32' "$prefix/system.reg"; then
  [[ $arch == x86 ]] || die "$prefix is a 32-bit prefix: the x64 program cannot run there"
  system_dir=$prefix/drive_c/windows/system32
elif [[ $arch == x86 ]]; then
  system_dir=$prefix/drive_c/windows/syswow64
else
  system_dir=$prefix/drive_c/windows/system32
fi
[[ -d $system_dir ]] || die "$system_dir does not exist"

export WINEPREFIX=$prefix
# shellcheck source=tools/wine_env.sh
source "$ROOT/tools/wine_env.sh"

cp -f "$bridge" "$system_dir/CT_ORB.dll"
# HKCU\Software is shared by 32- and 64-bit programs: one value serves both.
wine reg add 'HKCU\Software\Wine\ctapi32' /v library /t REG_SZ /d "$library" /f >/dev/null 2>&1 ||
  die "could not set HKCU\\Software\\Wine\\ctapi32 library in $prefix"

echo "install_wine_bridge: $system_dir/CT_ORB.dll -> ctapi32 -> $library ($resolved, $machine_name)"
