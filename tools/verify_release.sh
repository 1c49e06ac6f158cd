#!/usr/bin/env bash
# Checks a signed release zip, or one signed program or wine bridge found on
# a PC: its signature is intact (and, with --ca, trusted by that CA), and
# without the signature it is byte for byte the reproducible build of its
# version. That build is made here from the source (the commit tagged
# v<version>, else the newest commit of that version, with tools/release.sh
# in a temporary copy), unless --unsigned gives the release's unsigned zip.
#
#   bash tools/verify_release.sh [--ca FILE] [--unsigned ZIP] ZIP|EXE|DLL
#
# Exit status 0: all good; 1: a check failed (the message names the file);
# 2: a wrong command line.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
programs=(x86/SlotBench.exe x64/SlotBench.exe wine-bridge/x86/CT_ORB.dll wine-bridge/x64/CT_ORB.dll)

fail() {
  echo "verify: FAILED: $*" >&2
  exit 1
}
usage() {
  echo "verify: $* (usage: bash tools/verify_release.sh [--ca FILE] [--unsigned ZIP] ZIP|EXE|DLL)" >&2
  exit 2
}

ca='' unsigned='' target=''
while (($#)); do
  case $1 in
    --ca | --unsigned)
      (($# >= 2)) || usage "$1 needs a file"
      if [[ $1 == --ca ]]; then ca=$2; else unsigned=$2; fi
      shift 2 ;;
    -*) usage "unknown option $1" ;;
    *)
      [[ -z $target ]] || usage "one file at a time"
      target=$1
      shift ;;
  esac
done
[[ -n $target ]] || usage "which file?"
for file in "$target" "$ca" "$unsigned"; do
  [[ -z $file || ( -f $file && -r $file ) ]] || usage "cannot read $file"
done
name=$(basename "$target")

work=$(mktemp -d /tmp/slotbench-verify.XXXXXX)
trap 'rm -rf "$work"' EXIT

# The signature of one file: intact, by whom, and trusted or not.
check_signature() {  # file, its name in messages
  local file=$1 label=$2 signer
  python3 "$ROOT/tools/lib/authenticode_check.py" "$file" "$work/signer.pem" 2>"$work/check.log" ||
    fail "$label: $(cat "$work/check.log")"
  signer=$(openssl x509 -in "$work/signer.pem" -noout -subject -issuer -nameopt RFC2253 |
    sed 's/^subject=//; s/^issuer=/issued by /' | paste -sd ' ')
  if [[ -n $ca ]]; then
    # A time-stamp comes from a public time-stamp authority (the system's
    # roots) or from the CA's own.
    cat /etc/ssl/certs/ca-certificates.crt "$ca" >"$work/tsa-roots.pem" 2>/dev/null ||
      cp "$ca" "$work/tsa-roots.pem"
    osslsigncode verify -CAfile "$ca" -TSA-CAfile "$work/tsa-roots.pem" -in "$file" >"$work/osslsigncode.log" 2>&1 ||
      fail "$label: the signature is not valid for the CA in $ca ($(grep -m1 -E "Error:|error" "$work/osslsigncode.log" | sed 's/^[[:space:]]*//' || true))"
    if grep -q "Timestamp Server Signature verification: ok" "$work/osslsigncode.log"; then
      signer+=", time-stamped $(sed -n 's/^[[:space:]]*Timestamp time: //p' "$work/osslsigncode.log" | head -n1)"
    elif grep -q "Timestamp time:" "$work/osslsigncode.log"; then
      signer+=", with a time-stamp NOT trusted (valid only while the certificate is)"
    fi
    echo "verify: $label: signature valid, signed by $signer, trusted through $ca"
  else
    echo "verify: $label: signature intact, signed by $signer; its trust NOT checked (no --ca)"
  fi
}

strip_signature() {  # signed file, out, its name in messages
  rm -f "$2"  # osslsigncode writes no file that is there already
  osslsigncode remove-signature -in "$1" -out "$2" >"$work/osslsigncode.log" 2>&1 ||
    fail "$3: its signature cannot be removed"
}

version_of() {  # file, its name in messages
  python3 "$ROOT/tools/lib/pe_version.py" "$1" 2>/dev/null || fail "$2: no version resource"
}

version_at() {  # commit
  git -C "$ROOT" show "$1:res/version.h" 2>/dev/null |
    sed -n 's/^#define SLOTBENCH_VERSION_TEXT "\([0-9.]*\)"$/\1/p'
}

# The commit a version was released from: its tag, or else the newest commit
# whose res/version.h has that version (history is linear here).
release_commit() {  # version
  local version=$1 newer=HEAD commit
  if commit=$(git -C "$ROOT" rev-parse -q --verify "refs/tags/v$version^{commit}"); then
    echo "$commit"
  elif [[ $(version_at HEAD) == "$version" ]]; then
    git -C "$ROOT" rev-parse HEAD
  else
    for commit in $(git -C "$ROOT" rev-list HEAD -- res/version.h); do
      if [[ $(version_at "$commit") == "$version" ]]; then
        git -C "$ROOT" rev-parse "$newer^"
        return
      fi
      newer=$commit
    done
    return 1
  fi
}

# The unsigned release zip of a version, built from its source.
build_release() {  # version
  local version=$1 commit tag how source=$work/source
  git -C "$ROOT" rev-parse --git-dir >/dev/null 2>&1 ||
    fail "$ROOT is not a git checkout: give the release's unsigned zip with --unsigned"
  commit=$(release_commit "$version") ||
    fail "$name: no commit of version $version here (git fetch --tags?), or give --unsigned ZIP"
  if tag=$(git -C "$ROOT" describe --exact-match --tags "$commit" 2>/dev/null); then
    how="tag $tag"
  else
    how="untagged: the newest commit of that version"
  fi
  echo "verify: building release $version from commit $(git -C "$ROOT" rev-parse --short "$commit") ($how)" >&2
  mkdir -p "$source"
  git -C "$ROOT" archive "$commit" | tar -xf - -C "$source"
  [[ -f $source/tools/release.sh ]] || fail "commit $commit has no tools/release.sh to build it with"
  SOURCE_DATE_EPOCH=$(git -C "$ROOT" log -1 --format=%ct "$commit") bash "$source/tools/release.sh" \
    >"$work/release.log" 2>&1 || { tail -20 "$work/release.log" >&2; fail "building release $version failed"; }
  unsigned=$source/out/release/SlotBench-$version-windows.zip
  [[ -f $unsigned ]] || fail "building release $version made no $unsigned"
}

# The unsigned release of a version, unpacked into $work/unsigned.
unpack_unsigned() {  # version
  local version=$1 found
  [[ -n $unsigned ]] || build_release "$version"
  python3 "$ROOT/tools/lib/release_zip.py" unpack "$unsigned" "$work/unsigned" >/dev/null 2>"$work/zip.log" ||
    fail "$(cat "$work/zip.log")"
  found=$(version_of "$work/unsigned/x86/SlotBench.exe" "$unsigned")
  [[ $found == "$version" ]] || fail "$name is of version $version, $unsigned of version $found"
}

case $(head -c 2 "$target") in
  PK)
    python3 "$ROOT/tools/lib/release_zip.py" unpack "$target" "$work/signed" >/dev/null 2>"$work/zip.log" ||
      fail "$(cat "$work/zip.log")"
    version=$(version_of "$work/signed/x86/SlotBench.exe" "$name: x86/SlotBench.exe")
    for program in "${programs[@]}"; do
      check_signature "$work/signed/$program" "$name: $program"
    done
    unpack_unsigned "$version"
    for program in "${programs[@]}"; do
      strip_signature "$work/signed/$program" "$work/stripped" "$name: $program"
      cmp -s "$work/stripped" "$work/unsigned/$program" ||
        fail "$name: $program without its signature is not the build of release $version"
    done
    cmp -s "$work/signed/README.txt" "$work/unsigned/README.txt" ||
      fail "$name: README.txt is not the one of release $version"
    echo "verify: OK: $name is release $version, signed; without their signatures its programs are the build of $version byte for byte"
    ;;
  MZ)
    check_signature "$target" "$name"
    strip_signature "$target" "$work/stripped" "$name"
    version=$(version_of "$work/stripped" "$name")
    unpack_unsigned "$version"
    for program in "${programs[@]}"; do
      if cmp -s "$work/stripped" "$work/unsigned/$program"; then
        echo "verify: OK: $name is $program of release $version, signed; without its signature it is that build byte for byte"
        exit 0
      fi
    done
    fail "$name (version $version) without its signature is none of the files of release $version"
    ;;
  *) fail "$name is neither a zip nor a Windows program" ;;
esac
