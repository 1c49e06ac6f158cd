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
mkdir -p "${1:?the folder to write into}"
cd "$1"
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
