#!/usr/bin/env bash
# Signs the release's two programs and two wine bridges with Authenticode
# (SHA-256, the product's name as description) and writes
# out/release/SlotBench-<version>-windows-signed.zip beside the unsigned zip
# of the commit's version (res/version.h), which stays as it is: the same
# entries in the same order with the same dates, the same texts,
# SHA256SUMS of the signed files. A signature is only appended: removed, it gives the
# reproducible build back byte for byte (tools/verify_release.sh checks it).
#
#   bash tools/sign_release.sh --pkcs12 FILE --password-file FILE [--timestamp URL]
#   bash tools/sign_release.sh --pkcs11-module LIB --key URI --cert FILE \
#        --password-file FILE [--timestamp URL]
#
# --cert: the token's certificate as a file (as the CA delivers it), to check
# before the token is asked for anything. --release-dir DIR: another folder
# than out/release. The password (or PIN) is read from its file by openssl
# and osslsigncode themselves: it is never on a command line, nor printed;
# a --key URI that holds one (pin-value) is refused.
#
# A signature vouches for the reproducible build of the checked-out commit
# and nothing else: the tree must have no uncommitted changes, and the zip
# must be byte for byte the one tools/release.sh builds from that commit,
# which this builds again from an export of the commit every time (as long
# as a release build takes): nothing left in out/ or build/ is trusted.
# The key and the password file must lie outside the working tree, or be
# ignored by git. The signatures made are read back as tools/verify_release.sh
# reads them (a --cert whose key did not sign is refused there); the last
# lines give the signer's SHA-256: publish it where docs/release/publisher.txt
# says, for the practices to compare.
#
# It runs in common.sh's fixed environment, keeping only the caller's HOME,
# SOFTHSM2_CONF and P11_KIT_*: no tool is looked up on the caller's PATH, no
# exported function or other variable reaches the tools it runs or the build.
set -euo pipefail

