"""One Authenticode signature on a release program, accepted only when it can
be written again, byte for byte, from the few parts that may vary.

Our signing step (tools/release/sign_release.sh: osslsigncode, SHA-256, the
description "Slot Bench", a signing time or an RFC 3161 time-stamp) writes
one shape. check() takes from the file only what may differ between two
signatures of that shape -- the certificates, the signing time, the
signature value, one time-stamp token -- writes the whole signature again
from them and from the digest it computes itself, and compares bytes. Any
byte the rebuild does not write (a payload in a parameter, an extra
element, a longer integer, a second signer) is refused at the first
difference, named by the field of the rebuild that covers it. Only then are
keys, chains and times checked. The steps: read_signature,
rebuild_and_compare, key_and_usage, anchors_and_trust.

What may vary is held to one form too: the certificate lists (each its own
signer's chain, each certificate once, in the order our tools write), and
the time-stamp's fields within RFC 3161's ranges, its policy in minimal
DER, its signingTime within 2 s of its genTime, and its nonce, the one value
an asker chooses freely, at most 64 bits.

The signed attributes of that shape name no certificate: a signature is
tied to its signer's key, and to a certificate only by a chain to the CA
given (the CA's word for whose key it is) or by a pinned fingerprint.

  check(data, ca=None) -> Signature, or raises Refused (one line)
"""
import datetime
import hashlib
import os
import shutil
import subprocess
import tempfile
import warnings
from array import array
from dataclasses import dataclass

import pefile
from cryptography import x509
from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
from cryptography.x509.oid import ExtendedKeyUsageOID

from text import Refused, escape, name

MAX_SIZE = 16 << 20          # far above any program of a release (400 KB)
MAX_CERTIFICATES = 8         # in the signature and its time-stamp together
MAX_CERTIFICATE_SIZE = 16 << 10
# The whole signature: every certificate at its largest and a time-stamp
# token besides still fit, with room; ours are under 8 KB. Checked before
# any DER is read, so a file cannot make the rebuild copy megabytes.
MAX_SIGNATURE_SIZE = 256 << 10
MAX_CHAIN = 4
MAX_SYSTEM_ROOTS_SIZE = 4 << 20
SYSTEM_ROOTS = "/etc/ssl/certs/ca-certificates.crt"
WIN_CERT_REVISION_2_0 = 0x0200
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002


@dataclass(frozen=True)
class Signature:
    """signer_sha256 is of the signer's certificate, signer_key_sha256 of
    its public key (DER SubjectPublicKeyInfo). Only the key is tied to the
    signature: the signed attributes our signing tool writes name no
    certificate, so the signature can be listed with any certificate for the
    same key, and with a CA alone the signer's name is that CA's word for
    whose key made the signature. Only a pinned certificate fingerprint
    says it is the maintainer's certificate."""
    unsigned: bytes
    signer: x509.Certificate
    signer_sha256: str
    timestamp: "datetime.datetime | None"
    ca_sha256: "str | None"
    signer_key_sha256: "str | None" = None
    timestamper: "x509.Certificate | None" = None
    timestamper_sha256: "str | None" = None


# ---- reading DER: only to find the parts that may vary -------------------

class Node:
    """One TLV of the file's DER: its tag byte and where it lies."""
    __slots__ = ("buf", "tag", "start", "body", "end")

    def __init__(self, buf, tag, start, body, end):
        self.buf, self.tag, self.start, self.body, self.end = buf, tag, start, body, end

    @property
    def der(self):
        return bytes(self.buf[self.start:self.end])

    @property
    def content(self):
        return bytes(self.buf[self.body:self.end])


def read_tlv(buf, pos, end, where):
    """The TLV at pos, inside [pos, end). Definite lengths only, one-byte
    tags: our signing tool writes nothing else, and the rebuild would differ
    anyway; this only keeps the reading simple and bounded."""
    if pos + 2 > end:
        raise Refused(f"{where}: the signature's DER ends early at byte {pos}")
    tag, first = buf[pos], buf[pos + 1]
    if tag & 0x1F == 0x1F:
        raise Refused(f"{where}: a multi-byte tag at byte {pos} of the signature")
    if first < 0x80:
        length, body = first, pos + 2
    else:
        count = first & 0x7F
        if count == 0 or count > 4 or pos + 2 + count > end:
            raise Refused(f"{where}: an unreadable length at byte {pos} of the signature")
        length, body = int.from_bytes(buf[pos + 2:pos + 2 + count], "big"), pos + 2 + count
    if body + length > end:
        raise Refused(f"{where}: an element at byte {pos} of the signature runs past its container")
    return Node(buf, tag, pos, body, body + length)


def children(node, where, limit=16):
    """node's elements, in order; at most limit + 1 of them are read (enough
    to tell that there are too many, and the rebuild finds the rest): a
    SET of a million empty elements costs nothing."""
    out, pos = [], node.body
    while pos < node.end:
        if len(out) > limit:
            break
        child = read_tlv(node.buf, pos, node.end, where)
        out.append(child)
        pos = child.end
    return out


def first(nodes, tag, where, index=None):
    """The element with that tag (at that position, when given)."""
    if index is not None:
        if index < len(nodes) and nodes[index].tag == tag:
            return nodes[index]
    else:
        for n in nodes:
            if n.tag == tag:
                return n
    raise Refused(f"{where}: no element of tag {tag:#04x} where the shape has one")


def last(nodes, tag, where):
    for n in reversed(nodes):
        if n.tag == tag:
            return n
    raise Refused(f"{where}: no element of tag {tag:#04x} where the shape has one")


def oid_text(node):
    """The dotted form of an OBJECT IDENTIFIER, None for anything else (a
    last arc cut short, too). None too for one longer than any we know: a
    megabyte of continuation bytes would otherwise make an integer grow at
    every byte. Arcs written with leading 0x80 bytes read as their value;
    oid() writes them again in the minimal form, so a rebuild refuses them."""
    if node.tag != 0x06 or node.end - node.body > 32:
        return None
    body, arcs, value = node.content, [], 0
    for b in body:
        value = (value << 7) | (b & 0x7F)
        if not b & 0x80:
            arcs.append(value)
            value = 0
    if not body or body[-1] & 0x80:
        return None
    head = [min(arcs[0] // 40, 2)]
    head.append(arcs[0] - 40 * head[0])
    return ".".join(map(str, head + arcs[1:]))


def read_time(node, where):
    """A UTCTime or GeneralizedTime written to the second, with Z, as
    OpenSSL writes both. A UTCTime's year 50 to 99 is 19xx, 00 to 49 20xx
    (RFC 5280), not the C library's pivot at 69."""
    raw = node.content
    try:
        stamp = raw.decode("ascii")
        if node.tag == 0x17 and len(raw) == 13 and stamp[:2].isdigit():
            century = "19" if int(stamp[:2]) >= 50 else "20"
            when = datetime.datetime.strptime(century + stamp, "%Y%m%d%H%M%SZ")
        elif node.tag == 0x18 and len(raw) == 15:
            when = datetime.datetime.strptime(stamp, "%Y%m%d%H%M%SZ")
        else:
            raise ValueError
    except ValueError:
        raise Refused(f"{where}: a time at byte {node.start} of the signature not in the form our signing tool writes "
                      f"({escape(raw[:40])})") from None
    return when.replace(tzinfo=datetime.timezone.utc)


def read_int(node, where, max_bytes, tag=0x02):
    if node.tag != tag or not 1 <= node.end - node.body <= max_bytes:
        raise Refused(f"{where}: not an integer of at most {max_bytes} bytes at byte {node.start} of the signature")
    return int.from_bytes(node.content, "big", signed=True)


# ---- writing DER: the rebuild, with the name of every field it writes ----

class Field:
    """A TLV of the rebuild: a name for messages, and bytes or sub-fields."""
    __slots__ = ("name", "tag", "parts")

    def __init__(self, name, tag, *parts):
        self.name, self.tag, self.parts = name, tag, parts


def der_length(n):
    if n < 0x80:
        return bytes([n])
    raw = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(raw)]) + raw


