#!/usr/bin/env bash
# Signing and checking a release with throwaway certificates (made afresh by
# make_pki.sh): the release of the working tree is built in a temporary copy
# with tools/release.sh, signed with a PKCS#12 file, with a time-stamp from a
# local time-stamp authority and with a software token, checked with
# tools/verify_release.sh, tampered with in several ways, and its signed
# 32-bit program run through one end-to-end case under wine.
# Ends with "N passed, M failed"; the exit status is 0 only when nothing
# failed. Prints how long building, signing and checking took.
#
#   bash tests/release/run_signing.sh
set -uo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d /tmp/slotbench-signing.XXXXXX)
tsa_pid=''
trap '[[ -z $tsa_pid ]] || kill "$tsa_pid" 2>/dev/null; rm -rf "$work"' EXIT
passed=0 failed=0

die() {
  echo "signing: $*" >&2
  exit 1
}
check() {  # description, command...
  local description=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
    echo "signing: ok: $description"
  else
    failed=$((failed + 1))
    echo "signing: FAILED: $description"
  fi
}
# Runs a command, keeping its status, output and error output, and how long
# it took.
run() {
  local start=$EPOCHREALTIME
  "$@" >"$work/out" 2>"$work/err"
  status=$?
  elapsed=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.2f", b - a }')
}
has() { grep -qF -- "$2" "$work/$1"; }
lacks() { ! grep -qF -- "$1" "$work/out" "$work/err"; }
one_line_error() { ((status != 0)) && [[ $(wc -l <"$work/err") == 1 ]]; }
same() { cmp -s "$1" "$2"; }

sign() { bash "$ROOT/tools/sign_release.sh" --release-dir "$release" --password-file "$pki/password.txt" "$@"; }
verify() { bash "$ROOT/tools/verify_release.sh" "$@"; }
# Nothing besides the unsigned zip in the release folder, and that unchanged.
untouched() {
  [[ $(ls -A "$release") == "$(basename "$unsigned")" ]] &&
    [[ $(sha256sum <"$unsigned") == "$unsigned_sum" ]]
}

version=$(sed -n 's/^#define SLOTBENCH_VERSION_TEXT "\([0-9.]*\)"$/\1/p' "$ROOT/res/version.h")
[[ -n $version ]] || die "no version in res/version.h"

# The release of the working tree as it is, built as tools/release.sh builds
# it, but in a copy: the developer's out/release stays as it was.
source_copy=$work/source
mkdir -p "$source_copy"
(
  cd "$ROOT" || exit
  git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' file; do [[ -f $file ]] && printf '%s\0' "$file"; done |
    tar --null -T - -cf -
) | tar -xf - -C "$source_copy"
run env SOURCE_DATE_EPOCH="$(git -C "$ROOT" log -1 --format=%ct)" bash "$source_copy/tools/release.sh"
((status == 0)) || { cat "$work/out" "$work/err" >&2; die "the release build failed"; }
echo "signing: the release build took $elapsed s"
release=$work/release
mkdir -p "$release"
unsigned=$release/SlotBench-$version-windows.zip
signed=$release/SlotBench-$version-windows-signed.zip
cp "$source_copy/out/release/$(basename "$unsigned")" "$unsigned"
unsigned_sum=$(sha256sum <"$unsigned")

pki=$work/pki
bash "$ROOT/tests/release/make_pki.sh" "$pki" || die "making the test certificates failed"
password=$(head -n1 "$pki/password.txt")

# ------------------------------------------------- signing that must refuse ---

run sign --pkcs12 "$pki/expired.p12"
check "an expired certificate is refused in one line" one_line_error
check "  naming its expiry" has err "expired"
check "  leaving nothing behind" untouched

echo "not-$password" >"$work/wrong-password.txt"
run bash "$ROOT/tools/sign_release.sh" --release-dir "$release" --pkcs12 "$pki/good.p12" \
  --password-file "$work/wrong-password.txt"
check "a wrong password is refused in one line" one_line_error
check "  saying so" has err "wrong password"
check "  without showing the password" lacks "$password"
check "  leaving nothing behind" untouched

run sign --pkcs12 "$pki/server.p12"
check "a certificate not for code signing is refused in one line" one_line_error
check "  saying so" has err "not for code signing"
check "  leaving nothing behind" untouched

