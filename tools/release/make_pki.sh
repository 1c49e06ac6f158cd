#!/usr/bin/env bash
# Makes throwaway certificates in a folder, for the signing tests and for
# trying the signing flow (tools/release/make_trial_certificates.sh): two CAs, and
# code-signing PKCS#12 files protected by a random password (in
# password.txt): good.p12 (issued by ca.crt, valid for two days), other.p12
# (issued by other-ca.crt) and expired.p12 (issued by ca.crt, expired in
# 2021). The folder keeps the private keys, unencrypted, beside them
# (ca.key, other-ca.key, signer.key): fresh at every run, for tests and
# trials only. The signing tests delete their folder; nothing else does.
#
#   bash tools/release/make_pki.sh DIR
set -euo pipefail

# Keys and the password are for their owner's eyes only, like real ones.
umask 077
mkdir -p -- "${1:?the folder to write into}"
cd -- "$1"
# Each file made here is new: made empty, exclusively and not through a
# link, before a tool writes into it, so nothing left at its name is ever
# written into (and read by whoever left it).
/usr/bin/python3 -c '
import os, sys
for name in sys.argv[1:]:
    os.close(os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600))
' password.txt pki.log signer.key signer.csr ca.cnf ca.key ca.crt other-ca.key other-ca.crt \
  good.crt good.p12 other.crt other.p12 expired.crt expired.p12 ||
  { echo "make_pki: a file of the certificates is in $1 already: name a new folder" >&2; exit 1; }
quiet() { "$@" >pki.log 2>&1 || { cat pki.log >&2; exit 1; }; }

od -An -N12 -tx1 /dev/urandom | tr -d ' \n' >password.txt
quiet openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=Slot Bench test signer"

# openssl ca, unlike openssl x509 -req here, takes dates in the past.
cat >ca.cnf <<'CNF'
[test_ca]
database = index.txt
new_certs_dir = .
default_md = sha256
policy = any_name
rand_serial = yes
[any_name]
commonName = supplied
[code_signing]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
CNF

sign_with() {  # name, ca, validity options...
  local name=$1 ca=$2
  shift 2
  : >index.txt
  quiet openssl ca -batch -config ca.cnf -name test_ca -notext -cert "$ca.crt" -keyfile "$ca.key" \
    -extensions code_signing -in signer.csr -out "$name.crt" "$@"
  quiet openssl pkcs12 -export -inkey signer.key -in "$name.crt" -certfile "$ca.crt" \
    -out "$name.p12" -passout file:password.txt
}
for ca in ca other-ca; do
  quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout "$ca.key" -out "$ca.crt" -days 2 \
    -subj "/CN=Slot Bench test $ca" -addext basicConstraints=critical,CA:TRUE
done
sign_with good ca -days 2
sign_with other other-ca -days 2
sign_with expired ca -startdate 20200101000000Z -enddate 20210101000000Z
rm -f pki.log signer.csr index.txt* [0-9A-F]*.pem