case $0 in
  */*) here=${0%/*} ;;
  *) here=. ;;
esac
# shellcheck source=tools/release/common.sh
source "$here/common.sh"
# HOME, SOFTHSM2_CONF and P11_KIT_*: where a PKCS#11 module finds its token.
fixed_environment sign "$0" HOME SOFTHSM2_CONF 'P11_KIT_*' -- "$@"
ROOT=$(cd -- "$here/../.." && pwd)
checks=$ROOT/tools/release/slotbench_release/signing.py

die() {
  echo "sign: $*" >&2
  exit 1
}

pkcs12='' module='' key='' cert='' password_file='' timestamp=''
release_dir=$ROOT/out/release
while (($#)); do
  (($# >= 2)) || die "$(escaped "$1") needs a value"
  case $1 in
    --pkcs12) pkcs12=$2 ;;
    --pkcs11-module) module=$2 ;;
    --key) key=$2 ;;
    --cert) cert=$2 ;;
    --password-file) password_file=$2 ;;
    --timestamp) timestamp=$2 ;;
    --release-dir) release_dir=$2 ;;
    *) die "unknown option $(escaped "$1") (see the head of tools/release/sign_release.sh)" ;;
  esac
  shift 2
done

# Before anything else mentions the URI: a PIN in it would end up on
# osslsigncode's command line, for any user of the machine to read. Then the
# secrets' place: inside the tree, one `git add -A` would publish them.
"${PYTHON[@]}" "$checks" before "$key" "$pkcs12" "$password_file" || exit 1
if [[ -n $pkcs12 ]]; then
  [[ -z $module$key$cert ]] || die "--pkcs12 or --pkcs11-module, not both"
else
  [[ -n $module && -n $key && -n $cert ]] ||
    die "give --pkcs12 FILE, or --pkcs11-module LIB with --key URI and --cert FILE"
fi
[[ -n $password_file ]] || die "give --password-file FILE"
for file in "$pkcs12" "$module" "$cert" "$password_file"; do
  [[ -z $file || ( -f $file && -r $file ) ]] || die "cannot read $(escaped "$file")"
done

[[ -e $ROOT/.git || -L $ROOT/.git ]] || die "this is not a git checkout: sign in a clone of the release's commit"
top=$(commit_git toplevel 2>&1) || die "$top"
[[ $top -ef $ROOT ]] || die "git takes $top, not this folder, as the working tree of its .git: sign in a fresh clone"
changed=$(commit_git changes 2>&1) || die "$changed"
count=$(wc -l <<<"$changed")
((count <= 3)) && count='' || count="$count files: "
[[ -z $changed ]] ||
  die "the tree has uncommitted changes ($count$(head -n 3 <<<"$changed" | paste -sd ' ')): only a build of a commit is signed: commit them, then \`bash tools/release.sh\` and sign again"
described=$(commit_git release HEAD 2>&1) || die "$described"
read -r commit version _ <<<"$described"
unsigned=$release_dir/SlotBench-$version-windows.zip
signed=$release_dir/SlotBench-$version-windows-signed.zip
# Shown relative to the top folder; a folder outside the tree as it was typed.
shown_dir=$(realpath -m --relative-base="$ROOT" "$release_dir")
[[ $shown_dir != /* ]] || shown_dir=$release_dir
shown_unsigned=$shown_dir/$(basename "$unsigned")
shown_signed=$shown_dir/$(basename "$signed")
# The signed zip replaces a file or nothing: mv into a folder, or through a
# link, would put it where someone else chose.
not_a_file() { [[ -L $signed || ( -e $signed && ! -f $signed ) ]]; }
! not_a_file || die "$shown_signed is a link or a folder, not a file: remove it, then sign again"
if [[ ! -f $unsigned ]]; then
  [[ ! -f $release_dir/SlotBench-$version-dirty-windows.zip ]] ||
    die "only a $version-dirty build is in $shown_dir: a build of a tree with uncommitted changes is never signed: commit, then \`bash tools/release.sh\`"
  die "no release zip $shown_unsigned for version $version: \`bash tools/release.sh\` first"
fi

work=$(mktemp -d /tmp/slotbench-sign.XXXXXX 2>/dev/null) ||
  die "cannot make a private folder in /tmp to sign in: /tmp must be a folder you may write into"
partial=''
trap 'rm -rf "$work"; [[ -z $partial ]] || rm -f "$partial"' EXIT

# The certificate first: what signing with it would be worth.
if [[ -n $pkcs12 ]]; then
  # PKCS#12 files from Windows often use the old ciphers OpenSSL 3 keeps
  # apart (osslsigncode loads them itself).
  if ! openssl pkcs12 -in "$pkcs12" -passin "file:$password_file" -nokeys -clcerts \
      -out "$work/cert.pem" 2>"$work/openssl.log" &&
    ! openssl pkcs12 -legacy -in "$pkcs12" -passin "file:$password_file" -nokeys -clcerts \
      -out "$work/cert.pem" 2>>"$work/openssl.log"; then
    grep -qi -E "mac verify|invalid password" "$work/openssl.log" &&
      die "wrong password for $(escaped "$pkcs12") (in $(escaped "$password_file"))"
    die "$(escaped "$pkcs12") is not a PKCS#12 file openssl can read"
  fi
else
  openssl x509 -in "$cert" -out "$work/cert.pem" 2>/dev/null ||
    openssl x509 -inform DER -in "$cert" -out "$work/cert.pem" 2>/dev/null ||
    die "$(escaped "$cert") is not a certificate (PEM or DER)"
fi
subject=$("${PYTHON[@]}" "$checks" certificate "$work/cert.pem") || exit 1

# What goes in: the reproducible build of this commit, made here and now.
# The copy compared is the copy signed, whatever happens to the file meanwhile.
cp "$unsigned" "$work/unsigned.zip"
echo "sign: building release $version of commit ${commit:0:12} to compare with (as long as tools/release.sh takes)"
if ! build_release_of_commit "$commit" "$work" 2>"$work/build-error.txt"; then
  sed '$d; s/^/sign: /' "$work/build-error.txt" >&2
  die "$(tail -n 1 "$work/build-error.txt"): nothing signed"
fi
"${PYTHON[@]}" "$checks" same "$work/unsigned.zip" "$RELEASE_ZIP" ||
  die "$shown_unsigned is not the reproducible build of commit ${commit:0:12}: \`bash tools/release.sh\` makes it; nothing signed"
date=$("${PYTHON[@]}" "$ROOT/tools/release/slotbench_release/release_zip.py" unpack "$work/unsigned.zip" "$work/files") ||
  die "$shown_unsigned is not a release zip"
mapfile -t programs < <("${PYTHON[@]}" "$ROOT/tools/release/slotbench_release/release_zip.py" programs)
((${#programs[@]})) || die "release_zip.py names nothing to sign"

if [[ -n $pkcs12 ]]; then
  signer=(-pkcs12 "$pkcs12")
else
  signer=(-pkcs11module "$module" -certs "$work/cert.pem" -key "$key")
fi
# Without a time-stamp, the signing time is the release's date (the zip
# entries' date, the commit's time): the same key then signs the same
# release into the same bytes. A time-stamp records the real time anyway.
if [[ -n $timestamp ]]; then
  when=(-ts "$timestamp")
else
  when=(-time "$date")
fi

started=$SECONDS
mkdir -p "$work/signed"
for program in "${programs[@]}"; do
  mkdir -p "$work/signed/$(dirname "$program")"
  out=$work/signed/$program
  if ! osslsigncode sign "${signer[@]}" -readpass "$password_file" -h sha256 -n "Slot Bench" \
      "${when[@]}" -in "$work/files/$program" -out "$out" >"$work/osslsigncode.log" 2>&1; then
    reason=$(grep -m1 -i -E "incorrect|wrong|failed to|error" "$work/osslsigncode.log" || echo "osslsigncode failed")
    die "signing $program failed: $reason"
  fi
done

# Read back as verify reads them: what it would refuse (a signature more
# than appended, a key that is not the certificate's) is not published.
fingerprint=$("${PYTHON[@]}" "$checks" signed "$work/cert.pem" "$work/files" "$work/signed" "${programs[@]}") ||
  exit 1
"${PYTHON[@]}" "$ROOT/tools/release/slotbench_release/release_zip.py" pack "$work/unsigned.zip" "$work/signed" "$work/signed.zip" ||
  die "packing the signed zip failed"
# Into place in one rename, so that no half-written zip is ever there.
# (mktemp: a file of our own making, never a link someone left there.)
partial=$(mktemp "$release_dir/.SlotBench-signed.XXXXXX")
cp "$work/signed.zip" "$partial"
chmod 644 "$partial"
! not_a_file || die "$shown_signed is a link or a folder, not a file: remove it, then sign again; nothing signed was written"
mv -fT "$partial" "$signed"
partial=

echo "sign: ${#programs[@]} files signed by $subject in $((SECONDS - started)) s${timestamp:+, time-stamped by $timestamp}"
echo "sign: $shown_signed"
echo "sign: zip SHA-256 $(sha256sum <"$work/signed.zip" | cut -d' ' -f1)"
echo "sign: signer's certificate SHA-256 $fingerprint"
echo "sign: publish that signer's SHA-256 where docs/release/publisher.txt's fingerprint_published_at says, for practices to compare"
