"""Checks that a signed Windows program is its unsigned self plus exactly one
Authenticode signature, every byte accounted for, and that the signature was
made with the key of the certificate it names. Whether that certificate
deserves trust is another question (tools/verify_release.sh asks the CA);
without a CA this is what can be checked.

Writes the program as it was before signing to UNSIGNED_OUT and the
signature's certificates to CHAIN_OUT (PEM, the signer's first); prints
"subject<TAB>issuer<TAB>SHA-256 fingerprint<TAB>time-stamp: yes|no" of the
signer. Any fault: one line on stderr, exit status 1.

  authenticode_check.py FILE UNSIGNED_OUT CHAIN_OUT
"""
import hashlib
import os
import sys

import pefile
from asn1crypto import algos, cms, core
from cryptography import x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa

# Far above the release's programs (360 KB at most): more is not ours.
MAX_SIZE = 16 << 20
WIN_CERT_REVISION_2_0 = 0x0200
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002
# A time-stamp is the one thing that may be added after signing.
TIME_STAMPS = {"counter_signature", "microsoft_time_stamp_token"}
DIGESTS = {"sha256": hashes.SHA256, "sha384": hashes.SHA384, "sha512": hashes.SHA512}


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any, {"optional": True})]


class SpcIndirectDataContent(core.Sequence):
    _fields = [("data", SpcAttributeTypeAndOptionalValue), ("message_digest", algos.DigestInfo)]


cms.ContentType._map["1.3.6.1.4.1.311.2.1.4"] = "spc_indirect_data"
# PKCS#7 version 1 content (Authenticode's) is read as a ContentInfo.
cms.ContentInfo._oid_specs["spc_indirect_data"] = SpcIndirectDataContent


def fail(message):
    print(message, file=sys.stderr)
    sys.exit(1)


def signature_block(data):
    """The PE image (pefile), where its certificate table starts, and the
    table's one signature (DER): nothing else may be in or after the table."""
    pe = pefile.PE(data=data, fast_load=True)
    security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    start, size = security.VirtualAddress, security.Size
    if not size:
        fail("not signed")
    if start + size > len(data):
        fail("a certificate table that runs past the end of the file")
    if start + size < len(data):
        fail(f"{len(data) - start - size} bytes after the certificate table, which must end the file")
    if start % 8:
        fail("a certificate table not on an 8-byte boundary")
    if size < 8:
        fail("a certificate table too short for its header")
    length, revision, kind = (int.from_bytes(data[start + i:start + j], "little")
                              for i, j in ((0, 4), (4, 6), (6, 8)))
    if revision != WIN_CERT_REVISION_2_0 or kind != WIN_CERT_TYPE_PKCS_SIGNED_DATA:
        fail(f"a certificate table entry of revision {revision:#06x}, type {kind}: not a PKCS#7 signature")
    if length != size:
        fail(f"a certificate table of {size} bytes whose entry claims {length}: more than one entry")
    info = cms.ContentInfo.load(data[start + 8:start + size])
    der = info.dump()
    after = data[start + 8 + len(der):]
    if len(after) != -len(der) % 8 or any(after):
        fail(f"{len(after)} bytes after the signature in its table that are not its zero padding to 8")
    return pe, start, info


def authenticode_digest(pe, data, start, algorithm):
    """The hash of all but the checksum, the certificate table's directory
    entry and the table itself."""
    checksum = pe.OPTIONAL_HEADER.get_file_offset() + 0x40
    security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    entry = security.get_file_offset()
    view = memoryview(data)
    h = hashlib.new(algorithm)
    for part in (view[:checksum], view[checksum + 4:entry], view[entry + 8:start]):
        h.update(part)
    return h.digest()


def verify_signature(certificate, signature, message, algorithm):
    key = certificate.public_key()
    try:
        if isinstance(key, rsa.RSAPublicKey):
            key.verify(signature, message, padding.PKCS1v15(), DIGESTS[algorithm]())
        elif isinstance(key, ec.EllipticCurvePublicKey):
            key.verify(signature, message, ec.ECDSA(DIGESTS[algorithm]()))
        else:
            return False
    except InvalidSignature:
        return False
    return True