def encode(field, where=None):
    """field's DER. where, when given, gets id(field) -> (start, end) for
    every field, for comparing with the file. Sizes first, then one write:
    linear in the output."""
    sizes = {}

    def size(f):
        content = sum(size(p) if isinstance(p, Field) else len(p) for p in f.parts)
        sizes[id(f)] = content
        return 1 + len(der_length(content)) + content

    def write(f, out):
        begin = len(out)
        out.append(f.tag)
        out += der_length(sizes[id(f)])
        for p in f.parts:
            if isinstance(p, Field):
                write(p, out)
            else:
                out += p
        if where is not None:
            where[id(f)] = (begin, len(out))

    size(field)
    out = bytearray()
    write(field, out)
    return bytes(out)


def difference(field, rebuilt, where, buf, pos, end):
    """Where the file's element at pos first departs from field (as written
    in rebuilt): (offset, what), or None when it is the same bytes. Walks
    the rebuild's fields alongside the file's elements, so the answer names
    the field, or the element the rebuild has no place for."""
    begin, finish = where[id(field)]
    if buf[pos:pos + finish - begin] == rebuilt[begin:finish]:
        return None
    if pos >= end:
        return pos, f"{field.name} is missing"
    try:
        node = read_tlv(buf, pos, end, field.name)
    except Refused:
        return pos, f"{field.name}: unreadable DER where it belongs"
    if node.tag != field.tag:
        return pos, f"{field.name}: tag {node.tag:#04x} where the rebuild has {field.tag:#04x}"
    at = node.body
    nested = any(isinstance(p, Field) for p in field.parts)
    previous = None
    for part in field.parts:
        if isinstance(part, Field):
            found = difference(part, rebuilt, where, buf, at, node.end)
            if found:
                return found
            at += where[id(part)][1] - where[id(part)][0]
            previous = part.name
        else:
            chunk = bytes(buf[at:at + len(part)])
            if chunk != part:
                offset = at + next((i for i, (a, b) in enumerate(zip(chunk, part)) if a != b),
                                   min(len(chunk), len(part)))
                return offset, field.name
            at += len(part)
    if at < node.end:
        if nested and previous:
            return at, f"an element after {previous} inside {field.name}, where the rebuild has none"
        return at, f"{field.name}: {node.end - node.body} bytes of content where the rebuild has {at - node.body}"
    return node.start, f"{field.name}: its length not in the minimal form"


def raw(name, der):
    """A TLV taken whole (a certificate, a name): a field of its own."""
    node = read_tlv(der, 0, len(der), name)
    return Field(name, node.tag, der[node.body:node.end])