run sign --pkcs12 "$pki/none.p12"
check "a missing certificate file is refused in one line" one_line_error
check "  naming it" has err "none.p12"

mkdir -p "$work/empty"
run bash "$ROOT/tools/sign_release.sh" --release-dir "$work/empty" --pkcs12 "$pki/good.p12" \
  --password-file "$pki/password.txt"
check "a missing release zip is refused in one line" one_line_error
check "  naming the version" has err "SlotBench-$version-windows.zip"

# A zip of this version's name holding a program of another version.
other_version=$work/other-version
mkdir -p "$other_version"
cp "$source_copy/build/release-x86/SlotBench.exe" "$work/renumbered.exe"
python3 - "$work/renumbered.exe" <<'EOF'
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
key = "VS_VERSION_INFO\0".encode("utf-16-le")
fixed = data.index(b"\xbd\x04\xef\xfe", data.index(key))
struct.pack_into("<I", data, fixed + 12, struct.unpack_from("<I", data, fixed + 12)[0] + 7)
open(sys.argv[1], "wb").write(data)
EOF
mkdir -p "$work/renumbered/x86"
cp "$work/renumbered.exe" "$work/renumbered/x86/SlotBench.exe"
for program in x64/SlotBench.exe wine-bridge/x86/CT_ORB.dll wine-bridge/x64/CT_ORB.dll; do
  mkdir -p "$work/renumbered/$(dirname "$program")"
  unzip -p "$unsigned" "$program" >"$work/renumbered/$program"
done
python3 "$ROOT/tools/lib/release_zip.py" pack "$unsigned" "$work/renumbered" "$other_version/$(basename "$unsigned")"
run bash "$ROOT/tools/sign_release.sh" --release-dir "$other_version" --pkcs12 "$pki/good.p12" \
  --password-file "$pki/password.txt"
check "a zip holding a program of another version is refused in one line" one_line_error
check "  naming the program and both versions" has err "x86/SlotBench.exe of version ${version%.*}.$((${version##*.} + 7)), not $version"

# ---------------------------------------------------------- a good signing ---

run sign --pkcs12 "$pki/good.p12"
check "signing with a code-signing certificate succeeds" test "$status" = 0
echo "signing: signing the release took $elapsed s"
check "  without showing the password" lacks "$password"
check "  leaving the unsigned zip as it was" test "$(sha256sum <"$unsigned")" = "$unsigned_sum"
cp "$signed" "$work/first-signing.zip"
run sign --pkcs12 "$pki/good.p12"
check "signing the same release again gives the same bytes" same "$signed" "$work/first-signing.zip"

# The signed zip looked at without the project's tools.
python3 - "$unsigned" "$signed" >"$work/layout" 2>&1 <<'EOF'
import sys, zipfile
unsigned, signed = (zipfile.ZipFile(path) for path in sys.argv[1:])
layout = lambda z: [(i.filename, i.date_time, i.external_attr) for i in z.infolist()]
print("layout", "same" if layout(unsigned) == layout(signed) else "differs")
print("README.txt", "same" if unsigned.read("README.txt") == signed.read("README.txt") else "differs")
EOF
check "the signed zip has the unsigned zip's entries, order and dates" has layout "layout same"
check "  and its README.txt" has layout "README.txt same"
mkdir -p "$work/u" "$work/s"
unzip -q "$unsigned" -d "$work/u" && unzip -q "$signed" -d "$work/s"
check "  and SHA256SUMS of its signed files" \
  bash -c "cd '$work/s' && sha256sum --quiet -c SHA256SUMS"
for program in x86/SlotBench.exe x64/SlotBench.exe wine-bridge/x86/CT_ORB.dll wine-bridge/x64/CT_ORB.dll; do
  rm -f "$work/stripped"
  osslsigncode remove-signature -in "$work/s/$program" -out "$work/stripped" >/dev/null 2>&1
  check "$program is signed and, its signature removed, the unsigned build byte for byte" \
    bash -c "! cmp -s '$work/s/$program' '$work/u/$program' && cmp -s '$work/stripped' '$work/u/$program'"
done

# ------------------------------------------------------------------ checking ---

