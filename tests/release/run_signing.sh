#!/usr/bin/env bash
# Signing and checking a release with throwaway certificates (make_pki.sh):
# the working tree, committed and tagged in a temporary copy, is built with
# tools/release.sh there (from a shell full of compiler and CMake variables
# and an exported function named cmake, which must change nothing), its
# programs' checks are tried on doctored
# copies (release_checks_test.py), it is signed (the signing step's rebuild
# under a hostile HOME, a replace ref and filters in .git), checked with
# tools/verify_release.sh, tampered with, and its signed 32-bit program run
# through one end-to-end case under wine. Three release builds of ours: this
# one, the one sign_release.sh makes to refuse a doctored zip, the one it
# makes to sign. Ends with "N passed, M failed"; the exit status is 0 only
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
# No refusal names the temporary folders: a person reads paths of the tree.
no_temporary_paths() { ! grep -qF -- "$work" "$work/out" "$work/err"; }
verify() { bash "$ROOT/tools/verify_release.sh" --unsigned "$unsigned" "$@"; }

version=$(sed -n 's/^#define SLOTBENCH_VERSION_TEXT "\([0-9.]*\)"$/\1/p' "$ROOT/res/version.h")
# The working tree as it is, in a copy (the developer's out/release stays),
# under a folder whose name holds what a shell, CMake or a compiler's flags
# could split, expand or read as an option. sign_release.sh builds the commit again
# under /tmp and signs only the same zip, byte for byte; the tag's build
# that the check makes lies under a TMPDIR of such a name too.
odd=$work/"-x 'q' \"\$q\\ (é) y"
mkdir -p "$odd/tmp"
source_copy=$odd/source
mkdir -p "$source_copy"
(cd "$ROOT" && git ls-files -z --cached --others --exclude-standard |
  tar --null --ignore-failed-read -T - -cf - 2>/dev/null) | tar -xf - -C "$source_copy"
# A commit of its own, tagged: release.sh builds a commit, sign_release.sh
# signs only that build, verify_release.sh builds the tag.
git -C "$source_copy" init -q && git -C "$source_copy" add -A &&
  git -C "$source_copy" -c user.name=t -c user.email=t@invalid commit -qm "$version" &&
  git -C "$source_copy" tag "v$version"
# Everything a shell may hold that reaches a compiler, linker or CMake, set
# so that each would change the programs if it got through; sign_release.sh
# builds the commit again from a clean shell and signs only the same bytes.
hostile=$work/hostile-bin
mkdir -p "$hostile" "$work/hostile-include"
for arch in i686 x86_64; do
  for compiler in gcc g++; do
    printf '#!/bin/sh\nexec /usr/bin/%s "$@" -O0 -DHOSTILE_COMPILER\n' "$arch-w64-mingw32-$compiler-posix" \
      >"$hostile/$arch-w64-mingw32-$compiler-posix"
    chmod +x "$hostile/$arch-w64-mingw32-$compiler-posix"
  done
done
if ! env PATH="$hostile:$PATH" CFLAGS="-O0 -DHOSTILE" CXXFLAGS="-O0 -DHOSTILE" CPPFLAGS=-DHOSTILE \
    LDFLAGS=-Wl,--insert-timestamp RCFLAGS=-DHOSTILE CC=cc CXX=c++ CPATH="$work/hostile-include" \
    CMAKE_BUILD_TYPE=Debug CMAKE_GENERATOR="Unix Makefiles" CMAKE_CXX_COMPILER_LAUNCHER=env \
    CMAKE_C_COMPILER_LAUNCHER=env MAKEFLAGS=-j1 PKG_CONFIG_PATH="$work/hostile-include" \
    "BASH_FUNC_cmake%%=() { touch $work/cmake-function-ran; /usr/bin/cmake \"\$@\"; }" \
    bash "$source_copy/tools/release.sh" >"$work/release.log" 2>&1; then
  tail -20 "$work/release.log"
  echo "signing: the release build failed"
  exit 1
fi
check "an exported function named cmake in the caller's shell does not reach the release build" \
  test ! -e "$work/cmake-function-ran"
# Doctored copies of what that build made.
check "every check of the programs, the README and the PIN, on doctored copies" \
  /usr/bin/python3 -B "$ROOT/tests/release/release_checks_test.py" "$source_copy"
