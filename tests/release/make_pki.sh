#!/usr/bin/env bash
# Makes throwaway certificates for the signing tests in a folder, fresh at
# every run (no key is ever kept): two CAs, and PKCS#12 files protected by a
# random password (in password.txt):
#   good.p12     code signing, issued by ca.crt, valid now
#   other-ca.p12 code signing, issued by other-ca.crt
#   expired.p12  code signing, issued by ca.crt, expired in 2021
#   server.p12   issued by ca.crt, valid now, but for TLS servers only
# and good.crt/good.key (the good certificate and key, for a token), and
# tsa.cnf: a time-stamp authority of ca.crt for openssl ts -reply.
#
#   bash tests/release/make_pki.sh DIR
set -euo pipefail

dir=${1:?the folder to write into}
mkdir -p "$dir"
cd "$dir"

fail() {
  echo "pki: $*" >&2
  exit 1
}
quiet() {  # command... (its output only when it fails)
  "$@" >pki.log 2>&1 || { cat pki.log >&2; fail "$1 failed"; }
}

od -An -N12 -tx1 /dev/urandom | tr -d ' \n' >password.txt
echo >>password.txt

make_ca() {  # name
  quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.crt" -days 2 \
    -subj "/CN=Slot Bench test $1" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
  mkdir -p "$1.db"
  : >"$1.db/index.txt"
}
make_ca ca
make_ca other-ca

# openssl ca, unlike openssl x509 -req here, takes any validity period: an
# expired certificate needs dates in the past.
cat >ca.cnf <<'EOF'
[ca]
default_ca = test_ca
[test_ca]
dir = .
database = $dir/index.txt
new_certs_dir = $dir
default_md = sha256
policy = any_name
unique_subject = no
rand_serial = yes
[any_name]
commonName = supplied
[code_signing]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
[server]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
[time_stamping]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
EOF

quiet openssl req -newkey rsa:2048 -nodes -keyout good.key -out good.csr -subj "/CN=Slot Bench test signer"

certify() {  # name, ca, extensions, request, openssl ca validity options...
  local name=$1 ca=$2 extensions=$3 request=$4
  shift 4
  (cd "$ca.db" && quiet openssl ca -batch -config ../ca.cnf -name test_ca -notext \
    -cert "../$ca.crt" -keyfile "../$ca.key" -extensions "$extensions" \
    -in "../$request" -out "../$name.crt" "$@")
}
make_p12() {  # name, ca, extensions, openssl ca validity options...
  local name=$1 ca=$2 extensions=$3
  shift 3
  certify "$name" "$ca" "$extensions" good.csr "$@"
  quiet openssl pkcs12 -export -inkey good.key -in "$name.crt" -certfile "$ca.crt" \
    -name "$name" -out "$name.p12" -passout file:password.txt
}
make_p12 good ca code_signing -days 2
make_p12 other-ca other-ca code_signing -days 2
make_p12 expired ca code_signing -startdate 20200101000000Z -enddate 20210101000000Z
make_p12 server ca server -days 2

quiet openssl req -newkey rsa:2048 -nodes -keyout tsa.key -out tsa.csr -subj "/CN=Slot Bench test time-stamps"
certify tsa ca time_stamping tsa.csr -days 2
echo 01 >tsa.serial
cat >tsa.cnf <<EOF
[tsa]
default_tsa = test_tsa
[test_tsa]
serial = $PWD/tsa.serial
crypto_device = builtin
signer_cert = $PWD/tsa.crt
signer_key = $PWD/tsa.key
certs = $PWD/ca.crt
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = no
tsa_name = yes
ess_cert_id_chain = no
ess_cert_id_alg = sha256
EOF
rm -f pki.log good.csr tsa.csr
