#!/usr/bin/env bash
# Checks a signed release zip, or one signed program or wine bridge found on
# a PC: it is exactly the reproducible build of its version plus one
# Authenticode signature, every byte accounted for (tools/release/slotbench_release/
# authenticode_check.py), made by the signer it shows (subject, issuer,
# SHA-256 fingerprint; --signer pins it) and, with --ca, chaining to that CA.
# A zip must be the one the release writer (tools/release/slotbench_release/release_zip.py) makes of
# its own entries, byte for byte. The build is made here from the source (the
# commit tagged v<version>, else the newest commit of that version, with
# tools/release.sh in a temporary copy), unless --unsigned gives the
# release's unsigned zip.
#
#   bash tools/verify_release.sh [--ca FILE] [--signer SHA256] [--unsigned ZIP] ZIP|EXE|DLL
#
# Exit status 0: all good; 1: a check failed (one line naming the file and
# the reason); 2: a wrong command line.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
# pefile, asn1crypto and cryptography are Debian's (tools/setup.sh).
PYTHON=/usr/bin/python3
programs=(x86/SlotBench.exe x64/SlotBench.exe wine-bridge/x86/CT_ORB.dll wine-bridge/x64/CT_ORB.dll)

fail() {
  echo "verify: FAILED: $*" >&2
  exit 1
}
usage() {
  echo "verify: $* (usage: bash tools/verify_release.sh [--ca FILE] [--signer SHA256] [--unsigned ZIP] ZIP|EXE|DLL)" >&2
  exit 2
}

ca='' pin='' unsigned='' target=''
while (($#)); do
  case $1 in
    --ca | --unsigned | --signer)
      (($# >= 2)) && [[ -n $2 ]] || usage "$1 needs a value"
      case $1 in
        --ca) ca=$2 ;;
        --unsigned) unsigned=$2 ;;
        --signer) pin=$(tr -d ': ' <<<"${2,,}") ;;
      esac
      shift 2 ;;
    -*) usage "unknown option $1" ;;
    *)
      [[ -z $target ]] || usage "one file at a time"
      target=$1
      shift ;;
  esac
done
[[ -n $target ]] || usage "which file?"
[[ -z $pin || $pin =~ ^[0-9a-f]{64}$ ]] || usage "--signer takes a certificate's SHA-256 fingerprint (64 hex digits)"
for file in "$target" "$ca" "$unsigned"; do
  [[ -z $file || ( -f $file && -r $file ) ]] || usage "cannot read $file"
done
name=$(basename "$target")

work=$(mktemp -d /tmp/slotbench-verify.XXXXXX)
trap 'rm -rf "$work"' EXIT

# The signature of one file: exactly one, intact, by whom, trusted or not.
# Writes the file as it was before signing to UNSIGNED_OUT and the signer's
# fingerprint to $signer_fingerprint.
check_signature() {  # file, UNSIGNED_OUT, its name in messages
  local file=$1 out=$2 label=$3 subject issuer stamp signer when='' at=()
  "$PYTHON" "$ROOT/tools/release/slotbench_release/authenticode_check.py" "$file" "$out" "$work/chain.pem" \
    >"$work/signer.txt" 2>"$work/check.log" || fail "$label: $(head -n1 "$work/check.log")"
  IFS=$'\t' read -r subject issuer signer_fingerprint stamp <"$work/signer.txt"
  [[ $stamp == "time-stamp: yes" ]] || stamp=''
  signer="$subject (issued by $issuer; SHA-256 $signer_fingerprint)"
  [[ -z $pin || $signer_fingerprint == "$pin" ]] ||
    fail "$label: signed by $signer, not by the signer given with --signer ($pin)"
  if [[ -z $ca ]]; then
    echo "verify: $label: signature intact, signed by $signer; its trust${stamp:+ and time-stamp} NOT checked (no --ca)"
    return
  fi
  # The chain of the very certificate whose key made the signature, first
  # whatever the time, then at the time of signing.
  openssl x509 -in "$work/chain.pem" -out "$work/signer.pem"
  chains() { openssl verify "$@" -CAfile "$ca" -untrusted "$work/chain.pem" "$work/signer.pem" >/dev/null 2>&1; }
  chains -no_check_time || fail "$label: the signer $signer does not chain to the CA in $ca"
  # A time-stamp comes from a public time-stamp authority (the system's
  # roots) or from the CA's own; osslsigncode checks it, and checks the
  # signature once more. Its exit status alone proves nothing (it is 0 for a
  # failed nested signature), so its report is read too.
  cat /etc/ssl/certs/ca-certificates.crt "$ca" >"$work/tsa-roots.pem" 2>/dev/null ||
    cp "$ca" "$work/tsa-roots.pem"
  local trusted=1
  osslsigncode verify -CAfile "$ca" -TSA-CAfile "$work/tsa-roots.pem" -in "$file" >"$work/osslsigncode.log" 2>&1 || trusted=0
  if [[ -n $stamp ]]; then
    grep -q "Timestamp Server Signature verification: ok" "$work/osslsigncode.log" ||
      fail "$label: its time-stamp does not verify (signed by $signer)"
    when=$(sed -n 's/^[[:space:]]*Timestamp time: //p' "$work/osslsigncode.log" | head -n1)
    at=(-attime "$(date -d "$when" +%s)")
  fi
  chains "${at[@]}" ||
    fail "$label: the certificate of the signer $signer is not valid ${when:+at its time-stamp }${when:-now}"
  if ((!trusted)) || grep -qi "verification: failed" "$work/osslsigncode.log"; then
    fail "$label: osslsigncode does not accept the signature ($(grep -m1 -i -E "error|failed" "$work/osslsigncode.log" | sed 's/^[[:space:]]*//' || true))"
  fi
  echo "verify: $label: signature valid, signed by $signer, trusted through $ca${when:+, time-stamped $when}"
}