commit=$(git -C "$source_copy" rev-parse HEAD)
release=$work/release
unsigned=$release/SlotBench-$version-windows.zip
signed=$release/SlotBench-$version-windows-signed.zip
mkdir -p "$release"
cp "$source_copy/out/release/$(basename "$unsigned")" "$unsigned"
cp "$unsigned" "$work/unsigned.zip"
pki=$work/pki
bash "$ROOT/tools/release/make_pki.sh" "$pki" || { echo "signing: no test certificates"; exit 1; }
check "the test keys and password are readable by their owner alone" \
  eval '[[ $(stat -c %a "$pki" "$pki/password.txt" "$pki/good.p12" "$pki/signer.key" | sort -u | paste -sd " ") == "600 700" ]]'

run sign expired.p12 "$pki/password.txt"
check "an expired certificate is refused in one line, leaving nothing behind" \
  eval 'refused_in_one_line && has err expired && untouched'
echo "not-$(cat "$pki/password.txt")" >"$work/wrong.txt"
run sign good.p12 "$work/wrong.txt"
check "a wrong password is refused in one line, not shown, leaving nothing behind" \
  eval 'refused_in_one_line && has err "wrong password" && ! grep -qF -f "$work/wrong.txt" "$work/out" "$work/err" && untouched'

# ---- a signature vouches for the reproducible build of the commit only ----
# A zip that passes every check of its own (its SHA256SUMS, the programs'
# versions) but is not the build, left where a release build puts its zip
# and where an older sign_release.sh kept the build it trusted.
relabel() {  # python expression over data (name -> bytes)
  (cd "$ROOT" && /usr/bin/python3 -B - "$work/unsigned.zip" "$unsigned" "$1" <<'EOF'
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
  )
}
relabel "d = bytearray(data['x86/SlotBench.exe']); d[len(d) // 3] ^= 1; data['x86/SlotBench.exe'] = bytes(d)"
mkdir -p "$source_copy/build/release-of-commit/$commit"
cp "$unsigned" "$source_copy/build/release-of-commit/$commit/"
cp "$unsigned" "$source_copy/out/release/"
run bash "$source_copy/tools/sign_release.sh" --pkcs12 "$pki/good.p12" --password-file "$pki/password.txt"
check "a patched program's zip in out/release and build/release-of-commit: refused in one line as not the build, nothing signed" \
  eval 'refused_in_one_line && has err "sign: out/release/$(basename "$unsigned") is not the reproducible build of commit" &&
    [[ ! -e $source_copy/out/release/$(basename "$signed") ]] && no_temporary_paths'
((status == 1)) || cat "$work/err"
rm -rf "$source_copy/build/release-of-commit"
cp "$work/unsigned.zip" "$source_copy/out/release/$(basename "$unsigned")"

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
# As typed on the command line: no shell or backslash processing between
# the argument and the check, which reads it as a token library would.
pin_uris=(
  'pkcs11:token=t;object=k;pin-value=9%3A8x7'
  'pkcs11:token=t;object=k;PIN-Value=9%3A8x7'
  'pkcs11:token=t;object=k;pin%2Dvalue=9%3A8x7'
  'pkcs11:token=t;object=k;%70in-value=9%3A8x7'
  'pkcs11:token=t;object=k\c;pin-value=9%3A8x7'
  'pkcs11:token=t;object=k\x;%50in-Value=9%3A8x7'
)
for uri in "${pin_uris[@]}"; do
  run bash "$source_copy/tools/sign_release.sh" --release-dir "$release" --pkcs11-module "$work/pin.txt" \
    --key "$uri" --cert "$pki/ca.crt" --password-file "$work/pin.txt"
  check "a PIN in the PKCS#11 URI $uri: refused in one line that shows no part of it" \
    eval 'refused_in_one_line && has err "--password-file" && ! grep -qE "9%3A|8x7" "$work/out" "$work/err"'
done

# Changes hidden from git status (the clean-tree check compares the files
# with the commit itself) would be built under a name they do not have.
for flag in --skip-worktree --assume-unchanged; do
  git -C "$source_copy" update-index "$flag" res/version.h
  sed -i 's/^#define SLOTBENCH_VERSION_TEXT ".*"$/#define SLOTBENCH_VERSION_TEXT "9.9.9.9"/' "$source_copy/res/version.h"
  run sign good.p12 "$pki/password.txt"
  check "res/version.h marked $flag and changed: signing refused in one line naming it" \
    eval 'refused_in_one_line && has err "uncommitted changes (res/version.h)" && untouched'
  run bash "$source_copy/tools/release.sh"
  check "res/version.h marked $flag and changed: release.sh refuses in one line, builds nothing" \
    eval 'refused_in_one_line && has err "uncommitted changes (1 tracked file: res/version.h)" && [[ ! -e $source_copy/out/release/SlotBench-9.9.9.9-windows.zip ]]'
  git -C "$source_copy" update-index --no-skip-worktree res/version.h
  git -C "$source_copy" update-index --no-assume-unchanged res/version.h
  git -C "$source_copy" checkout -q res/version.h