def integer(name, value):
    length = max(1, (value.bit_length() + 8) // 8)
    return Field(name, 0x02, value.to_bytes(length, "big", signed=True))


def oid(name, dotted):
    arcs = [int(a) for a in dotted.split(".")]
    body = bytearray()
    for arc in [40 * arcs[0] + arcs[1]] + arcs[2:]:
        chunk = [arc & 0x7F]
        arc >>= 7
        while arc:
            chunk.append(0x80 | (arc & 0x7F))
            arc >>= 7
        body += bytes(reversed(chunk))
    return Field(name, 0x06, bytes(body))


def time_field(name, when, generalized=False):
    if generalized or not 1950 <= when.year < 2050:
        return Field(name, 0x18, when.strftime("%Y%m%d%H%M%SZ").encode())
    return Field(name, 0x17, when.strftime("%y%m%d%H%M%SZ").encode())


def algorithm(name, dotted, null):
    """An AlgorithmIdentifier: OpenSSL writes NULL parameters for digests
    and RSA, none for ECDSA."""
    if null:
        return Field(name, 0x30, oid(name + ".algorithm", dotted), Field(name + ".parameters", 0x05))
    return Field(name, 0x30, oid(name + ".algorithm", dotted))


OID = {
    "signed_data": "1.2.840.113549.1.7.2",
    "spc_indirect_data": "1.3.6.1.4.1.311.2.1.4",
    "spc_pe_image_data": "1.3.6.1.4.1.311.2.1.15",
    "spc_statement_type": "1.3.6.1.4.1.311.2.1.11",
    "spc_individual": "1.3.6.1.4.1.311.2.1.21",
    "spc_sp_opus_info": "1.3.6.1.4.1.311.2.1.12",
    "content_type": "1.2.840.113549.1.9.3",
    "message_digest": "1.2.840.113549.1.9.4",
    "signing_time": "1.2.840.113549.1.9.5",
    "rfc3161_time_stamp": "1.3.6.1.4.1.311.3.3.1",
    "tst_info": "1.2.840.113549.1.9.16.1.4",
    "signing_certificate": "1.2.840.113549.1.9.16.2.12",
    "signing_certificate_v2": "1.2.840.113549.1.9.16.2.47",
    "rsa": "1.2.840.113549.1.1.1",
}
DIGESTS = {  # OID: (hashlib name, cryptography hash, ECDSA signature OID)
    "2.16.840.1.101.3.4.2.1": ("sha256", hashes.SHA256, "1.2.840.10045.4.3.2"),
    "2.16.840.1.101.3.4.2.2": ("sha384", hashes.SHA384, "1.2.840.10045.4.3.3"),
    "2.16.840.1.101.3.4.2.3": ("sha512", hashes.SHA512, "1.2.840.10045.4.3.4"),
}
SHA256 = "2.16.840.1.101.3.4.2.1"
# SpcPeImageData as osslsigncode writes it: the include-resources flag and
# the "<<<Obsolete>>>" file link (BMPString) that Authenticode expects.
PE_IMAGE_DATA = bytes.fromhex("03020780" "a020a21e801c" "003c003c003c004f00620073006f006c006500740065003e003e003e")
PROGRAM_NAME = b"Slot Bench"


def signature_algorithm(name, key, digest_oid):
    if isinstance(key, rsa.RSAPublicKey):
        return algorithm(name, OID["rsa"], True)
    if isinstance(key, ec.EllipticCurvePublicKey):
        return algorithm(name, DIGESTS[digest_oid][2], False)
    raise Refused(f"{name}: a key that is neither RSA nor ECDSA")


def attribute(name, dotted, *values):
    return Field(name, 0x30, oid(name + ".type", dotted), Field(name + ".values", 0x31, *values))


def ordered(name, tag, attributes, found):
    """The attributes the shape has, in the order the file has them (the
    signer chose it; the signature covers it), then any the file lacks: so
    a missing, repeated or foreign attribute is a difference."""
    wanted = dict(attributes)
    parts = []
    for dotted in found:
        if dotted in wanted:
            parts.append(wanted.pop(dotted))
    parts.extend(wanted.values())
    return Field(name, tag, *parts)


def signing_time(attributes, where):
    """The value of the first signingTime attribute, if any."""
    for attr in children(attributes, where):
        parts = children(attr, where) if attr.tag == 0x30 else []
        if len(parts) > 1 and oid_text(parts[0]) == OID["signing_time"] and parts[1].end > parts[1].body:
            return read_time(children(parts[1], where)[0], where)
    return None


def der_sorted(node, where):
    """Refused unless the SET OF's elements are in DER's order: ascending
    by their encodings, the shorter padded with zeros (X.690 11.6). The
    signer could sign them in any order, and the order would then be bytes
    of the signer's choosing; OpenSSL writes them sorted."""
    encodings = [item.der for item in children(node, where, limit=16)]
    for index, (one, other) in enumerate(zip(encodings, encodings[1:]), 1):
        size = max(len(one), len(other))
        if one.ljust(size, b"\0") > other.ljust(size, b"\0"):
            raise Refused(f"{where}: its signed attributes are not in DER's order (sorted by their encodings, the "
                          f"one order our signing tool writes): attribute {index + 1} sorts before attribute {index}")


def attribute_oids(node, where):
    der_sorted(node, where)
    found = []
    for attr in children(node, where, limit=16):
        inner = children(attr, where) if attr.tag == 0x30 else []
        found.append(oid_text(inner[0]) if inner else None)
    return found


# ---- certificates --------------------------------------------------------

class Cert:
    """A listed certificate: its bytes, cryptography's reading, and the raw
    names and serial number the chain and the SignerInfo match on."""

    def __init__(self, der, where):
        self.der = der
        try:
            self.x509 = x509.load_der_x509_certificate(der)
            # Read now what is read later: the parser reads some parts lazily.
            self.key = self.x509.public_key()
            for part in (self.x509.subject, self.x509.issuer, self.x509.extensions, self.x509.not_valid_before,
                         self.x509.not_valid_after, self.x509.signature_hash_algorithm):
                del part
            self.x509.subject.rfc4514_string()
        except Exception as error:  # any fault of a parser given hostile bytes
            raise Refused(f"{where}: a certificate that does not parse "
                          f"({escape(' '.join(str(error).split())[:80])})") from None
        outer = children(read_tlv(der, 0, len(der), where), where)
        tbs, signature = outer[0], outer[2]
        fields = children(tbs, where)
        i = 1 if fields and fields[0].tag == 0xA0 else 0
        self.serial, self.issuer, self.subject = fields[i].der, fields[i + 2].der, fields[i + 4].der
        # Outside its signed part a certificate has only the algorithm, which
        # must repeat the signed one, and the signature value: written again
        # from those, no other byte of it can vary unseen.
        self.tbs, self.algorithm = tbs.der, fields[i + 1].der
        self.signature_bits = signature.content[1:] if signature.tag == 0x03 else b""
        self.sha256 = hashlib.sha256(der).hexdigest()

    def rebuilt(self, name):
        return Field(name, 0x30, raw(name + ".tbsCertificate", self.tbs),
                     raw(name + ".signatureAlgorithm", self.algorithm),
                     Field(name + ".signatureValue", 0x03, b"\0" + self.signature_bits))

    def label(self):
        return f"{name(self.x509.subject)} (SHA-256 {self.sha256})"


def verify(key, signature, message, hash_class):
    try:
        if isinstance(key, rsa.RSAPublicKey):
            key.verify(signature, message, padding.PKCS1v15(), hash_class())
        elif isinstance(key, ec.EllipticCurvePublicKey):
            key.verify(signature, message, ec.ECDSA(hash_class()))
        else:
            return False
    except (InvalidSignature, UnsupportedAlgorithm, ValueError):
        return False
    return True


def issued_by(cert, issuer):
    """cert names issuer's subject as its issuer and issuer's key made its
    signature."""
    algorithm_ = cert.x509.signature_hash_algorithm
    return cert.issuer == issuer.subject and algorithm_ is not None and \
        type(algorithm_) in (hashes.SHA256, hashes.SHA384, hashes.SHA512) and \
        verify(issuer.x509.public_key(), cert.x509.signature, cert.x509.tbs_certificate_bytes, type(algorithm_))


def may_issue(cert):
    try:
        if not cert.x509.extensions.get_extension_for_class(x509.BasicConstraints).value.ca:
            return False
    except x509.ExtensionNotFound:
        return False
    except ValueError:
        return False
    try:
        return cert.x509.extensions.get_extension_for_class(x509.KeyUsage).value.key_cert_sign
    except x509.ExtensionNotFound:
        return True


def chain_of(leaf, listed, who):
    """leaf and the certificates above it in the list: each issuer looked up
    once by name in an index made once, its signature checked, at most
    MAX_CHAIN deep. A name held by two different certificates is refused
    rather than searched."""
    by_subject = {}
    for cert in listed:
        by_subject.setdefault(cert.subject, []).append(cert)
    chain = [leaf]
    while True:
        top = chain[-1]
        if top.issuer == top.subject:
            if not issued_by(top, top):
                raise Refused(f"the {who}'s root {top.label()} does not verify with its own key")
            return chain
        found = {c.der: c for c in by_subject.get(top.issuer, ())}
        if not found:
            return chain
        if len(found) > 1:
            raise Refused(f"{len(found)} certificates named as the issuer of {top.label()} in the {who}'s list")
        issuer = next(iter(found.values()))
        if not issued_by(top, issuer):
            raise Refused(f"{top.label()} is not issued by the listed certificate of its issuer's name, "
                          f"{issuer.label()}")
        if not may_issue(issuer):
            raise Refused(f"{issuer.label()} issued {top.label()} but is not a CA certificate")
        if len(chain) == MAX_CHAIN:
            raise Refused(f"the {who}'s chain is more than {MAX_CHAIN} certificates deep")
        chain.append(issuer)


def has_usage(cert, usage, critical=False):
    try:
        extension = cert.x509.extensions.get_extension_for_class(x509.ExtendedKeyUsage)
    except (x509.ExtensionNotFound, ValueError):
        return False
    return usage in extension.value and (extension.critical or not critical)


# The extensions a certificate of a chain is held to. These five are read
# and applied below; any other one is let be only when it is not critical
# (CRL distribution points, authority information access, certificate
# policies: where to look, not what is allowed). A critical one that is not
# applied here -- name constraints, policy constraints, an OID unknown to
# this check -- limits what its certificate may be trusted for in a way this
# check cannot honour, so the certificate is not trusted at all.
APPLIED = {
    x509.ExtensionOID.BASIC_CONSTRAINTS: "basicConstraints",
    x509.ExtensionOID.KEY_USAGE: "keyUsage",
    x509.ExtensionOID.EXTENDED_KEY_USAGE: "extendedKeyUsage",
    x509.ExtensionOID.SUBJECT_KEY_IDENTIFIER: "subjectKeyIdentifier",
    x509.ExtensionOID.AUTHORITY_KEY_IDENTIFIER: "authorityKeyIdentifier",
}
# For messages only: what the critical ones most often met are called.
KNOWN_NAMES = {
    "2.5.29.30": "nameConstraints", "2.5.29.36": "policyConstraints", "2.5.29.54": "inhibitAnyPolicy",
    "2.5.29.32": "certificatePolicies", "2.5.29.31": "cRLDistributionPoints", "2.5.29.17": "subjectAltName",
    "2.5.29.18": "issuerAltName", "2.5.29.33": "policyMappings", "1.3.6.1.5.5.7.1.1": "authorityInfoAccess",
}
PURPOSES = {ExtendedKeyUsageOID.CODE_SIGNING: "code signing", ExtendedKeyUsageOID.TIME_STAMPING: "time-stamping"}


def extension(cert, kind):
    try:
        return cert.x509.extensions.get_extension_for_class(kind)
    except x509.ExtensionNotFound:
        return None


def check_path(path, purpose, who):
    """path: the end certificate (a code signer or a time-stamp authority,
    by purpose), the certificates above it, and the anchor that issued the
    top one when there is one. Each certificate must carry only extensions
    applied here, or non-critical ones; the end certificate is no CA, may
    sign (keyUsage) for purpose (extendedKeyUsage; a time-stamp authority's
    critical and for time-stamping only); every issuer is a CA that may sign
    certificates, whose extended key usage, if it has one, allows purpose,
    below which no more CAs stand than its path length allows, and whose
    key identifier is the one its subject names, when both give one."""
    def refuse(cert, what):
        raise Refused(f"in the {who} chain, the certificate {cert.label()}: {what}")

    for cert in path:
        for ext in cert.x509.extensions:
            if ext.critical and ext.oid not in APPLIED:
                dotted = ext.oid.dotted_string
                refuse(cert, f"a critical extension {KNOWN_NAMES.get(dotted, 'unknown to this check')} ({dotted}) "
                             "that this check does not apply")
    for depth, cert in enumerate(path):
        constraints = extension(cert, x509.BasicConstraints)
        usage = extension(cert, x509.KeyUsage)
        purposes = extension(cert, x509.ExtendedKeyUsage)
        if depth == 0:
            if constraints is not None and constraints.value.ca:
                refuse(cert, "basicConstraints makes it a CA, not a certificate to sign with")
            if usage is not None and not usage.value.digital_signature:
                refuse(cert, "keyUsage without digitalSignature")
            if purposes is None or purpose not in purposes.value:
                refuse(cert, f"extendedKeyUsage without {PURPOSES[purpose]}")
            if purpose == ExtendedKeyUsageOID.TIME_STAMPING and \
                    (not purposes.critical or list(purposes.value) != [purpose]):
                refuse(cert, "extendedKeyUsage not critical and for time-stamping only")
            continue
        if constraints is None or not constraints.value.ca:
            refuse(cert, "issues certificates but basicConstraints does not make it a CA")
        if usage is not None and not usage.value.key_cert_sign:
            refuse(cert, "issues certificates but keyUsage has no keyCertSign")
        if purposes is not None and purpose not in purposes.value:
            refuse(cert, f"an extendedKeyUsage for its subjects that excludes {PURPOSES[purpose]}")
        limit = constraints.value.path_length
        # CAs between it and the end certificate; a CA's certificate for
        # its own new key (self-issued) does not count.
        below = sum(1 for c in path[1:depth] if c.issuer != c.subject)
        if limit is not None and below > limit:
            refuse(cert, f"basicConstraints pathLen {limit}, with {below} CA certificates below it")
    for cert, issuer in zip(path, path[1:]):
        if cert.der == issuer.der:
            continue
        names = extension(cert, x509.AuthorityKeyIdentifier)
        own = extension(issuer, x509.SubjectKeyIdentifier)
        if names is None:
            continue
        if names.value.key_identifier is not None and own is not None and \
                names.value.key_identifier != own.value.digest:
            refuse(cert, f"authorityKeyIdentifier {names.value.key_identifier.hex()} is not the "
                         f"subjectKeyIdentifier {own.value.digest.hex()} of its issuer {issuer.label()}")
        if names.value.authority_cert_serial_number is not None and \
                names.value.authority_cert_serial_number != issuer.x509.serial_number:
            refuse(cert, f"authorityKeyIdentifier names a serial number other than its issuer's, {issuer.label()}")


def valid_at(cert, when):
    return cert.x509.not_valid_before.replace(tzinfo=datetime.timezone.utc) <= when <= \
        cert.x509.not_valid_after.replace(tzinfo=datetime.timezone.utc)


def anchored(chain, anchors, when, who):
    """The chain ends at one of anchors (byte for byte) or at a certificate
    one of them issued; every certificate of it valid at when."""
    top = chain[-1]
    anchor = anchors.get(top.der)
    if anchor is None:
        for candidate in anchors.by_subject(top.issuer):
            if issued_by(top, candidate) and may_issue(candidate):
                anchor = candidate
                break
    if anchor is None:
        return None
    for cert in chain + [anchor]:
        if not valid_at(cert, when):
            raise Refused(f"the {who} certificate {cert.label()} is not valid at {when:%Y-%m-%d %H:%M:%S} UTC "
                          f"(valid {cert.x509.not_valid_before:%Y-%m-%d %H:%M:%S} to "
                          f"{cert.x509.not_valid_after:%Y-%m-%d %H:%M:%S} UTC)")
    return anchor


class Anchors:
    def __init__(self, certs):
        self.by_der = {c.der: c for c in certs}
        self.index = {}
        for c in certs:
            self.index.setdefault(c.subject, []).append(c)

    def get(self, der):
        return self.by_der.get(der)

    def by_subject(self, subject):
        return self.index.get(subject, ())


class SystemRoots(Anchors):
    """The system's roots, read once and bounded; each parsed only when its
    name matches (a hundred-odd certificates are not worth parsing all)."""

    def __init__(self, path=SYSTEM_ROOTS):
        self.by_der, self.index, self.parsed = {}, {}, {}
        try:
            with open(path, "rb") as f:
                pem = f.read(MAX_SYSTEM_ROOTS_SIZE + 1)
        except OSError:
            return
        if len(pem) > MAX_SYSTEM_ROOTS_SIZE:
            raise Refused(f"{escape(path)} is over {MAX_SYSTEM_ROOTS_SIZE >> 20} MiB: not read")
        import base64
        for block in pem.split(b"-----BEGIN CERTIFICATE-----")[1:]:
            body = block.split(b"-----END CERTIFICATE-----")[0]
            try:
                der = base64.b64decode(b"".join(body.split()), validate=True)
                tbs = children(read_tlv(der, 0, len(der), "root"), "root")[0]
                fields = children(tbs, "root")
                i = 1 if fields[0].tag == 0xA0 else 0
                subject = fields[i + 4].der
            except (Refused, ValueError, IndexError):
                continue
            self.by_der[der] = None
            self.index.setdefault(subject, []).append(der)

    def _cert(self, der):
        if der not in self.parsed:
            try:
                self.parsed[der] = Cert(der, "system root")
            except Refused:
                self.parsed[der] = None
        return self.parsed[der]

    def get(self, der):
        return self._cert(der) if der in self.by_der else None

    def by_subject(self, subject):
        return [c for c in (self._cert(d) for d in self.index.get(subject, ())) if c is not None]


class Both(Anchors):
    def __init__(self, *sets):
        self.sets = sets

    def get(self, der):
        return next((c for s in self.sets if (c := s.get(der)) is not None), None)

    def by_subject(self, subject):
        return [c for s in self.sets for c in s.by_subject(subject)]


def listed_certificates(node, where, budget):
    """The certificates of a [0] list, as read; the count is capped before
    any of them is parsed."""
    items = children(node, where, limit=budget)
    if len(items) > budget:
        raise Refused(f"{where}: more than {MAX_CERTIFICATES} certificates in the signature")
    for item in items:
        if item.end - item.start >= MAX_CERTIFICATE_SIZE:
            raise Refused(f"{where}: a certificate of {item.end - item.start} bytes at byte {item.start} "
                          f"of the signature (under {MAX_CERTIFICATE_SIZE} only)")
        if item.tag != 0x30:
            raise Refused(f"{where}: something other than a certificate at byte {item.start} of the signature")
    return items


def named_signer(sid, listed, who):
    """The one listed certificate whose issuer and serial number the
    SignerInfo gives."""
    parts = children(sid, who) if sid.tag == 0x30 else []
    if len(parts) < 2:
        raise Refused(f"the {who} is not named by issuer and serial number")
    issuer, serial = parts[0].der, parts[1].der
    named = [c for c in {c.der: c for c in listed}.values() if c.issuer == issuer and c.serial == serial]
    if len(named) != 1:
        raise Refused(f"{len(named)} certificates with the {who}'s issuer and serial number")
    return named[0]


# ---- the PE file ---------------------------------------------------------

def pe_checksum(data, checksum_at, zeroed=()):
    """The PE checksum: the 16-bit one's-complement sum of the file with its
    checksum field (and the ranges zeroed) as zero, plus the file's length.
    Summed in C a MiB at a time: a 16 MiB file costs milliseconds and no
    copy of itself."""
    view, total = memoryview(data), 0
    even = len(view) & ~1
    for begin in range(0, even, 1 << 20):
        words = array("H")
        words.frombytes(view[begin:min(begin + (1 << 20), even)])
        if words.itemsize != 2:
            raise Refused("no 16-bit array type on this machine")
        if array("H", b"\1\0")[0] != 1:
            words.byteswap()
        total += sum(words)
    if len(view) & 1:
        total += view[-1]
    # What counts as zero taken out again, wherever its bytes fall in words.
    for begin, end in ((checksum_at, checksum_at + 4), *zeroed):
        total -= sum(view[at] << (8 * (at & 1)) for at in range(begin, min(end, len(view))))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(view)) & 0xFFFFFFFF


