#!/usr/bin/env bash
# Installs the wine bridge (bridge/: a CT_ORB.dll that forwards to wine's
# ctapi32.dll) into a wine prefix, and names the native Linux CT-API library
# that ctapi32 hands the calls to, so that SlotBench.exe under wine drives a
# real terminal; with --uninstall, takes both out again. `--help` describes
# every option (help() below).
#
# Refuses, with one line on stderr and a non-zero exit, when the library is
# not there or is not of the program's architecture: ctapi32 runs inside the
# program's process, so a 32-bit program needs the i386 library.
#
# Destroys nothing it finds: a CT_ORB.dll that is not the bridge it
# installed (known by the SHA-256 it records), a file or a link, is renamed
# to CT_ORB.dll.before-wine-bridge, never written over or through, and the
# "library" value found is kept in the prefix's
# ctapi32-library.before-wine-bridge; --uninstall puts both back as found.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)

die() {
  echo "install_wine_bridge: $*" >&2
  exit 1
}

say() { echo "install_wine_bridge: $*"; }

USAGE="usage: bash tools/install_wine_bridge.sh --arch x86|x64 [--library NAME] [--prefix DIR] [--bridge FILE]
       bash tools/install_wine_bridge.sh --uninstall [--arch x86|x64] [--prefix DIR]"

help() {
  cat <<END
$USAGE

Puts the wine bridge (a CT_ORB.dll whose three functions go to wine's
ctapi32.dll) where the program looks for the maker's library, and sets
HKCU\\Software\\Wine\\ctapi32 "library" to the native Linux CT-API library
ctapi32 hands the calls to. Nothing is changed when the library or the
bridge would keep the program from starting.

Nothing found is lost: a CT_ORB.dll there that is not the bridge (the
maker's, or a symbolic link, which is never written through) is renamed to
CT_ORB.dll.before-wine-bridge beside it, and the "library" value found at
the first install is kept in the prefix's ctapi32-library.before-wine-bridge.
The bridge is a file of exactly the bytes an install put there (their
SHA-256 is kept in the prefix's CT_ORB-<arch>.wine-bridge) or is about to
put there; whatever it says inside, any other file is not. A later install
replaces only the bridge. When a CT_ORB.dll that is not the
bridge is there and another one was saved earlier, or when a
CT_ORB.dll.before-wine-bridge is there that no install saved, it refuses
rather than lose either.

  --arch x86|x64   the program's architecture: x86 for
                   build/windows-x86/SlotBench.exe (the release build; it
                   needs the i386 library, libctapimkt1:i386), x64 for
                   build/windows-x64/SlotBench.exe. Required to install;
                   with --uninstall, only that architecture's bridge is
                   removed (default: both).
  --library NAME   the native library as ctapi32 asks the dynamic loader for
                   it: a bare name (default libctapimkt.so.1, Debian's
                   libctapimkt1) or an absolute path to the file (a
                   relative one would depend on the program's folder).
  --prefix DIR     the wine prefix; default \$WINEPREFIX, else ~/.wine. A
                   folder that does not exist yet, or is empty, becomes a new
                   prefix (wineboot --init, then wineserver -w: about 15 s).
  --bridge FILE    the DLL to install; default
                   build/windows-<arch>/bridge/CT_ORB.dll (in the release
                   zip: wine-bridge/<arch>/CT_ORB.dll).
  --uninstall      removes the bridge from the prefix and puts back, byte
                   for byte, the CT_ORB.dll (or link) the install found there;
                   a CT_ORB.dll that is not the bridge stays where it is.
                   Once no bridge is left, the "library" value is put back
                   as the first install found it, or removed if there was
                   none.
  -h, --help       this text.

Exit status: 0 done, 1 refused (one line on stderr says why), 2 a wrong
argument. In the program, choose SERIAL (any COM port): wine names its
serial ports in a way the USB test never recognises.
END
  exit 0
}

bad_argument() {
  echo "install_wine_bridge: $* (--help describes the options)" >&2
  exit 2
}

arch=
library=
prefix=${WINEPREFIX:-$HOME/.wine}
bridge=
uninstall=0
multiarch=
while (($#)); do
  case $1 in
    -h | --help) help ;;
    --uninstall)
      uninstall=1
      shift
      ;;
    --arch | --library | --prefix | --bridge)
      if (($# < 2)) || [[ -z $2 ]]; then bad_argument "$1 needs a value"; fi
      case $1 in
        --arch) arch=$2 ;;
        --library) library=$2 ;;
        --prefix) prefix=$2 ;;
        --bridge) bridge=$2 ;;
      esac
      shift 2
      ;;
    *) bad_argument "unknown argument '$1'" ;;
  esac