done

# The signed zip replaces a file or nothing, never what a link or a folder
# left at its name leads to.
mkdir -p "$work/link-target"
for planted in link folder; do
  case $planted in
    link) ln -s "$work/link-target" "$signed" ;;
    folder) mkdir "$signed" ;;
  esac
  run sign good.p12 "$pki/password.txt"
  check "a $planted at the signed zip's name: refused in one line, nothing written through it" \
    eval 'refused_in_one_line && has err "$(basename "$signed") is a link or a folder" &&
      [[ -z $(ls -A "$work/link-target") ]] && cmp -s "$unsigned" "$work/unsigned.zip"'
  rm -rf "$signed"
done

# Trial keys inside the tree are one `git add -A` from the repository.
run bash "$source_copy/tools/release/make_trial_certificates.sh" "$source_copy/res/keys"
check "trial certificates into a folder of the tree git does not ignore: refused in one line, nothing made" \
  eval 'refused_in_one_line && has err "res/keys is inside a git working tree" && [[ ! -e $source_copy/res/keys ]]'
# Made in a folder of their own, or one that is the user's alone: a folder
# others can write into would let them put files at the keys' names first.
mkdir -m 777 "$work/open-keys"
mkdir -m 700 "$work/their-keys"
refusals=("open-keys:can be written into by others (mode 777)")
((EUID)) || { chown 65534 "$work/their-keys" && refusals+=("their-keys:belongs to user 65534, not to you"); }
for refusal in "${refusals[@]}"; do
  run bash "$source_copy/tools/release/make_trial_certificates.sh" "$work/${refusal%%:*}"
  check "trial certificates into an empty folder that ${refusal#*:}: refused in one line, nothing made" \
    eval 'refused_in_one_line && has err "${refusal#*:}" && [[ -z $(ls -A "$work/${refusal%%:*}") ]]'
done
run bash "$source_copy/tools/release/make_trial_certificates.sh" "$odd/-keys"
check "trial certificates into a new folder of an odd name: made mode 700, every file in it the user's alone" \
  eval '((status == 0)) && [[ $(stat -c %a "$odd/-keys") == 700 && -s $odd/-keys/signer.p12 ]] &&
    [[ -z $(find "$odd/-keys" -type f ! -perm 600) ]] && has out "$(printf %q "$odd/-keys/signer.p12")"'

# Secrets inside the working tree are one `git add -A` from the repository.
# Meanwhile bytecode planted for text.py, dated and sized as the source so
# that a plain -B would run it, must not name the key.
/usr/bin/python3 - "$source_copy/tools/release/slotbench_release/text.py" <<'EOF'
import importlib._bootstrap_external as be, importlib.util, os, sys
src = sys.argv[1]
st = os.stat(src)
code = compile(open(src).read() + "\ndef escape(value):\n    return 'PLANTED'\n", src, "exec")
out = importlib.util.cache_from_source(src)
os.makedirs(os.path.dirname(out), exist_ok=True)
open(out, "wb").write(be._code_to_timestamp_pyc(code, int(st.st_mtime), st.st_size))
EOF
mkdir -p "$source_copy/keys"
cp "$pki/good.p12" "$source_copy/keys/"
run sign "../${odd##*/}/source/keys/good.p12" "$pki/password.txt"
check "a key inside the working tree that git does not ignore: refused, naming it by its place in the tree (planted bytecode unread)" \
  eval 'refused_in_one_line && has err "keys/good.p12 is inside the working tree" && no_temporary_paths && untouched'
rm -rf "$source_copy/tools/release/slotbench_release/__pycache__"
cp "$pki/password.txt" "$source_copy/keys/"
run sign good.p12 "$source_copy/keys/password.txt"
check "a password file inside the working tree that git does not ignore: refused" \
  eval 'refused_in_one_line && has err "keys/password.txt is inside the working tree" && untouched'
ln -s "$source_copy/keys/password.txt" "$work/password-link.txt"
run sign good.p12 "$work/password-link.txt"
check "a link outside the tree to a password file inside it: refused" \
  eval 'refused_in_one_line && has err "keys/password.txt is inside the working tree" && untouched'