def certificate_table(data):
    """Where the table's one signature lies: the checksum's offset, the
    security directory entry's offset, the table's start and end."""
    try:
        pe = pefile.PE(data=data, fast_load=True)
        header = pe.OPTIONAL_HEADER
        if header.NumberOfRvaAndSizes <= 4:
            raise Refused("not signed: the program has no security directory")
        security = header.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
        checksum_at, entry_at = header.get_file_offset() + 0x40, security.get_file_offset()
        start, size, checksum = security.VirtualAddress, security.Size, header.CheckSum
        pe.close()
    except pefile.PEFormatError as error:
        raise Refused(f"not a Windows program ({escape(' '.join(str(error).split()))})") from None
    if not size:
        raise Refused("not signed: no certificate table")
    if start + size != len(data):
        raise Refused(f"a certificate table at {start} of {size} bytes in a file of {len(data)}: "
                      "it must end the file, with nothing after it")
    if size > 8 + MAX_SIGNATURE_SIZE:
        raise Refused(f"a certificate table of {size} bytes: over {MAX_SIGNATURE_SIZE >> 10} KiB, larger than any "
                      "signature our signing tool writes")
    if start % 8 or size < 16 or entry_at + 8 > start or checksum_at + 4 > entry_at:
        raise Refused(f"a certificate table at {start} of {size} bytes: not an 8-aligned entry after the headers")
    length, revision, kind = (int.from_bytes(data[start + a:start + b], "little") for a, b in ((0, 4), (4, 6), (6, 8)))
    if length != size:
        raise Refused(f"a certificate table of {size} bytes whose first entry claims {length}: not exactly one entry")
    if revision != WIN_CERT_REVISION_2_0 or kind != WIN_CERT_TYPE_PKCS_SIGNED_DATA:
        raise Refused(f"a certificate table entry of revision {revision:#06x}, type {kind}: not a PKCS#7 signature")
    expected = pe_checksum(data, checksum_at)
    if checksum != expected:
        raise Refused(f"PE checksum {checksum:#010x}, not {expected:#010x}")
    return checksum_at, entry_at, start, size