done
# wine takes only an absolute WINEPREFIX: with a relative one every reg
# call would fail.
[[ $prefix == /* ]] || prefix=$PWD/$prefix
case $arch in
  x86) elf_class=1 elf_machine=3 machine_name="32-bit i386" multiarch=:i386 ;;
  x64) elf_class=2 elf_machine=62 machine_name="64-bit x86-64" multiarch= ;;
  "") ((uninstall)) || bad_argument "--arch x86|x64 is missing" ;;
  *) bad_argument "--arch $arch: not x86 or x64" ;;
esac
if ((uninstall)); then
  [[ -z $library ]] || bad_argument "--library has no meaning with --uninstall"
  [[ -z $bridge ]] || bad_argument "--bridge has no meaning with --uninstall"
fi
if [[ $library == */* && $library != /* ]]; then
  bad_argument "--library $library is a relative path: give a bare name (the dynamic loader finds it) or an absolute path"
fi
library=${library:-libctapimkt.so.1}
bridge=${bridge:-$ROOT/build/windows-$arch/bridge/CT_ORB.dll}
# Debian's serial CT-API library; other libraries get no package hint.
hint=
[[ $library == libctapimkt.so.1 ]] && hint=" (apt-get install libctapimkt1$multiarch)"

# --------------------------------------------------- the wine prefix ---

# What an install put in place, kept in the prefix per architecture: the
# SHA-256 of the bridge, then "saved" when it saved a CT_ORB.dll found
# there, else "nothing". Only a file of exactly those bytes is the bridge:
# any text inside one can be in a maker's DLL too.
record_file() { echo "$prefix/CT_ORB-$1.wine-bridge"; }
recorded() {  # arch, line
  [[ -f $(record_file "$1") ]] && sed -n "$2p" "$(record_file "$1")"
  return 0
}
sha256() { sha256sum <"$1" | cut -d' ' -f1; }

is_bridge() {  # file, arch
  [[ -f $1 && ! -L $1 ]] && [[ $(sha256 "$1") == "$(recorded "$2" 1)" ]]
}

# Where a program of this architecture looks for CT_ORB.dll: a 32-bit
# program in a 64-bit prefix sees syswow64 as C:\WINDOWS\system32; a
# 32-bit-only prefix has system32 alone and cannot run the x64 program.
system_dir() {  # arch
  if grep -q '^#arch=win32' "$prefix/system.reg"; then
    [[ $1 == x86 ]] || return 1
    echo "$prefix/drive_c/windows/system32"
  elif [[ $1 == x86 ]]; then
    echo "$prefix/drive_c/windows/syswow64"
  else
    echo "$prefix/drive_c/windows/system32"
  fi
}

CTAPI32_KEY='HKCU\Software\Wine\ctapi32'
# What the install found, for --uninstall to put back.
SAVED=before-wine-bridge
saved_value_file() { echo "$prefix/ctapi32-library.$SAVED"; }

ctapi32_library() {
  wine reg query "$CTAPI32_KEY" /v library 2>/dev/null | tr -d '\r' |
    sed -n 's/^[[:space:]]*library[[:space:]]\{1,\}REG_SZ[[:space:]]\{1,\}//p'
}

# The "library" value as reg shows it: its type, four spaces, its data
# (kept to the last space); nothing when there is none; a non-zero status
# when reg cannot read it. reg fails alike for an absent value and for a
# prefix wine cannot use: only a key every prefix has tells them apart.
ctapi32_library_as_found() {
  local out
  if out=$(wine reg query "$CTAPI32_KEY" /v library 2>/dev/null); then
    tr -d '\r' <<<"$out" | sed -n 's/^    library    \(REG_[A-Z_]*    .*\)$/\1/p'
  else
    wine reg query 'HKCU\Software' >/dev/null 2>&1
  fi
}

wine_up() {
  export WINEPREFIX=$prefix
  # shellcheck source=tools/wine/wine_env.sh
  source "$ROOT/tools/wine/wine_env.sh"
}

put_back_dll() {  # dll, saved copy
  mv -f "$2" "$1"
  if [[ -L $1 ]]; then
    say "put back the link $1 -> $(readlink "$1"), as the install found it"
  else
    say "put back $1 as the install found it, byte for byte"
  fi
}

# The value is shared by the x86 and the x64 program, so it goes only with
# the last bridge; a file that is not the bridge was not put there by us.
uninstall() {
  [[ -f $prefix/system.reg ]] || die "$prefix is not a wine prefix (no system.reg): there is nothing to remove"
  wine_up
  local -a chosen=(x86 x64)
  [[ -n $arch ]] && chosen=("$arch")
  local a dir dll still='' saved_here
  for a in x86 x64; do
    dir=$(system_dir "$a") || continue
    dll=$dir/CT_ORB.dll
    if [[ " ${chosen[*]} " == *" $a "* ]]; then
      # Only what an install saved goes back in place.
      saved_here=0
      [[ $(recorded "$a" 2) == saved ]] && [[ -e $dll.$SAVED || -L $dll.$SAVED ]] && saved_here=1
      if is_bridge "$dll" "$a"; then
        rm -f "$dll"
        if ((saved_here)); then
          put_back_dll "$dll" "$dll.$SAVED"
        else
          say "removed $dll (the $a bridge; there was no CT_ORB.dll before)"
        fi
        rm -f "$(record_file "$a")"
      elif [[ -e $dll || -L $dll ]]; then
        say "left $dll where it is: it is not the wine bridge"
        [[ ! -e $dll.$SAVED && ! -L $dll.$SAVED ]] || say "left $dll.$SAVED beside it: put one of the two in place yourself"
      else
        if ((saved_here)); then
          put_back_dll "$dll" "$dll.$SAVED"
        elif [[ -e $dll.$SAVED || -L $dll.$SAVED ]]; then
          say "left $dll.$SAVED where it is: no install saved it"
        fi
        rm -f "$(record_file "$a")"
      fi
    elif is_bridge "$dll" "$a"; then
      still="$still $a"
    fi
  done
  if [[ -n $still ]]; then
    say "kept $CTAPI32_KEY library: the${still} bridge still needs it"
    return
  fi
  local saved found
  saved=$(saved_value_file)
  if [[ ! -f $saved ]]; then
    found=$(ctapi32_library) || true
    say "kept $CTAPI32_KEY library${found:+ ($found)}: no record of what it was before the install"
    return
  fi
  local type data
  { IFS= read -r type && IFS= read -r data; } <"$saved" || true
  if [[ $type == none ]]; then
    found=$(ctapi32_library_as_found) || die "could not read $CTAPI32_KEY library in $prefix (wine reg failed): it is left as it is"
    if [[ -n $found ]]; then
      wine reg delete "$CTAPI32_KEY" /v library /f >/dev/null 2>&1 ||
        die "could not remove $CTAPI32_KEY library in $prefix"
    fi
    say "removed $CTAPI32_KEY library: there was none before the install"
  else
    wine reg add "$CTAPI32_KEY" /v library /t "$type" /d "$data" /f >/dev/null 2>&1 ||
      die "could not put back $CTAPI32_KEY library in $prefix"
    say "put back $CTAPI32_KEY library as the install found it: $type '$data'"
  fi
  rm -f "$saved"
}

if ((uninstall)); then
  uninstall
  exit 0
fi

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

# ----------------------------------------------------------- the bridge ---

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

# ------------------------------------------------------- the install ---

# Only a folder that holds nothing yet may become a prefix: anything else
# without system.reg is somebody's folder, not a prefix to fill.
if [[ ! -f $prefix/system.reg ]]; then
  if [[ -e $prefix && ! -d $prefix ]] || [[ -d $prefix && -n $(ls -A "$prefix") ]]; then
    die "$prefix is not a wine prefix (no system.reg) and not empty: name a new folder or an existing prefix"
  fi
fi
wine_up
if [[ ! -f $prefix/system.reg ]]; then
  # wineboot writes system.reg only when its server ends, a few seconds
  # after wineboot itself: wine_env_make_prefix waits for that.
  wine_env_make_prefix || die "could not create the wine prefix $prefix"
  [[ -f $prefix/system.reg ]] || die "wineboot left $prefix without system.reg"
fi

if ! system_dir=$(system_dir "$arch"); then
  die "$prefix is a 32-bit prefix: the x64 program cannot run there"
fi
[[ -d $system_dir ]] || die "$system_dir does not exist"

# What is there stays, under a name that says what it is: a file or a link
# that is not the bridge is renamed (a rename never writes through a link),
# unless an earlier install saved another one there already.
dll=$system_dir/CT_ORB.dll
if [[ -e $dll.$SAVED || -L $dll.$SAVED ]] && [[ $(recorded "$arch" 2) != saved ]]; then
  die "$dll.$SAVED is there, but no install here saved it: move it away first"
fi
save_dll=0
if [[ -e $dll || -L $dll ]] && ! is_bridge "$dll" "$arch" &&
  ! { [[ -f $dll && ! -L $dll ]] && cmp -s "$dll" "$bridge"; }; then
  if [[ ! -e $dll.$SAVED && ! -L $dll.$SAVED ]]; then
    save_dll=1
  elif [[ -L $dll || -L $dll.$SAVED ]] || ! cmp -s "$dll" "$dll.$SAVED" 2>/dev/null; then
    die "$dll is not the bridge, and $dll.$SAVED holds another CT_ORB.dll saved at an earlier install: move one of them away first"
  fi
fi
# The value only at the first install: a later one finds its own there.
saved_value=$(saved_value_file)
if [[ ! -f $saved_value ]]; then
  found=$(ctapi32_library_as_found) ||
    die "could not read $CTAPI32_KEY library in $prefix (wine reg failed): nothing changed"
  case $found in
    "") record='none' ;;
    "REG_SZ    "* | "REG_EXPAND_SZ    "*) record="${found%%    *}"$'\n'"${found#*    }" ;;
    *) die "$CTAPI32_KEY library is ${found%%    *}, not a string: it could not be put back as it is; change it first" ;;
  esac
  printf '%s\n' "$record" >"$saved_value.partial"
  mv -f "$saved_value.partial" "$saved_value"
  if [[ -n $found ]]; then
    say "saved $CTAPI32_KEY library as found (${found%%    *} '${found#*    }') in $saved_value: --uninstall puts it back"
  fi
fi
if ((save_dll)); then
  mv "$dll" "$dll.$SAVED"
  if [[ -L $dll.$SAVED ]]; then
    say "saved the link found there, $dll -> $(readlink "$dll.$SAVED"), as $dll.$SAVED (never written through): --uninstall puts it back"
  else
    say "saved the CT_ORB.dll found there (not the bridge) as $dll.$SAVED: --uninstall puts it back"
  fi
fi
# Into place by a rename: a link in the way is replaced, never followed.
cp "$bridge" "$dll.partial.$$"
# Recorded before the bridge is in place: a bridge without its record would
# be somebody's file to the next install and to --uninstall.
bridge_record=$(record_file "$arch")
saved_state=nothing
[[ -e $dll.$SAVED || -L $dll.$SAVED ]] && saved_state=saved
printf '%s\n%s\n' "$(sha256 "$bridge")" "$saved_state" >"$bridge_record.partial"
mv -f "$bridge_record.partial" "$bridge_record"
mv -f "$dll.partial.$$" "$dll"
# HKCU\Software is shared by 32- and 64-bit programs: one value serves both.
wine reg add "$CTAPI32_KEY" /v library /t REG_SZ /d "$library" /f >/dev/null 2>&1 ||
  die "could not set $CTAPI32_KEY library in $prefix"

say "$system_dir/CT_ORB.dll -> ctapi32 -> $library ($resolved, $machine_name)"
if [[ ${library##*/} == libctapimkt.so* ]]; then
  say "every program in this prefix that loads CT_ORB.dll now drives /dev/ttyS0, whatever COM port it names"
  say "a terminal that does not answer there freezes the window until the process is ended: check the cable and the device first"
else
  say "which device the terminal is reached on, and whether a silent one freezes the window, is up to $library"
fi
exe=$ROOT/build/windows-$arch/SlotBench.exe
say "start it, then choose SERIAL (any COM port): WINEPREFIX=$(printf '%q' "$prefix") wine $(printf '%q' "$exe")"