run verify --ca "$pki/ca.crt" --unsigned "$unsigned" "$signed"
check "the signed zip checks out against its CA and the unsigned zip" test "$status" = 0
check "  saying so" has out "OK: $(basename "$signed") is release $version"
echo "signing: checking the signed zip took $elapsed s"
cp "$work/out" "$work/verify-good.txt"

run verify --unsigned "$unsigned" "$signed"
check "without a CA, the check says that no trust was checked" has out "NOT checked"
check "  and names the signer" has out "CN=Slot Bench test signer"

run verify --ca "$pki/ca.crt" --unsigned "$unsigned" "$work/s/x64/SlotBench.exe"
check "a single signed program checks out" test "$status" = 0
check "  naming its release and entry" has out "x64/SlotBench.exe of release $version"
echo "signing: checking one program took $elapsed s"

# Without an unsigned zip, the check builds the release from the commit
# tagged with its version: here a repository of the working tree as it is.
if ! { git -C "$source_copy" init -q &&
  git -C "$source_copy" add -A &&
  git -C "$source_copy" -c user.name=test -c user.email=test@invalid commit -q -m "release $version" &&
  git -C "$source_copy" tag "v$version"; }; then
  die "making a repository of the working tree failed"
fi
run bash "$source_copy/tools/verify_release.sh" --ca "$pki/ca.crt" "$work/s/wine-bridge/x86/CT_ORB.dll"
check "a single signed bridge checks out against a build of its tagged version" test "$status" = 0
check "  built from that tag" has err "(tag v$version)"
check "  naming its release and entry" has out "wine-bridge/x86/CT_ORB.dll of release $version"
echo "signing: checking one bridge, building its release, took $elapsed s"

# ------------------------------------------------------- checks that fail ---

run verify --ca "$pki/ca.crt" --unsigned "$unsigned" "$work/u/x86/SlotBench.exe"
check "an unsigned program fails the check" test "$status" = 1
check "  saying so" has err "SlotBench.exe: not signed"