def authenticode_digest(data, checksum_at, entry_at, start):
    """SHA-256 of all the file but its checksum, the security directory
    entry and the certificate table."""
    view = memoryview(data)
    h = hashlib.sha256()
    for part in (view[:checksum_at], view[checksum_at + 4:entry_at], view[entry_at + 8:start]):
        h.update(part)
    return h.digest()


def without_signature(data, checksum_at, entry_at, start):
    """The program as it was before signing: no table, no directory entry,
    and the checksum of what remains, as the build writes it. Made in one
    copy: the program may be 16 MiB."""
    view = memoryview(data)[:start]
    checksum = pe_checksum(view, checksum_at, ((entry_at, entry_at + 8),)).to_bytes(4, "little")
    return b"".join((view[:checksum_at], checksum, view[checksum_at + 4:entry_at], bytes(8),
                     view[entry_at + 8:]))


# ---- the time-stamp ------------------------------------------------------

# RFC 3161's ranges; seconds, unbounded there, held to what a 32-bit signed
# integer holds at or above zero.
ACCURACY = {"seconds": (0, (1 << 31) - 1), "millis": (1, 999), "micros": (1, 999)}
# OpenSSL's responder reads genTime and, signing, the signingTime from two
# clocks (measured: the same second, or the one before); 2 s either way
# leaves a slow responder room, and a chosen time none.
MAX_SIGNING_TIME_OFFSET = datetime.timedelta(seconds=2)


def accuracy_part(node, label, where):
    low, high = ACCURACY[label]
    value = read_int(node, where, 4, node.tag)
    if not low <= value <= high:
        raise Refused(f"{where}: accuracy {label} {value}, outside {low} to {high}")
    return value


