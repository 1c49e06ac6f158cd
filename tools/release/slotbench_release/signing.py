"""The checks tools/sign_release.sh makes before and after it signs.

  signing.py before KEY_URI FILE...        the PIN and where the secrets lie
  signing.py certificate PEM               fit to sign with now; prints its subject
  signing.py signed PEM UNSIGNED SIGNED PROGRAM...
                                           each program in SIGNED its copy in
                                           UNSIGNED signed by that certificate's
                                           key; prints the signer's SHA-256
  signing.py same FILE FILE                exit status 0 for the same bytes

Every refusal is one line on stderr and exit status 1.
"""
import datetime
import hashlib
import os
import re
import sys
import urllib.parse

from cryptography import x509
from cryptography.hazmat.primitives.serialization import Encoding
from cryptography.x509.oid import ExtendedKeyUsageOID

import authenticode
import export
from text import Refused, escape, name, one_line_main

# Far above a certificate chain of ours.
MAX_PEM = 1 << 20


def pin_in_uri(uri):
    """Whether a PKCS#11 URI carries a PIN, as a token library reads it:
    percent-escapes decoded (once by the library; again here, to be safe
    from an escaped escape), no backslash meaning anything, any case."""
    value = uri.encode("utf-8", "surrogateescape")
    for _ in range(8):
        if b"pin-value" in value.lower():
            return True
        decoded = urllib.parse.unquote_to_bytes(value)
        if decoded == value:
            return False
        value = decoded
    return True  # escapes nested that deep are no one's honest URI


def secrets_placed(files):
    """A key or password inside a git working tree is one `git add -A` away
    from the repository, unless git ignores it. A file's other hard links
    are names no one can find from it: one of them could be in a tree."""
    for given in files:
        try:
            links = os.stat(given).st_nlink
        except OSError:
            links = 1  # openssl names what it cannot read
        if links > 1:
            raise Refused(f"{escape(given)} has {links} hard links, and one could lie inside a working tree,"
                          " where `git add -A` would publish it: copy it to a file with none, delete the others,"
                          " then sign again")
        relative = export.unignored(given)
        if relative is not None:
            raise Refused(f"{escape(relative)} is inside the working tree and git does not ignore it:"
                          " move it out (for example to ~/slotbench-keys), then sign again")


def before(uri, *files):
    if pin_in_uri(uri):
        raise Refused("the --key URI holds a PIN (pin-value): remove it from the URI and give the PIN with"
                      " --password-file")
    secrets_placed([f for f in files if f])


def read_certificate(path):
    with open(path, "rb") as f:
        pem = f.read(MAX_PEM)
    blocks = re.findall(rb"-----BEGIN CERTIFICATE-----.*?-----END CERTIFICATE-----", pem, re.S)
    if len(blocks) != 1:
        raise Refused(f"{len(blocks)} signing certificates where one is needed: give a key with one certificate")
    try:
        return x509.load_pem_x509_certificate(blocks[0])
    except ValueError:
        raise Refused("the signing certificate cannot be read")


def fingerprint(certificate):
    return hashlib.sha256(certificate.public_bytes(Encoding.DER)).hexdigest()


def certificate(path):
    cert = read_certificate(path)
    subject = name(cert.subject)
    try:
        usages = cert.extensions.get_extension_for_class(x509.ExtendedKeyUsage).value
    except x509.ExtensionNotFound:
        usages = []
    if ExtendedKeyUsageOID.CODE_SIGNING not in usages:
        raise Refused(f"the certificate of {subject} is not for code signing (no code-signing extended key usage):"
                      " use a code-signing certificate")
    now = datetime.datetime.utcnow()
    if cert.not_valid_after < now:
        raise Refused(f"the certificate of {subject} expired on {cert.not_valid_after:%Y-%m-%d %H:%M} UTC:"
                      " renew it with the CA")
    if cert.not_valid_before > now:
        raise Refused(f"the certificate of {subject} is valid only from {cert.not_valid_before:%Y-%m-%d %H:%M} UTC")
    print(subject)


def signed(path, unsigned, signed_folder, *programs):
    """Each program in signed_folder read as verify reads it: its copy in
    unsigned plus one signature that the certificate's key made."""
    expected = fingerprint(read_certificate(path))
    for program in programs:
        with open(os.path.join(signed_folder, program), "rb") as f:
            data = f.read(authenticode.MAX_SIZE + 1)
        try:
            signature = authenticode.check(data)
        except Refused as refusal:
            raise Refused(f"the signed {program}: {refusal}")
        with open(os.path.join(unsigned, program), "rb") as f:
            if signature.unsigned != f.read():
                raise Refused(f"the signed {program} is not its unsigned self plus a signature")
        if signature.signer_sha256 != expected:
            raise Refused(f"the signed {program} names another signer than the certificate given")
    print(expected)


def sha256_of(path):
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "sha256").digest()


def same(first, second):
    """Exit status 0 when both files hold the same bytes (by SHA-256): no
    cmp found on a PATH decides what is signed."""
    if sha256_of(first) != sha256_of(second):
        sys.exit(1)


COMMANDS = {"before": (before, 1), "certificate": (certificate, 1), "signed": (signed, 4), "same": (same, 2)}

if __name__ == "__main__":
    command, least = COMMANDS.get(sys.argv[1] if len(sys.argv) > 1 else "", (None, 0))
    if not command or len(sys.argv) < 2 + least:
        print(__doc__.strip(), file=sys.stderr)
        sys.exit(2)
    sys.exit(one_line_main("sign: ", lambda: command(*sys.argv[2:])))