python3 - "$work/s/x86/SlotBench.exe" "$work/tampered/SlotBench.exe" <<'EOF'
import os, sys
data = bytearray(open(sys.argv[1], "rb").read())
data[len(data) // 3] ^= 0x01
os.makedirs(os.path.dirname(sys.argv[2]), exist_ok=True)
open(sys.argv[2], "wb").write(data)
EOF
run verify --ca "$pki/ca.crt" --unsigned "$unsigned" "$work/tampered/SlotBench.exe"
check "one changed byte in a signed program fails the check" test "$status" = 1
check "  naming the file" has err "SlotBench.exe"
cp "$work/err" "$work/verify-tampered.txt"

# The same inside a zip, its SHA256SUMS made to fit.
cp -r "$work/s" "$work/zip-tampered"
cp "$work/tampered/SlotBench.exe" "$work/zip-tampered/x86/SlotBench.exe"
python3 "$ROOT/tools/lib/release_zip.py" pack "$signed" "$work/zip-tampered" "$work/tampered.zip"
run verify --ca "$pki/ca.crt" --unsigned "$unsigned" "$work/tampered.zip"
check "a zip with one changed byte in a program fails the check" test "$status" = 1
check "  naming the program" has err "tampered.zip: x86/SlotBench.exe"

# A changed program signed anew with the trusted key: only the comparison
# with the build can tell.
python3 - "$work/u/x86/SlotBench.exe" "$work/resigned-in.exe" <<'EOF'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
data[len(data) // 2] ^= 0x01
open(sys.argv[2], "wb").write(data)
EOF
mkdir -p "$work/resigned"
osslsigncode sign -pkcs12 "$pki/good.p12" -readpass "$pki/password.txt" -h sha256 \
  -in "$work/resigned-in.exe" -out "$work/resigned/SlotBench.exe" >/dev/null 2>&1
run verify --ca "$pki/ca.crt" --unsigned "$unsigned" "$work/resigned/SlotBench.exe"
check "a changed program with a valid trusted signature fails the check" test "$status" = 1
check "  as not being the build" has err "SlotBench.exe (version $version) without its signature is none of the files"

other=$work/other-release
mkdir -p "$other"
cp "$unsigned" "$other/"
run bash "$ROOT/tools/sign_release.sh" --release-dir "$other" --pkcs12 "$pki/other-ca.p12" \
  --password-file "$pki/password.txt"
run verify --ca "$pki/ca.crt" --unsigned "$unsigned" "$other/$(basename "$signed")"
check "a zip signed by a certificate of another CA fails the check" test "$status" = 1
check "  naming the file" has err "$(basename "$signed"): x86/SlotBench.exe"

# ------------------------------------------------------- a time-stamp ---

python3 "$ROOT/tests/release/tsa_server.py" "$pki/tsa.cnf" "$work/tsa.port" &
tsa_pid=$!
for _ in $(seq 50); do [[ -f $work/tsa.port ]] && break; sleep 0.1; done
stamped=$work/stamped-release
mkdir -p "$stamped"
cp "$unsigned" "$stamped/"
run bash "$ROOT/tools/sign_release.sh" --release-dir "$stamped" --pkcs12 "$pki/good.p12" \
  --password-file "$pki/password.txt" --timestamp "http://127.0.0.1:$(cat "$work/tsa.port" 2>/dev/null)"
check "signing with a time-stamp succeeds" test "$status" = 0
echo "signing: signing the release with a time-stamp took $elapsed s"
run verify --ca "$pki/ca.crt" --unsigned "$unsigned" "$stamped/$(basename "$signed")"
check "  and the result checks out" test "$status" = 0
check "  its time-stamp trusted" has out "time-stamped"
kill "$tsa_pid"
tsa_pid=''

# ------------------------------------------------------------ a token ---

token=$work/token
mkdir -p "$token/store"
printf 'directories.tokendir = %s\nobjectstore.backend = file\n' "$token/store" >"$token/softhsm2.conf"
export SOFTHSM2_CONF=$token/softhsm2.conf
module=$(find /usr/lib -name libsofthsm2.so -print -quit)
od -An -N6 -tu2 /dev/urandom | tr -d ' \n' | cut -c1-8 >"$token/pin.txt"
pin=$(cat "$token/pin.txt")
openssl pkcs8 -topk8 -nocrypt -in "$pki/good.key" -out "$token/key.p8"
if [[ -n $module ]] &&
  softhsm2-util --init-token --free --label slotbench --pin "$pin" --so-pin "$pin" >/dev/null &&
  softhsm2-util --import "$token/key.p8" --token slotbench --label signer --id 01 --pin "$pin" >/dev/null; then
  rm -f "$signed"
  token_args=(--pkcs11-module "$module" --key "pkcs11:token=slotbench;object=signer;type=private"
    --cert "$pki/good.crt")
  run bash "$ROOT/tools/sign_release.sh" --release-dir "$release" "${token_args[@]}" --password-file "$token/pin.txt"
  check "signing with a key on a token succeeds" test "$status" = 0
  echo "signing: signing the release with a token took $elapsed s"
  run verify --ca "$pki/ca.crt" --unsigned "$unsigned" "$signed"
  check "  and the result checks out" test "$status" = 0

  echo "9$pin" >"$token/wrong-pin.txt"
  rm -f "$signed"
  run bash "$ROOT/tools/sign_release.sh" --release-dir "$release" "${token_args[@]}" \
    --password-file "$token/wrong-pin.txt"
  check "a wrong PIN is refused in one line" one_line_error
  check "  without showing the PIN" lacks "9$pin"
  check "  leaving nothing behind" untouched
else
  check "a software token can be made (softhsm2, libengine-pkcs11-openssl: bash tools/setup.sh)" false
fi

# ------------------------------------------- the signed program still runs ---

if [[ -f $ROOT/build/windows-x86/simulator/CT_ORB.dll ]]; then
  run env E2E_EXE32="$work/s/x86/SlotBench.exe" bash "$ROOT/tests/e2e/run_e2e.sh" serial_com3
  check "the signed 32-bit program passes an end-to-end case under wine" test "$status" = 0
  echo "signing: the end-to-end case took $elapsed s"
  ((status == 0)) || tail -20 "$work/out" "$work/err"
else
  check "the simulator is built for the end-to-end case (bash tools/build.sh)" false
fi

echo "signing: a good zip checked:"
sed 's/^/  /' "$work/verify-good.txt"
echo "signing: a tampered program checked:"
sed 's/^/  /' "$work/verify-tampered.txt"
echo "$passed passed, $failed failed"
((failed == 0))