ln "$source_copy/keys/password.txt" "$work/password-hard-link.txt"
run sign good.p12 "$work/password-hard-link.txt"
check "a hard link outside the tree to a password file inside it: refused" \
  eval 'refused_in_one_line && has err "password-hard-link.txt has 2 hard links" && untouched'
rm -rf "$source_copy/keys" "$work/password-link.txt" "$work/password-hard-link.txt"
# The key the release is signed with below lies where git ignores it.
mkdir -p "$source_copy/build/keys"
cp -p "$pki/good.p12" "$pki/password.txt" "$source_copy/build/keys/"
# ---- end of the build-only block ----

# What git could make of the commit besides its own blobs, for the signing
# step's rebuild and the tag's build below: a replace ref for the README's
# publisher fields, a HOME whose .gitconfig converts line ends and filters
# every file, filters and export-ignore in the repository's own config.
# What git archive made of it before any of that, with no configuration.
clean_archive=$work/clean-archive
mkdir -p "$clean_archive" "$work/empty-home"
env -i PATH=/usr/bin:/bin HOME="$work/empty-home" GIT_CONFIG_NOSYSTEM=1 GIT_NO_REPLACE_OBJECTS=1 \
  git -C "$source_copy" -c core.attributesFile=/dev/null archive HEAD | tar -xf - -C "$clean_archive"
evil_home=$work/evil-home
mkdir -p "$evil_home"
printf '#!/bin/sh\ntouch %s/filter-ran\nsed "s/^name=.*/name=EVIL/"\n' "$work" >"$work/filter.sh"
chmod +x "$work/filter.sh"
printf '[core]\n\tautocrlf = true\n\tattributesFile = %s/attributes\n[filter "ev"]\n\tsmudge = %s\n' \
  "$evil_home" "$work/filter.sh" >"$evil_home/.gitconfig"
echo "* filter=ev" >"$evil_home/attributes"
git -C "$source_copy" config filter.ev2.smudge "$work/filter.sh"
printf 'docs/release/README.txt filter=ev2\nres/slotbench.ico export-ignore\n' >"$source_copy/.git/info/attributes"
publisher=$(git -C "$source_copy" rev-parse HEAD:docs/release/publisher.txt)
git -C "$source_copy" replace "$publisher" \
  "$(git -C "$source_copy" show HEAD:docs/release/publisher.txt | sed 's/^name=.*/name=REPLACED/' | git -C "$source_copy" hash-object -w --stdin)"
rm -f "$work/filter-ran"
run env HOME="$evil_home" /usr/bin/python3 -B -E -s -X pycache_prefix=/nonexistent "$ROOT/tools/release/slotbench_release/export.py" \
  tree "$source_copy" HEAD "$work/exported"
check "the export of a commit is git archive's with no configuration, whatever HOME, replace refs and .git say" \
  eval '((status == 0)) && diff -r "$clean_archive" "$work/exported" >/dev/null && [[ ! -e $work/filter-ran ]] &&
    [[ -f $work/exported/res/slotbench.ico ]]'

# Besides: functions named cmake and exec (passed on by the first shell,
# bash -p, to its children), a cmp first on PATH that says "equal".
mkdir -p "$work/fakebin"
printf '#!/bin/sh\ntouch %s/cmp-ran\n' "$work" >"$work/fakebin/cmp"
chmod +x "$work/fakebin/cmp"
run env HOME="$evil_home" PATH="$work/fakebin:$PATH" \
  "BASH_FUNC_cmake%%=() { touch $work/cmake-function-ran; /usr/bin/cmake \"\$@\"; }" \
  "BASH_FUNC_exec%%=() { touch $work/exec-function-ran; builtin exec \"\$@\"; }" \
  /bin/bash -p "$source_copy/tools/sign_release.sh" --release-dir "$release" \
  --pkcs12 "$source_copy/build/keys/good.p12" --password-file "$source_copy/build/keys/password.txt"
check "a key and password that git ignores inside the tree sign the release built from a hostile shell in an odd folder: the rebuild in a plain one, under a hostile HOME, a replace ref and filters, has the same bytes" \
  eval '((status == 0)) && [[ ! -e $work/filter-ran && ! -e $work/cmake-function-ran ]] &&
    [[ ! -e $work/exec-function-ran && ! -e $work/cmp-ran ]]'