class TimeStamp:
    """An RFC 3161 token read from the file and written again in the shape
    OpenSSL's time-stamp responder writes (osslsigncode -ts stores the
    responder's token as it comes) set to ordering = no,
    clock_precision_digits = 0 and ess_cert_id_chain = no, asked with
    certReq: SignedData version 3 over one TSTInfo, the responder's chain,
    one SignerInfo by issuer and serial with contentType, signingTime, an ESS
    signing-certificate and messageDigest, no unsigned attributes, no CRLs."""

    def __init__(self, token, outer_signature, budget):
        where = "time-stamp"
        top = children(token, where) if token.tag == 0x30 else []
        signed_data = children(first(top, 0xA0, where, 1), where)
        sd = children(signed_data[0], where) if signed_data and signed_data[0].tag == 0x30 else []
        infos = children(last(sd, 0x31, where), where)
        if not infos:
            raise Refused(f"{where}: no SignerInfo")
        info = children(infos[0], where)
        algo = children(info[2], where) if len(info) > 2 and info[2].tag == 0x30 else []
        digest_oid = oid_text(algo[0]) if algo else None
        self.digest_oid = digest_oid if digest_oid in DIGESTS else SHA256
        self.hash_name, self.hash_class = DIGESTS[self.digest_oid][:2]
        certs_node = next((n for n in sd[3:4] if n.tag == 0xA0), None)
        items = listed_certificates(certs_node, where, budget) if certs_node else []
        self.listed = [Cert(i.der, where) for i in items]
        self.signer = named_signer(info[1] if len(info) > 1 else token, self.listed, "time-stamp's signer")
        encap = children(first(sd, 0x30, where, 2), where)
        wrapped = children(first(encap, 0xA0, where, 1), where)
        tst = first(wrapped, 0x04, where, 0)
        self.read_tst_info(tst, outer_signature)
        attrs = first(info, 0xA0, where, 3)
        self.attr_oids = attribute_oids(attrs, where)
        self.signing_time = signing_time(attrs, where)
        if self.signing_time is not None and abs(self.signing_time - self.time) > MAX_SIGNING_TIME_OFFSET:
            raise Refused(f"{where}: a signingTime of {self.signing_time:%Y-%m-%d %H:%M:%S} UTC, more than "
                          f"{MAX_SIGNING_TIME_OFFSET.seconds} s from its genTime {self.time:%Y-%m-%d %H:%M:%S} UTC")
        self.signature = first(info, 0x04, where, 5).content

    def read_tst_info(self, tst, outer_signature):
        """The TSTInfo's fields that vary, and the rest of it as written by
        OpenSSL: version 1, the imprint of the outer signature value, a
        genTime to the second, no ordering flag, no extensions."""
        where = "time-stamp's TSTInfo"
        node = read_tlv(tst.buf, tst.body, tst.end, where)
        fields = children(node, where, limit=12)
        if len(fields) < 5:
            raise Refused(f"{where}: fewer fields than a TSTInfo has")
        policy = oid_text(fields[1])
        if policy is None:
            raise Refused(f"{where}: a policy that is not an object identifier of at most 32 bytes")
        imprint = children(fields[2], where) if fields[2].tag == 0x30 else []
        imprint_alg = children(imprint[0], where) if imprint and imprint[0].tag == 0x30 else []
        imprint_oid = oid_text(imprint_alg[0]) if imprint_alg else None
        imprint_oid = imprint_oid if imprint_oid in DIGESTS else SHA256
        # RFC 3161: a positive serial number of at most 20 octets.
        self.serial = read_int(fields[3], where, 20)
        if self.serial < 1:
            raise Refused(f"{where}: the serial number {self.serial} is not positive")
        self.time = read_time(fields[4], where)
        optional = {f.tag: f for f in reversed(fields[5:])}
        parts = [
            integer("TSTInfo.version", 1),
            oid("TSTInfo.policy", policy),
            Field("TSTInfo.messageImprint", 0x30, algorithm("TSTInfo.messageImprint.hashAlgorithm", imprint_oid, True),
                  Field("TSTInfo.messageImprint.hashedMessage", 0x04,
                        hashlib.new(DIGESTS[imprint_oid][0], outer_signature).digest())),
            integer("TSTInfo.serialNumber", self.serial),
            time_field("TSTInfo.genTime", self.time, generalized=True),
        ]
        if 0x30 in optional:
            accuracy = {f.tag: f for f in reversed(children(optional[0x30], where, limit=4))}
            parts.append(Field("TSTInfo.accuracy", 0x30, *(
                Field(f"TSTInfo.accuracy.{label}", tag,
                      integer("", accuracy_part(accuracy[tag], label, where)).parts[0])
                for tag, label in ((0x02, "seconds"), (0x80, "millis"), (0x81, "micros")) if tag in accuracy)))
        if 0x02 in optional:
            # The one value the asker chooses freely: our signing tool asks
            # with a random 64-bit number, and no more room is left to anyone.
            nonce = read_int(optional[0x02], where, 9)
            if nonce < 0:
                raise Refused(f"{where}: a negative nonce")
            if nonce >= 1 << 64:
                raise Refused(f"{where}: a nonce of {nonce.bit_length()} bits, over 64")
            parts.append(integer("TSTInfo.nonce", nonce))
        # The responder's name, when given, is its certificate's subject.
        if 0xA0 in optional:
            parts.append(Field("TSTInfo.tsa", 0xA0, Field("TSTInfo.tsa.directoryName", 0xA4,
                                                          raw("TSTInfo.tsa.name", self.signer.subject))))
        self.tst_parts = parts

    def rebuild(self):
        self.tst_der = encode(Field("TSTInfo", 0x30, *self.tst_parts))
        digest = hashlib.new(self.hash_name, self.tst_der).digest()
        algo = lambda name: algorithm(name, self.digest_oid, True)  # noqa: E731
        cert_hash = [("signing_certificate", Field(
            "token.signingCertificate", 0x30, Field("ESSCertIDs", 0x30, Field(
                "ESSCertID", 0x30, Field("ESSCertID.certHash", 0x04, hashlib.sha1(self.signer.der).digest())))))]
        if OID["signing_certificate_v2"] in self.attr_oids:
            cert_hash = [("signing_certificate_v2", Field(
                "token.signingCertificateV2", 0x30, Field("ESSCertIDv2s", 0x30, Field(
                    "ESSCertIDv2", 0x30, Field("ESSCertIDv2.certHash", 0x04,
                                               hashlib.sha256(self.signer.der).digest())))))]
        attributes = [(OID["content_type"], attribute("token.contentType", OID["content_type"],
                                                      oid("token.contentType.value", OID["tst_info"])))]
        attributes.append((OID["signing_time"], attribute(
            "token.signingTime", OID["signing_time"],
            time_field("token.signingTime.value", self.signing_time or self.time))))
        for key, value in cert_hash:
            attributes.append((OID[key], attribute(value.name, OID[key], value)))
        attributes.append((OID["message_digest"], attribute(
            "token.messageDigest", OID["message_digest"], Field("token.messageDigest.value", 0x04, digest))))
        self.signed_attrs = ordered("token.SignerInfo.signedAttrs", 0xA0, attributes, self.attr_oids)
        signer_info = Field(
            "token.SignerInfo", 0x30,
            integer("token.SignerInfo.version", 1),
            Field("token.SignerInfo.sid", 0x30, raw("token.SignerInfo.sid.issuer", self.signer.issuer),
                  raw("token.SignerInfo.sid.serialNumber", self.signer.serial)),
            algo("token.SignerInfo.digestAlgorithm"),
            self.signed_attrs,
            signature_algorithm("token.SignerInfo.signatureAlgorithm", self.signer.x509.public_key(), self.digest_oid),
            Field("token.SignerInfo.signature", 0x04, self.signature))
        return Field(
            "token", 0x30, oid("token.contentType", OID["signed_data"]),
            Field("token.content", 0xA0, Field(
                "token.SignedData", 0x30,
                integer("token.SignedData.version", 3),
                Field("token.SignedData.digestAlgorithms", 0x31, algo("token.SignedData.digestAlgorithm")),
                Field("token.encapContentInfo", 0x30, oid("token.eContentType", OID["tst_info"]),
                      Field("token.eContent", 0xA0, Field("token.eContent.octets", 0x04,
                                                          Field("TSTInfo", 0x30, *self.tst_parts)))),
                Field("token.certificates", 0xA0, *(c.rebuilt(f"token.certificate[{i}]")
                                                    for i, c in enumerate(self.listed))),
                Field("token.signerInfos", 0x31, signer_info))))

    def verify(self, outer_signer):
        """After the rebuild matched: the responder's key made the token's
        signature, its certificate is for time-stamping only (critical), and
        the time falls within the code signer's validity."""
        message = encode(Field("", 0x31, *self.signed_attrs.parts))
        if not verify(self.signer.x509.public_key(), self.signature, message, self.hash_class):
            raise Refused(f"the time-stamp's signature was not made with the key of {self.signer.label()}")
        if not has_usage(self.signer, ExtendedKeyUsageOID.TIME_STAMPING, critical=True):
            raise Refused(f"the time-stamp's signer {self.signer.label()} has no critical time-stamping usage")
        if not valid_at(outer_signer, self.time):
            raise Refused(f"the time-stamp's time {self.time:%Y-%m-%d %H:%M:%S} UTC is outside the validity of "
                          f"the signer {outer_signer.label()}")


# ---- the signature -------------------------------------------------------

def check(data, ca=None):
    """data: a signed program. Returns its Signature, or raises Refused
    (one line). Never raises anything else."""
    try:
        # A parser's warning (a negative serial number, say) would be a
        # second line: here it is a refusal.
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            return _check(bytes(data), ca)
    except Refused:
        raise
    except RecursionError:
        raise Refused("a malformed signature (nested too deep)") from None
    except Exception as error:  # attacker-made input: any fault is a refusal, never a traceback
        raise Refused(f"a malformed signature or program ({type(error).__name__}: "
                      f"{escape(' '.join(str(error).split())[:160])})") from None


class Read:
    """What the file's signature holds that may vary, read leniently: the
    rebuild decides whether the rest is the shape's."""
    __slots__ = ("data", "checksum_at", "entry_at", "start", "table", "listed", "signer", "attr_oids", "when_signed",
                 "signature_value", "token")


def _check(data, ca):
    read = read_signature(data)
    signed_attrs = rebuild_and_compare(read)
    key_and_usage(read, signed_attrs)
    return anchors_and_trust(read, ca)


