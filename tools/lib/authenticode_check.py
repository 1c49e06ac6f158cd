"""Checks that a signed Windows program's Authenticode signature is intact,
trusting no one: the program's bytes hash to the digest that was signed, and
the signature over it was made with the key of the certificate it names.
Whether that certificate deserves trust is another question (osslsigncode
verify against a CA answers it); without a CA this is what can be checked.
Prints the signer's certificate (PEM) to CERT_OUT.

  authenticode_check.py FILE CERT_OUT
"""
import hashlib
import os
import struct
import subprocess
import sys
import tempfile

# DER of the object identifiers met on the way.
OID_SIGNED_DATA = bytes.fromhex("2a864886f70d010702")
OID_INDIRECT_DATA = bytes.fromhex("2b060104018237020104")
OID_CONTENT_TYPE = bytes.fromhex("2a864886f70d010903")
OID_MESSAGE_DIGEST = bytes.fromhex("2a864886f70d010904")
DIGESTS = {
    bytes.fromhex("608648016503040201"): "sha256",
    bytes.fromhex("608648016503040202"): "sha384",
    bytes.fromhex("608648016503040203"): "sha512",
}


class Broken(Exception):
    pass


def element(der, pos):
    """(tag, start of the value, end, start of the tag) of the element at pos."""
    if pos + 2 > len(der):
        raise Broken("the signature is cut short")
    tag, length, start = der[pos], der[pos + 1], pos + 2
    if length & 0x80:
        count = length & 0x7F
        length = int.from_bytes(der[start:start + count], "big")
        start += count
    if start + length > len(der):
        raise Broken("the signature is cut short")
    return tag, start, start + length, pos


def children(der, node):
    _, pos, end, _ = node
    while pos < end:
        child = element(der, pos)
        yield child
        pos = child[2]


def expect(node, tag, what):
    if node[0] != tag:
        raise Broken(f"the signature's {what} is malformed")
    return node


def value(der, node):
    return der[node[1]:node[2]]


def encoded(der, node):
    return der[node[3]:node[2]]


def pe_digest(data, algorithm):
    """The Authenticode hash: all but the checksum, the certificate table's
    entry and the table itself, which must be the end of the file."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[:2] != b"MZ" or data[pe:pe + 4] != b"PE\0\0":
        raise Broken("not a Windows program")
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    if magic not in (0x10B, 0x20B):
        raise Broken("not a Windows program")
    checksum = optional + 64
    security = optional + (96 if magic == 0x10B else 112) + 4 * 8
    table, size = struct.unpack_from("<II", data, security)
    if not size:
        raise Broken("not signed")
    if table + size != len(data):
        raise Broken("bytes outside the signed part (after the signature)")
    length, revision, kind = struct.unpack_from("<IHH", data, table)
    if length > size or kind != 2:
        raise Broken("a certificate table that is not a PKCS#7 signature")
    h = hashlib.new(algorithm)
    h.update(data[:checksum])
    h.update(data[checksum + 4:security])
    h.update(data[security + 8:table])
    return h.digest(), data[table + 8:table + length]


def check(path, cert_out):
    with open(path, "rb") as f:
        data = f.read()
    _, der = pe_digest(data, "sha256")

    content_info = expect(element(der, 0), 0x30, "outer sequence")
    oid, signed = list(children(der, content_info))[:2]
    if value(der, expect(oid, 0x06, "type")) != OID_SIGNED_DATA:
        raise Broken("the signature is not PKCS#7 signed data")
    signed_data = expect(next(children(der, signed)), 0x30, "signed data")
    signed_fields = list(children(der, signed_data))
    inner = expect(signed_fields[2], 0x30, "content")
    certificates = [c for c in signed_fields[3:] if c[0] == 0xA0]
    signer_infos = expect(signed_fields[-1], 0x31, "signer infos")

    inner_type, inner_value = list(children(der, inner))[:2]
    if value(der, inner_type) != OID_INDIRECT_DATA:
        raise Broken("the signed content is not an Authenticode digest")
    indirect = expect(next(children(der, inner_value)), 0x30, "signed content")
    digest_info = list(children(der, indirect))[1]
    algorithm_id, signed_digest = list(children(der, digest_info))
    algorithm = DIGESTS.get(value(der, next(children(der, algorithm_id))))
    if not algorithm:
        raise Broken("a digest weaker than SHA-256, or unknown")
    if pe_digest(data, algorithm)[0] != value(der, signed_digest):
        raise Broken("the program's bytes are not the ones that were signed")

    infos = list(children(der, signer_infos))
    if len(infos) != 1:
        raise Broken("not exactly one signer")
    fields = list(children(der, infos[0]))
    issuer_and_serial, digest_algorithm, attributes = fields[1:4]
    expect(attributes, 0xA0, "signed attributes")
    encrypted = expect(fields[5], 0x04, "signature value")
    algorithm = DIGESTS.get(value(der, next(children(der, digest_algorithm))))
    if not algorithm:
        raise Broken("a digest weaker than SHA-256, or unknown")

    # Authenticode signs the content's value, without its tag and length.
    content_digest = hashlib.new(algorithm, value(der, indirect)).digest()
    found = {}
    for attribute in children(der, attributes):
        attr_type, attr_values = list(children(der, attribute))[:2]
        found[value(der, attr_type)] = value(der, next(children(der, attr_values)))
    if found.get(OID_CONTENT_TYPE) != OID_INDIRECT_DATA:
        raise Broken("the signed attributes name another content")
    if found.get(OID_MESSAGE_DIGEST) != content_digest:
        raise Broken("the signed attributes do not match the signed content")

    issuer, serial = (value(der, n) for n in children(der, issuer_and_serial))
    signer = None
    for certificate_set in certificates:
        for certificate in children(der, certificate_set):
            tbs = next(children(der, certificate))
            tbs_fields = list(children(der, tbs))
            if tbs_fields[0][0] == 0xA0:
                tbs_fields = tbs_fields[1:]
            cert_serial, cert_issuer = tbs_fields[0], tbs_fields[2]
            if value(der, cert_serial) == serial and value(der, cert_issuer) == issuer:
                signer = certificate
    if not signer:
        raise Broken("the signer's certificate is not in the signature")
    signer_der = encoded(der, signer)

    # What the key signed: the attributes, tagged as a SET.
    attributes_der = b"\x31" + encoded(der, attributes)[1:]
    with tempfile.TemporaryDirectory() as work:
        cert = os.path.join(work, "signer.der")
        key = os.path.join(work, "key.pem")
        signature = os.path.join(work, "signature")
        signed_part = os.path.join(work, "attributes")
        for name, content in ((cert, signer_der), (signature, value(der, encrypted)),
                              (signed_part, attributes_der)):
            with open(name, "wb") as f:
                f.write(content)
        run(["openssl", "x509", "-inform", "DER", "-in", cert, "-out", cert_out])
        run(["openssl", "x509", "-in", cert_out, "-noout", "-pubkey", "-out", key])
        if subprocess.run(["openssl", "dgst", "-" + algorithm, "-verify", key,
                           "-signature", signature, signed_part],
                          capture_output=True).returncode:
            raise Broken("the signature was not made with the signer's key")


def run(command):
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode:
        raise Broken(f"{' '.join(command[:2])}: {result.stderr.strip().splitlines()[-1:]}")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        print(__doc__.strip(), file=sys.stderr)
        sys.exit(2)
    try:
        check(*sys.argv[1:])
    except (Broken, OSError, IndexError, StopIteration, struct.error) as error:
        print(error or "the signature is malformed", file=sys.stderr)
        sys.exit(1)