def issued_by(certificate, issuer):
    return (certificate.issuer == issuer.subject and certificate.signature_hash_algorithm is not None
            and certificate.signature_hash_algorithm.name in DIGESTS
            and verify_signature(issuer, certificate.signature, certificate.tbs_certificate_bytes,
                                 certificate.signature_hash_algorithm.name))


def named_chain(signed_data, signer_info, who, repeats=False):
    """The certificate the SignerInfo names, and its chain: every other
    certificate of the list, each once (or, with repeats, again as the same
    bytes), and nothing else."""
    listed = signed_data["certificates"]
    if not listed or any(c.name != "certificate" for c in listed):
        fail(f"a certificate list that holds something other than certificates ({who})")
    if len({c.dump() for c in listed}) != len(listed):
        if not repeats:
            fail(f"a certificate listed twice ({who})")
        listed = list({c.dump(): c for c in listed}.values())
    certificates = [x509.load_der_x509_certificate(c.chosen.dump()) for c in listed]
    sid = signer_info["sid"]
    if sid.name != "issuer_and_serial_number":
        fail(f"a {who} not named by issuer and serial number")
    named = [c for c, entry in zip(certificates, listed)
             if entry.chosen.issuer == sid.chosen["issuer"] and entry.chosen.serial_number == sid.chosen["serial_number"].native]
    if len(named) != 1:
        fail(f"{len(named)} certificates with the {who}'s issuer and serial number")
    chain, rest = [named[0]], [c for c in certificates if c is not named[0]]
    while rest:
        issuer = next((c for c in rest if issued_by(chain[-1], c)), None)
        if issuer is None:
            fail(f"certificates beside the {who}'s chain ({rest[0].subject.rfc4514_string()})")
        chain.append(issuer)
        rest.remove(issuer)
    # A root is not checked by its issuer, so by itself.
    if chain[-1].issuer == chain[-1].subject and len(chain) > 1 and not issued_by(chain[-1], chain[-1]):
        fail(f"a root certificate that does not verify ({chain[-1].subject.rfc4514_string()})")
    return named[0], chain


def time_stamp_certificates(unsigned_attrs):
    """An RFC 3161 time-stamp carries its authority's chain and nothing else.
    (Its signature and that chain's trust are checked against the CA given.)
    Time-stamp authorities are seen to list their own certificate twice:
    the same bytes again carry nothing, so that is let be."""
    for attribute in unsigned_attrs:
        if attribute["type"].native != "microsoft_time_stamp_token":
            continue
        for token in attribute["values"]:
            if token["content_type"].native != "signed_data" or len(token["content"]["signer_infos"]) != 1:
                fail("a time-stamp that is not one signed token")
            named_chain(token["content"], token["content"]["signer_infos"][0], "time-stamp authority", repeats=True)


def signer_of(signed_data, signer_info, digest_algorithm):
    """The one certificate named by the SignerInfo whose key made its
    signature; the other certificates must be its chain and nothing else."""
    if not isinstance(signed_data["crls"], core.Void):
        fail("revocation lists inside the signature")
    signer, chain = named_chain(signed_data, signer_info, "signer")
    attributes = signer_info["signed_attrs"]
    # The key signed the attributes as a SET, not under their [0] tag.
    if not verify_signature(signer, signer_info["signature"].native, attributes.untag().dump(), digest_algorithm):
        fail(f"the signature was not made with the key of {signer.subject.rfc4514_string()}")
    try:
        usages = signer.extensions.get_extension_for_class(x509.ExtendedKeyUsage).value
    except x509.ExtensionNotFound:
        usages = []
    if x509.oid.ExtendedKeyUsageOID.CODE_SIGNING not in usages:
        fail(f"{signer.subject.rfc4514_string()} is not a code-signing certificate")
    return chain