def read_signature(data):
    """Step 1: the certificate table's one signature, and in it the
    certificates, the signing time, the signature value and the time-stamp
    token."""
    if len(data) > MAX_SIZE:
        raise Refused(f"{len(data)} bytes: over {MAX_SIZE >> 20} MiB, larger than any program of a release")
    read = Read()
    read.data = data
    read.checksum_at, read.entry_at, read.start, size = certificate_table(data)
    read.table = table = memoryview(data)[read.start + 8:read.start + size]
    where = "signature"
    content_info = read_tlv(table, 0, len(table), where)
    top = children(content_info, where, limit=4) if content_info.tag == 0x30 else []
    explicit = children(first(top, 0xA0, where, 1), where, limit=2)
    sd = children(first(explicit, 0x30, where, 0), where, limit=8)
    infos = children(last(sd, 0x31, where), where, limit=2)
    if not infos:
        raise Refused(f"{where}: no SignerInfo")
    info = children(infos[0], where, limit=8)
    certs_node = next((n for n in sd[3:4] if n.tag == 0xA0), None)
    items = listed_certificates(certs_node, where, MAX_CERTIFICATES) if certs_node else []
    attrs = first(info, 0xA0, where, 3)
    read.attr_oids = attribute_oids(attrs, where)
    read.when_signed = signing_time(attrs, where)
    if read.when_signed is None:
        raise Refused(f"{where}: no signing time")
    read.signature_value = first(info, 0x04, where, 5).content
    unsigned_node = info[6] if len(info) > 6 and info[6].tag == 0xA1 else None
    token_node = None
    if unsigned_node is not None:
        # One attribute, the RFC 3161 token (osslsigncode -ts). The legacy
        # PKCS#9 countersignature is not read at all: our signing tool never
        # writes one, so the rebuild has no place for it and refuses it.
        attr = children(unsigned_node, where, limit=1)
        parts = children(attr[0], where, limit=2) if attr and attr[0].tag == 0x30 else []
        if len(parts) == 2 and oid_text(parts[0]) == OID["rfc3161_time_stamp"] and parts[1].tag == 0x31:
            values = children(parts[1], where, limit=1)
            token_node = values[0] if values else None
    read.listed = [Cert(i.der, where) for i in items]
    if len({c.der for c in read.listed}) != len(read.listed):
        raise Refused("a certificate listed twice in the signature")
    read.signer = named_signer(info[1] if len(info) > 1 else content_info, read.listed, "signer")
    read.token = TimeStamp(token_node, read.signature_value, MAX_CERTIFICATES - len(read.listed)) \
        if token_node else None
    return read


def rebuild_and_compare(read):
    """Step 2: the one shape our signing tool writes, from what step 1 read
    and the digest computed here, compared byte for byte with the file.
    Returns the signed attributes, which the signature covers."""
    digest = authenticode_digest(read.data, read.checksum_at, read.entry_at, read.start)
    indirect = Field(
        "SpcIndirectDataContent", 0x30,
        Field("SpcIndirectDataContent.data", 0x30, oid("SpcIndirectDataContent.data.type", OID["spc_pe_image_data"]),
              Field("SpcPeImageData", 0x30, PE_IMAGE_DATA)),
        Field("SpcIndirectDataContent.messageDigest", 0x30,
              algorithm("SpcIndirectDataContent.digestAlgorithm", SHA256, True),
              Field("SpcIndirectDataContent.digest (the program's hash: its bytes are not the ones signed)",
                    0x04, digest)))
    indirect_der = encode(indirect)
    indirect_body = bytes(read_tlv(indirect_der, 0, len(indirect_der), "").content)
    attributes = [
        (OID["content_type"], attribute("contentType", OID["content_type"],
                                        oid("contentType.value", OID["spc_indirect_data"]))),
        (OID["signing_time"], attribute("signingTime", OID["signing_time"],
                                        time_field("signingTime.value", read.when_signed))),
        (OID["spc_statement_type"], attribute("SpcStatementType", OID["spc_statement_type"], Field(
            "SpcStatementType.value", 0x30, oid("SpcStatementType.purpose", OID["spc_individual"])))),
        (OID["spc_sp_opus_info"], attribute("SpcSpOpusInfo", OID["spc_sp_opus_info"], Field(
            "SpcSpOpusInfo.value", 0x30, Field("SpcSpOpusInfo.programName", 0xA0,
                                               Field("SpcSpOpusInfo.programName.ascii", 0x81, PROGRAM_NAME))))),
        (OID["message_digest"], attribute("messageDigest", OID["message_digest"], Field(
            "messageDigest.value", 0x04, hashlib.sha256(indirect_body).digest()))),
    ]
    signed_attrs = ordered("SignerInfo.signedAttrs", 0xA0, attributes, read.attr_oids)
    signer = read.signer
    signer_info = [
        integer("SignerInfo.version", 1),
        Field("SignerInfo.sid", 0x30, raw("SignerInfo.sid.issuer", signer.issuer),
              raw("SignerInfo.sid.serialNumber", signer.serial)),
        algorithm("SignerInfo.digestAlgorithm", SHA256, True),
        signed_attrs,
        signature_algorithm("SignerInfo.signatureAlgorithm", signer.x509.public_key(), SHA256),
        Field("SignerInfo.signature", 0x04, read.signature_value),
    ]
    if read.token:
        signer_info.append(Field("SignerInfo.unsignedAttrs", 0xA1, Field(
            "timeStampToken.attribute", 0x30, oid("timeStampToken.type", OID["rfc3161_time_stamp"]),
            Field("timeStampToken.values", 0x31, read.token.rebuild()))))
    rebuilt_field = Field(
        "ContentInfo", 0x30, oid("ContentInfo.contentType", OID["signed_data"]),
        Field("ContentInfo.content", 0xA0, Field(
            "SignedData", 0x30,
            integer("SignedData.version", 1),
            Field("SignedData.digestAlgorithms", 0x31, algorithm("SignedData.digestAlgorithm", SHA256, True)),
            Field("SignedData.encapContentInfo", 0x30, oid("SignedData.eContentType", OID["spc_indirect_data"]),
                  Field("SignedData.eContent", 0xA0, indirect)),
            Field("SignedData.certificates", 0xA0,
                  *(c.rebuilt(f"certificate[{i}]") for i, c in enumerate(read.listed))),
            Field("SignedData.signerInfos", 0x31, Field("SignerInfo", 0x30, *signer_info)))))
    where, table = {}, read.table
    rebuilt = encode(rebuilt_field, where)
    found = difference(rebuilt_field, rebuilt, where, table, 0, len(table))
    padding_ = -(8 + len(rebuilt)) % 8
    if found is None and len(table) != len(rebuilt) + padding_:
        found = len(rebuilt), f"{len(table) - len(rebuilt)} bytes after the signature where its zero padding to 8 " \
                              f"is {padding_}"
    if found is None and any(table[len(rebuilt):]):
        found = len(rebuilt), "bytes after the signature that are not its zero padding"
    if found:
        at, what = found
        raise Refused(f"the signature differs from its rebuild at byte {at} (file offset {read.start + 8 + at}): "
                      f"{what}")
    return signed_attrs


def key_and_usage(read, signed_attrs):
    """Step 3: the signer's key made the signature, its certificate is for
    code signing, and the time-stamp's the same for time-stamping; the
    signer valid at the time-stamp's time, or without one, now."""
    signer = read.signer
    message = encode(Field("", 0x31, *signed_attrs.parts))
    if not verify(signer.x509.public_key(), read.signature_value, message, hashes.SHA256):
        raise Refused(f"the signature was not made with the key of {signer.label()}")
    if not has_usage(signer, ExtendedKeyUsageOID.CODE_SIGNING):
        raise Refused(f"the signer {signer.label()} is not a code-signing certificate")
    if read.token:
        read.token.verify(signer)
        return
    # With or without a CA: the signingTime attribute is the signer's own
    # word, so a signature without a time-stamp counts while its
    # certificate is valid, as Windows counts it.
    now = datetime.datetime.now(datetime.timezone.utc)
    if not valid_at(signer, now):
        raise Refused(f"the signer {signer.label()} is not valid now (valid "
                      f"{signer.x509.not_valid_before:%Y-%m-%d %H:%M:%S} to "
                      f"{signer.x509.not_valid_after:%Y-%m-%d %H:%M:%S} UTC) and no time-stamp says it was when it "
                      "signed")


