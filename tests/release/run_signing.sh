#!/usr/bin/env bash
# Signing and checking a release with throwaway certificates (make_pki.sh):
# the working tree, committed and tagged in a temporary copy, is built with
# tools/release.sh there, signed, checked with tools/verify_release.sh,
# tampered with, and its signed 32-bit program run through one end-to-end
# case under wine. Ends with "N passed, M failed"; the exit status is 0 only
# when nothing failed.
#
#   bash tests/release/run_signing.sh
set -uo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d /tmp/slotbench-signing.XXXXXX)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0

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
run() {  # command... : status, output (out) and error output (err) kept
  "$@" >"$work/out" 2>"$work/err"
  status=$?
}
has() { grep -qF -- "$2" "$work/$1"; }
refused_in_one_line() { ((status == 1)) && [[ $(wc -l <"$work/err") == 1 ]]; }
# Nothing besides the unchanged unsigned zip in the release folder.
untouched() { [[ $(ls -A "$release") == "$(basename "$unsigned")" ]] && cmp -s "$unsigned" "$work/unsigned.zip"; }
sign() {  # certificate, password file
  bash "$source_copy/tools/sign_release.sh" --release-dir "$release" --pkcs12 "$pki/$1" --password-file "$2"
}
verify() { bash "$ROOT/tools/verify_release.sh" --unsigned "$unsigned" "$@"; }

version=$(sed -n 's/^#define SLOTBENCH_VERSION_TEXT "\([0-9.]*\)"$/\1/p' "$ROOT/res/version.h")
# The working tree as it is, in a copy: the developer's out/release stays.
source_copy=$work/source
mkdir -p "$source_copy"
(cd "$ROOT" && git ls-files -z --cached --others --exclude-standard |
  tar --null --ignore-failed-read -T - -cf - 2>/dev/null) | tar -xf - -C "$source_copy"
# A commit of its own, tagged: release.sh builds a commit, sign_release.sh
# signs only that build, verify_release.sh builds the tag.
git -C "$source_copy" init -q && git -C "$source_copy" add -A &&
  git -C "$source_copy" -c user.name=t -c user.email=t@invalid commit -qm "$version" &&
  git -C "$source_copy" tag "v$version"
if ! bash "$source_copy/tools/release.sh" >"$work/release.log" 2>&1; then
  tail -20 "$work/release.log"
  echo "signing: the release build failed"
  exit 1
fi
release=$work/release
unsigned=$release/SlotBench-$version-windows.zip
signed=$release/SlotBench-$version-windows-signed.zip
mkdir -p "$release"
cp "$source_copy/out/release/$(basename "$unsigned")" "$unsigned"
cp "$unsigned" "$work/unsigned.zip"
pki=$work/pki
bash "$ROOT/tools/release/make_pki.sh" "$pki" || { echo "signing: no test certificates"; exit 1; }

run sign expired.p12 "$pki/password.txt"
check "an expired certificate is refused in one line, leaving nothing behind" \
  eval 'refused_in_one_line && has err expired && untouched'
echo "not-$(cat "$pki/password.txt")" >"$work/wrong.txt"
run sign good.p12 "$work/wrong.txt"
check "a wrong password is refused in one line, not shown, leaving nothing behind" \
  eval 'refused_in_one_line && has err "wrong password" && ! grep -qF -f "$work/wrong.txt" "$work/out" "$work/err" && untouched'

# ---- a signature vouches for the reproducible build of the commit only ----
# Zips that pass every check of their own (their SHA256SUMS, the programs'
# versions) but are not the build: a patched program, x86 and x64 swapped.
relabel() {  # python expression over data (name -> bytes)
  python3 - "$work/unsigned.zip" "$unsigned" "$1" <<'EOF'
import sys, zipfile
sys.path.insert(0, "tools/release/slotbench_release")
import release_zip
source, target, change = sys.argv[1:]
with zipfile.ZipFile(source) as z:
    data = {i.filename: z.read(i) for i in z.infolist()}
    date = z.infolist()[0].date_time
del data["SHA256SUMS"]
exec(change)
release_zip.write(target, data, date)
EOF
}
not_the_build=(
  "a patched program|d = bytearray(data['x86/SlotBench.exe']); d[len(d) // 3] ^= 1; data['x86/SlotBench.exe'] = bytes(d)"
  "x86 and x64 swapped|data['x86/SlotBench.exe'], data['x64/SlotBench.exe'] = data['x64/SlotBench.exe'], data['x86/SlotBench.exe']"
)
for case in "${not_the_build[@]}"; do
  (cd "$source_copy" && relabel "${case#*|}")
  run sign good.p12 "$pki/password.txt"
  check "${case%%|*}: refused in one line as not the build, nothing signed" \
    eval 'refused_in_one_line && has err "is not the reproducible build of commit" && [[ ! -e $signed ]]'