version_of() {  # file, its name in messages
  "$PYTHON" "$ROOT/tools/release/slotbench_release/pe_version.py" "$1" 2>/dev/null || fail "$2: no version resource"
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
  unsigned_date=$("$PYTHON" "$ROOT/tools/release/slotbench_release/release_zip.py" unpack "$unsigned" "$work/unsigned" 2>"$work/zip.log") ||
    fail "$(head -n1 "$work/zip.log")"
  found=$(version_of "$work/unsigned/x86/SlotBench.exe" "$unsigned")
  [[ $found == "$version" ]] || fail "$name is of version $version, $unsigned of version $found"
}

case $(head -c 2 "$target") in
  PK)
    signed_date=$("$PYTHON" "$ROOT/tools/release/slotbench_release/release_zip.py" unpack "$target" "$work/signed" 2>"$work/zip.log") ||
      fail "$(head -n1 "$work/zip.log")"
    version=$(version_of "$work/signed/x86/SlotBench.exe" "$name: x86/SlotBench.exe")
    first_signer=''
    for program in "${programs[@]}"; do
      mkdir -p "$work/stripped/$(dirname "$program")"
      check_signature "$work/signed/$program" "$work/stripped/$program" "$name: $program"
      [[ ${first_signer:=$signer_fingerprint} == "$signer_fingerprint" ]] ||
        fail "$name: $program is signed by another certificate than ${programs[0]} (SHA-256 $signer_fingerprint, not $first_signer)"
    done
    unpack_unsigned "$version"
    for program in "${programs[@]}"; do
      cmp -s "$work/stripped/$program" "$work/unsigned/$program" ||
        fail "$name: $program without its signature is not the build of release $version"
    done
    cmp -s "$work/signed/README.txt" "$work/unsigned/README.txt" ||
      fail "$name: README.txt is not the one of release $version"
    [[ $signed_date == "$unsigned_date" ]] ||
      fail "$name: its entries are dated $(date -u -d "@$signed_date" "+%F %T"), not $(date -u -d "@$unsigned_date" "+%F %T") as release $version's"
    echo "verify: OK: $name is release $version, signed by SHA-256 $first_signer; without their signatures its programs are the build of $version byte for byte"
    ;;
  MZ)
    check_signature "$target" "$work/stripped.bin" "$name"
    version=$(version_of "$work/stripped.bin" "$name")
    unpack_unsigned "$version"
    for program in "${programs[@]}"; do
      if cmp -s "$work/stripped.bin" "$work/unsigned/$program"; then
        echo "verify: OK: $name is $program of release $version, signed by SHA-256 $signer_fingerprint; without its signature it is that build byte for byte"
        exit 0
      fi
    done
    fail "$name (version $version) without its signature is none of the files of release $version"
    ;;
  *) fail "$name is neither a zip nor a Windows program" ;;
esac