def check(data):
    pe, start, info = signature_block(data)
    if info["content_type"].native != "signed_data":
        fail("the signature is not PKCS#7 signed data")
    signed_data = info["content"]
    content = signed_data["encap_content_info"]
    if content["content_type"].native != "spc_indirect_data":
        fail("the signed content is not an Authenticode digest")
    indirect = content["content"]
    infos = signed_data["signer_infos"]
    if len(infos) != 1:
        fail(f"{len(infos)} signers, not one")
    signer_info = infos[0]
    algorithm = signer_info["digest_algorithm"]["algorithm"].native
    if algorithm not in DIGESTS or indirect["message_digest"]["digest_algorithm"]["algorithm"].native != algorithm:
        fail("a digest weaker than SHA-256, or unknown")
    if indirect["message_digest"]["digest"].native != authenticode_digest(pe, data, start, algorithm):
        fail("the program's bytes are not the ones that were signed")

    attributes = {a["type"].native: a["values"] for a in signer_info["signed_attrs"]}
    # Authenticode signs the content's value, without its tag and length.
    if [v.native for v in attributes.get("content_type", [])] != ["spc_indirect_data"] or \
            [v.native for v in attributes.get("message_digest", [])] != \
            [hashlib.new(algorithm, indirect.contents).digest()]:
        fail("the signed attributes do not match the signed content")
    unsigned_attrs = signer_info["unsigned_attrs"]
    unsigned = [] if isinstance(unsigned_attrs, core.Void) else [a["type"].native for a in unsigned_attrs]
    if "microsoft_nested_signature" in unsigned:
        fail("a second, nested signature")
    if set(unsigned) - TIME_STAMPS or len(unsigned) > 1:
        fail(f"unsigned attributes besides one time-stamp ({', '.join(unsigned)})")
    if unsigned:
        time_stamp_certificates(unsigned_attrs)
    # Unsigned fields with free-form parameters would be room for bytes.
    if [a.dump() for a in signed_data["digest_algorithms"]] != [signer_info["digest_algorithm"].dump()] or \
            signer_info["signature_algorithm"]["parameters"].native is not None:
        fail("algorithm fields beside the signer's digest and signature")
    if not pe.verify_checksum():
        fail(f"PE checksum {pe.OPTIONAL_HEADER.CheckSum:#010x}, not {pe.generate_checksum():#010x}")
    return pe, start, signer_of(signed_data, signer_info, algorithm), bool(unsigned)


def unsigned_program(pe, start):
    """The program before signing: no table, no directory entry, and the
    checksum of what remains (the build writes one). Copies kept few: the
    program may be as large as MAX_SIZE."""
    security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    security.VirtualAddress = security.Size = 0
    unsigned = pe.write()
    del unsigned[start:]
    checksum = pefile.PE(data=unsigned, fast_load=True).generate_checksum()
    offset = pe.OPTIONAL_HEADER.get_file_offset() + 0x40
    unsigned[offset:offset + 4] = checksum.to_bytes(4, "little")
    return unsigned


def main(path, unsigned_out, chain_out):
    if os.path.getsize(path) > MAX_SIZE:
        fail(f"over {MAX_SIZE >> 20} MiB: larger than any program of a release")
    with open(path, "rb") as f:
        data = f.read()
    pe, start, chain, time_stamped = check(data)
    del data  # pe holds a copy since its checksum was computed
    with open(unsigned_out, "wb") as f:
        f.write(unsigned_program(pe, start))
    with open(chain_out, "wb") as f:
        f.writelines(c.public_bytes(serialization.Encoding.PEM) for c in chain)
    signer = chain[0]
    print("\t".join((signer.subject.rfc4514_string(), signer.issuer.rfc4514_string(),
                     signer.fingerprint(hashes.SHA256()).hex(),
                     f"time-stamp: {'yes' if time_stamped else 'no'}")))


if __name__ == "__main__":
    if len(sys.argv) != 4:
        fail(__doc__.strip())
    try:
        main(*sys.argv[1:])
    except pefile.PEFormatError as error:
        fail(f"not a Windows program ({' '.join(str(error).split())})")
    except Exception as error:  # attacker-made input: any fault is a refusal, never a traceback
        fail(f"a malformed signature or program ({type(error).__name__}: {' '.join(str(error).split())})")
