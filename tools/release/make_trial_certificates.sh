#!/usr/bin/env bash
# Makes a throwaway CA and code signer in a folder the user names, to try
# tools/sign_release.sh and tools/verify_release.sh without a real
# certificate, and says where the keys are. They stay there, unencrypted:
# for trying only, never for signing what others will install.
#
#   bash tools/release/make_trial_certificates.sh DIR
set -euo pipefail
umask 077

ROOT=$(cd -- "$(dirname -- "$0")/../.." && pwd)
# shellcheck source=tools/release/common.sh
source "$ROOT/tools/release/common.sh"

die() {
  echo "trial certificates: $*" >&2
  exit 1
}

(($# == 1)) && [[ -n $1 ]] || die "usage: bash tools/release/make_trial_certificates.sh DIR (a new folder, outside the working tree)"
dir=$1
# Keys inside a working tree are one `git add -A` from being published.
inside=$("${PYTHON[@]}" "$ROOT/tools/release/slotbench_release/export.py" unignored "$dir") ||
  die "cannot tell whether $dir lies in a git working tree"
[[ -z $inside ]] ||
  die "$inside is inside a git working tree and git does not ignore it: name a folder outside it, for example ~/slotbench-keys"
# The folder is made here, readable by the user alone; one that is there
# already is taken only when it is empty, the user's and no one else's to
# write into: anyone who can write into it could put files at the keys'
# names before the keys are written, and read them after.
if why=$(mkdir -m 700 -- "$dir" 2>&1); then
  made=1
elif [[ -L $dir || ! -d $dir ]]; then
  die "$dir cannot be made as a new folder (${why#mkdir: }): name another"
else
  made=0
fi
cd -- "$dir"
# What was checked is the folder now entered, whatever its name leads to meanwhile.
read -r owner mode < <(stat -c '%u %a' .)
[[ $owner == "$(id -u)" ]] || die "$dir belongs to user $owner, not to you: name a new folder"
((!(8#$mode & 8#022))) || die "$dir can be written into by others (mode $mode): name a new folder"
[[ -z $(ls -A .) ]] || die "$dir is not empty: name a new folder"
((made)) || chmod 700 .
bash "$ROOT/tools/release/make_pki.sh" .
dir=$(pwd)
# The names the README's release steps use; link: never over a file that is there.
for kind in p12 crt; do
  ln -- "good.$kind" "signer.$kind" && rm -- "good.$kind"
done
version=$(commit_git version 2>/dev/null) || version='<version>'
q() { printf '%q' "$1"; }
cat <<END
trial certificates: a throwaway CA (ca.crt) and code signer (signer.p12, its password in
  password.txt, valid for two days) are in $(q "$dir"), a folder readable by you alone,
  with their private keys (ca.key, signer.key; other.p12, other-ca.key and expired.p12
  for trying refusals), unencrypted: for trying the signing flow only.
  Never sign with them what others will install; delete the folder after.
To try, in the top folder of a clone with no uncommitted changes:
  bash tools/release.sh
  bash tools/sign_release.sh --pkcs12 $(q "$dir/signer.p12") --password-file $(q "$dir/password.txt")
  bash tools/verify_release.sh --ca $(q "$dir/ca.crt") out/release/SlotBench-$version-windows-signed.zip
  rm -rf $(q "$dir")
END