((status == 0)) || cat "$work/err"
fingerprint=$(openssl x509 -in "$pki/good.crt" -outform DER | sha256sum | cut -d' ' -f1)
check "signing ends with the signer's SHA-256 and a line saying to publish it" \
  eval 'tail -n 2 "$work/out" | head -n 1 | grep -qx "sign: signer.s certificate SHA-256 $fingerprint" && tail -n 1 "$work/out" | grep -q "publish"'
mkdir -p "$work/s"
unzip -q "$signed" -d "$work/s"
# Each of the four signed, and without its signature the unsigned build.
run verify --ca "$pki/ca.crt" "$signed"
check "the signed zip checks out against its CA and the unsigned build" \
  eval '((status == 0)) && has out "OK: $(basename "$signed") (version $version)" && [[ $(grep -c "signature valid" "$work/out") == 4 ]]'
cp "$work/out" "$work/verify-good.txt"
# Another user who may rename what is made in TMPDIR could swap the check's
# build for one of theirs: such a TMPDIR, or one below such a folder, is refused.
mkdir -m 700 "$work/open" "$work/open/mine" && chmod 777 "$work/open"
run env TMPDIR="$work/open/mine" bash "$ROOT/tools/verify_release.sh" --unsigned "$unsigned" --ca "$pki/ca.crt" "$signed"
check "a TMPDIR in a folder others can write into is refused in one line" \
  eval 'refused_in_one_line && has err "others can write into $work/open (mode 777, no sticky bit)"'
run verify "$work/s/x86/SlotBench.exe"
check "a single program without a CA: its release named, no trust claimed" \
  eval '((status == 0)) && has out "it equals x86/SlotBench.exe of $(basename "$unsigned")" && has out "NOT checked"'
check "every kind of tampering fails in one line naming the file and the reason" \
  /usr/bin/python3 "$ROOT/tests/release/tampering_test.py" "$signed" "$unsigned" "$pki"

# Without --unsigned, the check builds the release of the tagged commit.
run env TMPDIR="$odd/tmp" bash "$source_copy/tools/verify_release.sh" --ca "$pki/ca.crt" "$work/s/wine-bridge/x86/CT_ORB.dll"
check "a bridge checks out against a build of its tagged version made under an odd TMPDIR" \
  eval '((status == 0)) && has out "is wine-bridge/x86/CT_ORB.dll of release $version" && has out "(tag v$version, commit "'

mkdir -p "$work/tampered"
python3 -c 'import sys; d = bytearray(open(sys.argv[1], "rb").read()); d[len(d) // 3] ^= 1; open(sys.argv[2], "wb").write(d)' \
  "$work/s/x86/SlotBench.exe" "$work/tampered/SlotBench.exe"
run verify --ca "$pki/ca.crt" "$work/tampered/SlotBench.exe"
check "one changed byte in a signed program fails the check, naming it" \
  eval '((status == 1)) && has err "FAILED: SlotBench.exe"'
cp "$work/err" "$work/verify-tampered.txt"

rm -f "$signed"
# Signed by hand, as sign_release.sh would with that key (a build saved).
mkdir -p "$work/other"
/usr/bin/python3 -B "$ROOT/tools/release/slotbench_release/release_zip.py" unpack "$unsigned" "$work/other/files" >/dev/null
for program in $(/usr/bin/python3 -B "$ROOT/tools/release/slotbench_release/release_zip.py" programs); do
  mkdir -p "$work/other/signed/$(dirname "$program")"
  osslsigncode sign -pkcs12 "$pki/other.p12" -readpass "$pki/password.txt" -h sha256 -n "Slot Bench" \
    -in "$work/other/files/$program" -out "$work/other/signed/$program" >/dev/null 2>&1
done
/usr/bin/python3 -B "$ROOT/tools/release/slotbench_release/release_zip.py" pack "$unsigned" "$work/other/signed" "$signed"
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

escaped=$work/$'esc\x1b.zip'
printf 'PK' >"$escaped"
run verify "$escaped"
check "a zip whose name holds an ESC: the name escaped once in the one line" \
  eval 'refused_in_one_line && has err "esc\\x1b.zip is not a zip" && ! has err "esc\\\\x1b"'

# A file the build needs but the commit lacks: named, with what to do.
git clone -q "$source_copy" "$work/untracked"
echo 'target_sources(SlotBench PRIVATE app/not_added.cpp)' >>"$work/untracked/CMakeLists.txt"
git -C "$work/untracked" -c user.name=t -c user.email=t@invalid commit -qam "uses a new file"
echo '// a new file' >"$work/untracked/app/not_added.cpp"
run bash "$work/untracked/tools/release.sh"
check "a source file the build needs that is not committed: named, with git add" \
  eval '((status == 1)) && has err "release: not in the commit: app/not_added.cpp (git add it?)" && [[ $(wc -l <"$work/err") == 2 ]] && no_temporary_paths'