done
cp "$work/unsigned.zip" "$unsigned"
echo "// not committed" >>"$source_copy/res/version.h"
run sign good.p12 "$pki/password.txt"
check "a tree with uncommitted changes: signing refused in one line" \
  eval 'refused_in_one_line && has err "uncommitted changes (res/version.h)" && untouched'
run bash "$source_copy/tools/release.sh"
check "a tree with uncommitted changes: release.sh refuses in one line, without --allow-dirty" \
  eval 'refused_in_one_line && has err "--allow-dirty"'
git -C "$source_copy" checkout -q res/version.h
echo 1234-5678 >"$work/pin.txt"
run bash "$source_copy/tools/sign_release.sh" --release-dir "$release" --pkcs11-module "$work/pin.txt" \
  --key "pkcs11:token=t;object=k;pin-value=9%3A8x7" --cert "$pki/ca.crt" --password-file "$work/pin.txt"
check "a PIN in the PKCS#11 URI: refused in one line that shows no part of it" \
  eval 'refused_in_one_line && has err "--password-file" && ! grep -qE "9%3A|8x7" "$work/out" "$work/err"'
# ---- end of the build-only block ----

run sign good.p12 "$pki/password.txt"
check "a code-signing certificate signs the release" test "$status" = 0
mkdir -p "$work/s"
unzip -q "$signed" -d "$work/s"
# Each of the four signed, and without its signature the unsigned build.
run verify --ca "$pki/ca.crt" "$signed"
check "the signed zip checks out against its CA and the unsigned build" \
  eval '((status == 0)) && has out "is release $version" && [[ $(grep -c "signature valid" "$work/out") == 4 ]]'
cp "$work/out" "$work/verify-good.txt"
run verify "$work/s/x86/SlotBench.exe"
check "a single program without a CA: its release named, no trust claimed" \
  eval '((status == 0)) && has out "x86/SlotBench.exe of release $version" && has out "NOT checked"'
check "every kind of tampering fails in one line naming the file and the reason" \
  /usr/bin/python3 "$ROOT/tests/release/tampering_test.py" "$signed" "$unsigned" "$pki"
check "the signature check accepts the genuine programs and refuses every tampered signature in one line" \
  /usr/bin/python3 "$ROOT/tests/release/authenticode_test.py" "$signed" "$unsigned" "$pki"

# Without --unsigned, the check builds the release of the tagged commit.
run bash "$source_copy/tools/verify_release.sh" --ca "$pki/ca.crt" "$work/s/wine-bridge/x86/CT_ORB.dll"
check "a bridge checks out against a build of its tagged version" test "$status" = 0

mkdir -p "$work/tampered"
python3 -c 'import sys; d = bytearray(open(sys.argv[1], "rb").read()); d[len(d) // 3] ^= 1; open(sys.argv[2], "wb").write(d)' \
  "$work/s/x86/SlotBench.exe" "$work/tampered/SlotBench.exe"
run verify --ca "$pki/ca.crt" "$work/tampered/SlotBench.exe"
check "one changed byte in a signed program fails the check, naming it" \
  eval '((status == 1)) && has err "FAILED: SlotBench.exe"'
cp "$work/err" "$work/verify-tampered.txt"

rm -f "$signed"
sign other.p12 "$pki/password.txt" >/dev/null 2>&1
run verify --ca "$pki/ca.crt" "$signed"
check "a signature from another CA fails the check, naming the file" \
  eval '((status == 1)) && has err "x86/SlotBench.exe" && has err "does not chain to the CA"'

if [[ -f $ROOT/build/windows-x86/simulator/CT_ORB.dll ]]; then
  run env E2E_EXE32="$work/s/x86/SlotBench.exe" bash "$ROOT/tests/e2e/run_e2e.sh" serial_com3
  check "the signed 32-bit program passes an end-to-end case under wine" test "$status" = 0
  ((status == 0)) || tail -20 "$work/out"
else
  check "the simulator is built for the end-to-end case (bash tools/build.sh)" false
fi

echo "signing: a good zip checked:"
sed 's/^/  /' "$work/verify-good.txt"
echo "signing: a tampered program checked:"
sed 's/^/  /' "$work/verify-tampered.txt"
echo "$passed passed, $failed failed"
((failed == 0))