def anchors_and_trust(read, ca):
    """Step 4: both chains, the lists that carry them, what vouches for the
    top of each, and what every certificate of them allows."""
    signer, token = read.signer, read.token
    chain = chain_of(signer, read.listed, "signer")
    tsa_chain = chain_of(token.signer, token.listed, "time-stamp's signer") if token else []
    lists_hold_chains(read.listed, chain, token.listed if token else [], tsa_chain)
    # Without a CA, a root of anyone's making can vouch for certificates of
    # anyone's choosing between it and the signer (one holding the real
    # issuer's name and key, and any bytes besides). A listed root is taken
    # as it is only when its own key signed the signer's certificate, which
    # only that issuer can make, or when the system knows it.
    top = chain[-1]
    if ca is None and len(chain) > 2 and top.issuer == top.subject and system_roots().get(top.der) is None:
        raise Refused(f"the signer's chain runs through {chain[1].label()} to the root {top.label()}, which neither "
                      "issued the signer nor is known to this system: only --ca can vouch for such a chain")
    ca_cert = signer_anchor = tsa_anchor = None
    when = token.time if token else datetime.datetime.now(datetime.timezone.utc)
    if ca is not None:
        try:
            ca_cert = Cert(ca.public_bytes(serialization.Encoding.DER), "the CA given")
        except (AttributeError, TypeError, ValueError):
            raise Refused("the CA given is not a certificate") from None
        signer_anchor = anchored(chain, Anchors([ca_cert]), when, "signer's")
        if signer_anchor is None:
            raise Refused(f"the signer {signer.label()} does not chain to the CA {ca_cert.label()}")
    if token:
        # A time-stamp is worth its authority: the CA's, one under a system
        # root, or (without a CA) one under the signer's own root. A self-made
        # authority would also be room for bytes of anyone's choosing.
        own_root = [top] if top.issuer == top.subject else []
        anchors = Both(Anchors([ca_cert] if ca_cert else own_root), system_roots())
        tsa_anchor = anchored(tsa_chain, anchors, token.time, "time-stamp's")
        if tsa_anchor is None:
            raise Refused(f"the time-stamp's signer {token.signer.label()} chains neither to "
                          f"{'the CA' if ca_cert else 'the signer' + chr(39) + 's root'} nor to a system root")
    # Bytes, not trust: every listed certificate's signature is checked, by
    # the next one up, by itself (a root), or by the CA or a system root
    # that issued the top one; else the top certificate's bytes (its
    # signature value above all) could be anything. Only a signer listed
    # alone is let be without a CA: the fingerprint shown is of all its bytes.
    if not (top.issuer == top.subject or (ca_cert is not None and issued_by(top, ca_cert))):
        if not (len(chain) == 1 and ca_cert is None):
            signer_anchor = next((root for root in system_roots().by_subject(top.issuer)
                                  if issued_by(top, root) and may_issue(root)), None)
            if signer_anchor is None:
                raise Refused(f"the signer's chain ends at {top.label()}, whose issuer is neither listed nor a root "
                              "known here: its bytes cannot be checked")
    # What each certificate of the two paths, anchors included, allows.
    check_path(with_anchor(chain, signer_anchor), ExtendedKeyUsageOID.CODE_SIGNING, "signer's")
    if ca_cert is not None and not openssl_agrees(chain, ca_cert, when):
        raise Refused(f"OpenSSL's verify refuses the chain from the signer {signer.label()} to the CA "
                      f"{ca_cert.label()} at {when:%Y-%m-%d %H:%M:%S} UTC, which this check accepts")
    if token:
        check_path(with_anchor(tsa_chain, tsa_anchor), ExtendedKeyUsageOID.TIME_STAMPING, "time-stamp's")
    lists_in_order(read.listed, token.listed if token else [], tsa_chain)
    key = signer.x509.public_key().public_bytes(serialization.Encoding.DER,
                                                serialization.PublicFormat.SubjectPublicKeyInfo)
    return Signature(unsigned=without_signature(read.data, read.checksum_at, read.entry_at, read.start),
                     signer=signer.x509, signer_sha256=signer.sha256, timestamp=token.time if token else None,
                     ca_sha256=ca_cert.sha256 if ca_cert else None, signer_key_sha256=hashlib.sha256(key).hexdigest(),
                     timestamper=token.signer.x509 if token else None,
                     timestamper_sha256=token.signer.sha256 if token else None)


def lists_hold_chains(listed, chain, token_listed, tsa_chain):
    """Each list holds its own signer's chain and nothing else."""
    mine, theirs = {c.der for c in chain}, {c.der for c in tsa_chain}
    for cert, own, other, whose in [(c, mine, theirs, "the signature") for c in listed] + \
                                   [(c, theirs, mine, "the time-stamp") for c in token_listed]:
        if cert.der in own:
            continue
        if cert.der in other:
            raise Refused(f"{whose} lists the certificate {cert.label()}, which belongs to the other one's chain")
        raise Refused(f"the certificate {cert.label()} is in neither the signer's nor the time-stamp's chain")


def lists_in_order(listed, token_listed, tsa_chain):
    """Each certificate once, in the one order its list is written in: the
    signature's in ascending order of their bytes (osslsigncode sorts them
    so, as DER orders a SET), the time-stamp's from its signer up (as
    OpenSSL's responder lists them). Another order would be the same
    signature in another file."""
    if [c.der for c in listed] != sorted(c.der for c in listed):
        raise Refused("the signature's certificates are not in ascending order of their bytes, the one order our "
                      "signing tool writes")
    for i, cert in enumerate(token_listed):
        if any(c.der == cert.der for c in token_listed[:i]):
            raise Refused(f"the time-stamp lists the certificate {cert.label()} twice")
    if [c.der for c in token_listed] != [c.der for c in tsa_chain]:
        raise Refused("the time-stamp's certificates are not its signer's chain from the signer up, the one order "
                      "a time-stamp is accepted in")


_system_roots = None


def system_roots():
    """The system's roots, read at most once per run."""
    global _system_roots
    if _system_roots is None:
        _system_roots = SystemRoots()
    return _system_roots


def openssl_agrees(chain, ca_cert, when):
    """A second opinion on a chain this check accepts to the CA given, from
    an implementation of X.509 path checks other than ours: OpenSSL's
    verify, its exit status only, at the time the chain was checked at, with
    no trust but the CA's. Not having openssl is no refusal: the check above
    stands alone. (Its strict mode would refuse CAs without keyUsage, as
    the trial PKI's, which X.509 allows.)"""
    openssl = shutil.which("openssl")
    if openssl is None:
        return True
    with tempfile.TemporaryDirectory(prefix="slotbench-chain.") as folder:
        def pem(name, certs):
            path = os.path.join(folder, name)
            with open(path, "wb") as f:
                for cert in certs:
                    f.write(cert.x509.public_bytes(serialization.Encoding.PEM))
            return path
        command = [openssl, "verify", "-no-CApath", "-no-CAstore", "-CAfile", pem("ca.pem", [ca_cert]),
                   "-attime", str(int(when.timestamp()))]
        if len(chain) > 1:
            command += ["-untrusted", pem("chain.pem", chain[1:])]
        command.append(pem("signer.pem", chain[:1]))
        try:
            return subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, timeout=20).returncode == 0
        except (OSError, subprocess.SubprocessError):
            return False


def with_anchor(chain, anchor):
    return chain if anchor is None or anchor.der == chain[-1].der else chain + [anchor]