# A text of the zip the commit lacks: named before anything is built.
sed -i 's|^    Entry("README.txt", "text", "docs/release/README.txt"),$|&\n    Entry("CHANGES.txt", "text", "docs/release/CHANGES.txt"),|' \
  "$work/untracked/tools/release/slotbench_release/release_zip.py"
git -C "$work/untracked" -c user.name=t -c user.email=t@invalid commit -qam "lists a new text"
echo 'Changes' >"$work/untracked/docs/release/CHANGES.txt"
rm -rf "$work/untracked/build"
run bash "$work/untracked/tools/release.sh"
check "a text of the zip that is not committed: named before anything is built" \
  eval '((status == 1)) && has err "release: not in the commit: docs/release/CHANGES.txt (git add it?)" && [[ ! -e $work/untracked/build/release-x86 ]]'
git -C "$work/untracked" reset -q --hard HEAD~1
rm "$work/untracked/docs/release/CHANGES.txt"

# git asked nothing but ids and objects: a checkout it cannot answer for,
# a commit too late for a zip, a clean filter that hides a same-size edit,
# a forged object in a shared store. Refused before any build.
clone=$work/untracked
rm -rf "$clone/app/not_added.cpp" "$clone/build"
git -C "$clone" config core.bare true
run bash "$clone/tools/release.sh"
check "core.bare in .git/config: release.sh refuses in one line, builds nothing" \
  eval 'refused_in_one_line && has err "git does not answer for this checkout" && [[ ! -e $clone/build/release-x86 ]]'
git -C "$clone" config --unset core.bare
GIT_COMMITTER_DATE="@4354819300 +0000" git -C "$clone" -c user.name=t -c user.email=t@invalid commit -q --allow-empty -m late
run bash "$clone/tools/release.sh"
check "a commit dated after 2107: refused in one line, nothing built" \
  eval 'refused_in_one_line && has err "dated after 2107" && [[ ! -e $clone/build/release-x86 ]]'
git -C "$clone" reset -q --hard HEAD~1
cp "$clone/res/version.h" "$work/version.h"
printf '#!/bin/sh\ntouch %s/clean-ran\ncat %s/version.h\n' "$work" "$work" >"$work/clean.sh"
git -C "$clone" config filter.same.clean "sh $work/clean.sh"
echo 'res/version.h filter=same' >"$clone/.git/info/attributes"
sed -i 's/^#define SLOTBENCH_VERSION_TEXT "[0-9]/#define SLOTBENCH_VERSION_TEXT "9/' "$clone/res/version.h"
touch -d 2030-01-01 "$clone/res/version.h"
run bash "$clone/tools/release.sh"
check "a same-size edit a clean filter calls unchanged: refused as uncommitted, the filter never run" \
  eval 'refused_in_one_line && has err "uncommitted changes (1 tracked file: res/version.h)" && [[ ! -e $work/clean-ran ]]'
# The store: loose objects only, as a fetch-less mirror keeps them.
git clone -q --bare --no-local "$source_copy" "$work/mirror"
mkdir -p "$work/packs"
mv "$work/mirror/objects/pack/"* "$work/packs/"
for pack in "$work/packs/"*.pack; do git -C "$work/mirror" unpack-objects -q <"$pack"; done
git clone -q --shared "$work/mirror" "$work/shared"
readme=$(git -C "$work/mirror" rev-parse HEAD:docs/release/README.txt)
loose=$work/mirror/objects/${readme:0:2}/${readme:2}
rm -f "$loose"
printf 'blob 6\0forged' | /usr/bin/python3 -c 'import sys, zlib; sys.stdout.buffer.write(zlib.compress(sys.stdin.buffer.read()))' >"$loose"
run bash "$work/shared/tools/release.sh"
check "a forged object in the store a --shared clone borrows from: refused in one line, nothing built" \
  eval 'refused_in_one_line && has err "is not what its id says" && [[ ! -e $work/shared/build/release-x86 ]]'

echo "signing: a good zip checked:"
sed 's/^/  /' "$work/verify-good.txt"
echo "signing: a tampered program checked:"
sed 's/^/  /' "$work/verify-tampered.txt"
echo "$passed passed, $failed failed"
((failed == 0))
