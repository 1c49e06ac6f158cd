"""Signatures tampered with, made during the run from a genuine signed
program with throwaway certificates only, for the release check's tests.

ROWS: (name, make, expected, needs_ca), where make(signed_program, workdir,
pki_dir) -> bytes is the tampered program and expected is a piece of the one
line the check must refuse it with (None: the check must accept it). pki_dir
is a folder made by tools/release/make_pki.sh.

mutate_der(der, rng) -> bytes: one random change to one TLV of a DER
(tag, length or content; bytes inserted or removed with the lengths around
them made to fit, or not). signature_der(program) and with_signature(program,
der) take a program's signature out and put one in (table, directory entry
and PE checksum made to fit), for mutation passes. signed_by_ca_key(program,
pki_dir) is the genuine signature made by another key than its signer's.

Editing here is done on a tree of our own (not the checker's encoder), so a
fault in the checker's DER writing cannot hide in the test.
"""
import datetime
import hashlib
import http.server
import os
import subprocess
import threading

import pefile
from asn1crypto import algos, cms, core, tsp
from asn1crypto import x509 as asn1_x509
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding
from cryptography.hazmat.primitives.serialization import pkcs12
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

SECURITY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
MAX_TREE_NODES = 200_000


# ---- a DER tree: [tag, bytes] for primitives, [tag, [children]] for constructed

def length_bytes(n):
    if n < 0x80:
        return bytes([n])
    raw = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(raw)]) + raw


def tlv(tag, content):
    return bytes([tag]) + length_bytes(len(content)) + content


def header(der, pos):
    tag, first = der[pos], der[pos + 1]
    if first < 0x80:
        return tag, pos + 2, pos + 2 + first
    count = first & 0x7F
    length = int.from_bytes(der[pos + 2:pos + 2 + count], "big")
    return tag, pos + 2 + count, pos + 2 + count + length


def parse(der, pos=0):
    tag, body, end = header(der, pos)
    if not tag & 0x20:
        return [tag, bytes(der[body:end])]
    kids, at = [], body
    while at < end:
        kid = parse(der, at)
        kids.append(kid)
        at = header(der, at)[2]
    return [tag, kids]


def dump(node):
    tag, value = node
    return tlv(tag, value if isinstance(value, bytes) else b"".join(dump(k) for k in value))


def signed_data(ci):
    return ci[1][1][1][0]  # ContentInfo, its [0], SignedData


def signer_info(ci):
    return signed_data(ci)[1][-1][1][0]  # signerInfos, the first


def oid_tlv(dotted):
    return dump([0x06, core.ObjectIdentifier(dotted).contents])


# ---- the PE side

def signature_der(program):
    pe = pefile.PE(data=program, fast_load=True)
    security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY]
    table = program[security.VirtualAddress + 8:security.VirtualAddress + security.Size]
    end = header(table, 0)[2]
    return bytes(table[:end])


def with_signature(program, der):
    """program with der as its one signature: the table, its directory entry
    and the PE checksum made to fit, as a signing tool would."""
    pe = pefile.PE(data=program, fast_load=True)
    security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY]
    start = security.VirtualAddress
    entry = der + bytes(-(8 + len(der)) % 8)
    size = 8 + len(entry)
    out = bytearray(program[:start])
    out += size.to_bytes(4, "little") + (0x0200).to_bytes(2, "little") + (2).to_bytes(2, "little") + entry
    at = security.get_file_offset()
    out[at + 4:at + 8] = size.to_bytes(4, "little")
    fixed = pefile.PE(data=bytes(out), fast_load=True)
    fixed.OPTIONAL_HEADER.CheckSum = fixed.generate_checksum()
    return bytes(fixed.write())


def edited(program, change):
    """program with its signature's tree changed by change(tree)."""
    tree = parse(signature_der(program))
    change(tree)
    return with_signature(program, dump(tree))


def mutate_der(der, rng):
    """One random change to one TLV node of der: its tag, its length, its
    content bytes, or bytes inserted into or removed from it (then the
    lengths of the nodes around it made to fit, or, half the time, not)."""
    nodes, stack = [], [(0, len(der), ())]
    while stack and len(nodes) < MAX_TREE_NODES:
        pos, end, path = stack.pop()
        index = 0
        while pos < end:
            try:
                tag, body, stop = header(der, pos)
            except IndexError:
                break
            if stop > end or body > end:
                break
            nodes.append((pos, body, stop, path + (index,)))
            if tag & 0x20:
                stack.append((body, stop, path + (index,)))
            pos, index = stop, index + 1
    if not nodes:
        return bytes(rng.randrange(256) for _ in range(rng.randrange(1, 8))) + der
    pos, body, stop, path = rng.choice(nodes)
    out = bytearray(der)
    kind = rng.randrange(5)
    if kind == 0:
        out[pos] = rng.choice([b for b in range(256) if b != der[pos]])
        return bytes(out)
    if kind == 1:
        at = rng.randrange(pos + 1, body)
        out[at] = (out[at] + rng.choice([1, -1, 0x80, rng.randrange(1, 256)])) & 0xFF
        return bytes(out)
    if kind == 2 and stop > body:
        at = rng.randrange(body, stop)
        out[at] ^= rng.randrange(1, 256)
        return bytes(out)
    # Insert or delete: with the lengths around fixed, through the tree.
    size = rng.choice([1, 2, 7, 128, 4096])
    if kind == 3 or stop == body:
        at = rng.randrange(body, stop + 1)
        new = bytes(out[:at]) + bytes(rng.randrange(256) for _ in range(size)) + bytes(out[at:])
        delta = size
    else:
        at = rng.randrange(body, stop)
        count = min(size, stop - at)
        new = bytes(out[:at]) + bytes(out[at + count:])
        delta = -count
    if rng.randrange(2):
        return new
    return refit(der, path, delta, new)


def refit(der, path, delta, new):
    """new (der with delta bytes more inside the node at path) with the
    length of that node and of every node around it made to fit."""
    chain, pos = [], 0
    for index in path:
        for sibling in range(index + 1):
            body, stop = header(der, pos)[1:]
            if sibling < index:
                pos = stop
        chain.append((pos, body, stop))
        pos = body
    out = new
    for pos, body, stop in reversed(chain):
        # The node's header is at pos in both (changes lie after it).
        old_header = der[pos:body]
        length = stop - body + delta
        new_header = bytes([der[pos]]) + length_bytes(length)
        out = out[:pos] + new_header + out[pos + len(old_header):]
        delta += len(new_header) - len(old_header)
    return out


# ---- certificates and signing, throwaway

def load(path):
    with open(path, "rb") as f:
        return f.read()


def pem_cert(path):
    return x509.load_pem_x509_certificate(load(path))


def new_key():
    return ec.generate_private_key(ec.SECP256R1())


def make_cert(subject, issuer, public_key, signing_key, usages=(), ca=False, extra=None, days=(-1, 2),
              critical_usage=True):
    now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    builder = (x509.CertificateBuilder().subject_name(subject).issuer_name(issuer).public_key(public_key)
               .serial_number(x509.random_serial_number())
               .not_valid_before(now + datetime.timedelta(days=days[0]))
               .not_valid_after(now + datetime.timedelta(days=days[1]))
               .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True))
    if usages:
        builder = builder.add_extension(x509.ExtendedKeyUsage(list(usages)), critical=critical_usage)
    if extra is not None:
        builder = builder.add_extension(x509.UnrecognizedExtension(x509.ObjectIdentifier("1.3.6.1.4.1.55555.1"),
                                                                   extra), critical=False)
    return builder.sign(signing_key, hashes.SHA256())


def write_pem(workdir, name, cert=None, key=None):
    paths = []
    if cert is not None:
        paths.append(os.path.join(workdir, f"{name}.crt"))
        with open(paths[-1], "wb") as f:
            f.write(cert.public_bytes(serialization.Encoding.PEM))
    if key is not None:
        paths.append(os.path.join(workdir, f"{name}.key"))
        with open(paths[-1], "wb") as f:
            f.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                      serialization.NoEncryption()))
    return paths


def run(*command, cwd):
    # osslsigncode will not overwrite: a workdir may be shared by rows.
    if "-out" in command:
        out = os.path.join(cwd, command[command.index("-out") + 1])
        if os.path.exists(out):
            os.remove(out)
    result = subprocess.run(command, capture_output=True, cwd=cwd)
    if result.returncode:
        raise RuntimeError(f"{command[0]} {command[1]} failed: {result.stderr.decode(errors='replace')[-300:]}")


def unsigned_of(program, workdir):
    with open(os.path.join(workdir, "in.exe"), "wb") as f:
        f.write(program)
    run("osslsigncode", "remove-signature", "-in", "in.exe", "-out", "unsigned.exe", cwd=workdir)
    os.remove(os.path.join(workdir, "in.exe"))
    return "unsigned.exe"


def osslsign(workdir, source, out, *signer, extra=()):
    run("osslsigncode", "sign", *signer, "-h", "sha256", "-n", "Slot Bench", *extra, "-in", source, "-out", out,
        cwd=workdir)
    data = load(os.path.join(workdir, out))
    os.remove(os.path.join(workdir, out))
    return data


def signed_by(program, workdir, cert, key, chain=(), extra=()):
    """The unsigned program signed anew with osslsigncode by key, listing
    cert and chain."""
    source = unsigned_of(program, workdir)
    certs = os.path.join(workdir, "certs.pem")
    with open(certs, "wb") as f:
        for c in (cert, *chain):
            f.write(c.public_bytes(serialization.Encoding.PEM))
    key_path = write_pem(workdir, "signing", key=key)[0]
    return osslsign(workdir, source, "out.exe", "-certs", certs, "-key", key_path, extra=extra)


def pki_tsa(workdir, pki_dir, usages=(ExtendedKeyUsageOID.TIME_STAMPING,)):
    """A time-stamping certificate issued by the test CA, and its key."""
    ca_key = serialization.load_pem_private_key(load(os.path.join(pki_dir, "ca.key")), None)
    ca = pem_cert(os.path.join(pki_dir, "ca.crt"))
    key = new_key()
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "Slot Bench test time stamps")])
    return make_cert(name, ca.subject, key.public_key(), ca_key, usages=usages), key


def token_for(outer_signature, tsa_cert, tsa_key, when=None, chain=(), fields=None, signed_at=None):
    """An RFC 3161 token over outer_signature, in the shape OpenSSL's
    responder writes, signed by tsa_key whatever tsa_cert allows (OpenSSL
    itself will not sign with a certificate not made for time-stamping).
    fields replace the TSTInfo's; signed_at, the signingTime, is its genTime
    unless given."""
    when = when or datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    cert = asn1_x509.Certificate.load(tsa_cert.public_bytes(serialization.Encoding.DER))
    sha256 = {"algorithm": "sha256", "parameters": core.Null()}
    info = tsp.TSTInfo({
        "version": 1, "policy": "1.2.3.4.1",
        "message_imprint": {"hash_algorithm": sha256, "hashed_message": hashlib.sha256(outer_signature).digest()},
        "serial_number": 4711, "gen_time": when, "accuracy": {"seconds": 1}, "nonce": 0x1234567890,
        **(fields or {})})
    attributes = cms.CMSAttributes([
        {"type": "content_type", "values": ["tst_info"]},
        {"type": "signing_time", "values": [cms.Time({"utc_time": signed_at or when})]},
        {"type": "signing_certificate", "values": [tsp.SigningCertificate(
            {"certs": [{"cert_hash": hashlib.sha1(cert.dump()).digest()}]})]},
        {"type": "message_digest", "values": [hashlib.sha256(info.dump()).digest()]},
    ])
    signature = tsa_key.sign(attributes.dump(), ec.ECDSA(hashes.SHA256()))
    data = cms.SignedData({
        "version": "v3", "digest_algorithms": [sha256],
        "encap_content_info": {"content_type": "tst_info", "content": info},
        "certificates": [cert] + [asn1_x509.Certificate.load(c.public_bytes(serialization.Encoding.DER))
                                  for c in chain],
        "signer_infos": [{
            "version": "v1",
            "sid": {"issuer_and_serial_number": {"issuer": cert.issuer, "serial_number": cert.serial_number}},
            "digest_algorithm": sha256, "signed_attrs": attributes,
            "signature_algorithm": {"algorithm": "sha256_ecdsa"}, "signature": signature}]})
    return cms.ContentInfo({"content_type": "signed_data", "content": data}).dump()


def with_token(program, token):
    def change(tree):
        signer_info(tree)[1].append([0xA1, [parse(tlv(0x30, oid_tlv("1.3.6.1.4.1.311.3.3.1") + tlv(0x31, token)))]])
    return edited(program, change)


def outer_signature(program):
    return signer_info(parse(signature_der(program)))[1][5][1]


class TimeStampServer:
    """An RFC 3161 responder on 127.0.0.1 (openssl ts -reply with a
    throwaway certificate), for osslsigncode -ts."""

    def __init__(self, workdir, cert, key):
        self.dir = os.path.join(workdir, "tsa")
        os.makedirs(self.dir, exist_ok=True)
        write_pem(self.dir, "tsa", cert, key)
        with open(os.path.join(self.dir, "tsa.cnf"), "w") as f:
            f.write("[tsa]\ndefault_tsa = tsa_config\n[tsa_config]\nserial = serial\ncrypto_device = builtin\n"
                    "signer_cert = tsa.crt\nsigner_key = tsa.key\nsigner_digest = sha256\n"
                    "default_policy = 1.2.3.4.1\ndigests = sha256, sha384, sha512\naccuracy = secs:1, millisecs:500\n"
                    "ordering = no\ntsa_name = no\ness_cert_id_chain = no\ness_cert_id_alg = sha1\n")
        with open(os.path.join(self.dir, "serial"), "w") as f:
            f.write("01\n")
        directory = self.dir

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(min(int(self.headers.get("Content-Length", 0)), 1 << 16))
                with open(os.path.join(directory, "query.tsq"), "wb") as f:
                    f.write(query)
                made = subprocess.run(["openssl", "ts", "-reply", "-config", "tsa.cnf", "-queryfile", "query.tsq",
                                       "-out", "reply.tsr"], cwd=directory, capture_output=True)
                if made.returncode:
                    self.send_error(500)
                    return
                reply = load(os.path.join(directory, "reply.tsr"))
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, *args):
                pass

        self.server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


def time_stamped(program, workdir, pki_dir, cert_and_key=None):
    """program with an RFC 3161 time-stamp added by osslsigncode from a
    local responder whose certificate the test CA issued."""
    cert, key = cert_and_key or pki_tsa(workdir, pki_dir)
    server = TimeStampServer(workdir, cert, key)
    try:
        with open(os.path.join(workdir, "in.exe"), "wb") as f:
            f.write(program)
        run("osslsigncode", "add", "-ts", server.url, "-in", "in.exe", "-out", "ts.exe", cwd=workdir)
        return load(os.path.join(workdir, "ts.exe"))
    finally:
        server.close()


# ---- the rows

def tab_newline_signer(program, workdir, pki_dir):
    """A self-made certificate with the genuine issuer's name, a subject
    that carries a tab, the genuine signer's SHA-256 and a newline, and a
    key of its own: a look-alike for a reader of names."""
    good = pem_cert(os.path.join(pki_dir, "good.crt"))
    fingerprint = good.fingerprint(hashes.SHA256()).hex()
    key = new_key()
    subject = x509.Name([x509.NameAttribute(
        NameOID.COMMON_NAME, f"Slot Bench test signer\tSHA-256 {fingerprint}\nsigned by")])
    cert = make_cert(subject, good.issuer, key.public_key(), key, usages=(ExtendedKeyUsageOID.CODE_SIGNING,))
    return signed_by(program, workdir, cert, key)


def ca_key_cert(program, pki_dir, same_name, replace=False, own_root=False):
    """The genuine signature listing one more certificate (or, replace, one
    in place of the CA's): the CA's public key under the CA's name (or
    another name), issued by someone else, with 4 KB of an extension of its
    own; with own_root, that someone's self-made root listed too."""
    ca = pem_cert(os.path.join(pki_dir, "ca.crt"))
    key = new_key()
    subject = ca.subject if same_name else x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "Slot Bench test")])
    issuer = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "Someone else")])
    extra = make_cert(subject, issuer, ca.public_key(), key, ca=True, extra=b"P" * 4096)
    der = extra.public_bytes(serialization.Encoding.DER)
    root = make_cert(issuer, issuer, key.public_key(), key, ca=True).public_bytes(serialization.Encoding.DER)
    ca_der = ca.public_bytes(serialization.Encoding.DER)

    def change(tree):
        listed = signed_data(tree)[1][3][1]
        if replace:
            listed[:] = [c for c in listed if dump(c) != ca_der]
        listed.append(parse(der))
        if own_root:
            listed.append(parse(root))
    return edited(program, change)


def huge_version(tree):
    signer_info(tree)[1][0] = [0x02, b"\x01" + b"PAYLOAD!" * 64]


def octet_parameters(tree):
    signed_data(tree)[1][1][1][0][1][1] = [0x04, b"PAYLOAD!" * 8]
    signer_info(tree)[1][2][1][1] = [0x04, b"PAYLOAD!" * 8]


def token_unsigned_attribute(program, workdir, pki_dir):
    tree = parse(signature_der(time_stamped(program, workdir, pki_dir)))
    token = signer_info(tree)[1][6][1][0][1][1][1][0]
    signer_info(token)[1].append([0xA1, [parse(tlv(0x30, oid_tlv("1.2.3.4") + tlv(0x31, tlv(0x04, b"P" * 512))))]])
    return with_signature(program, dump(tree))


def token_crls(program, workdir, pki_dir):
    tree = parse(signature_der(time_stamped(program, workdir, pki_dir)))
    token = signer_info(tree)[1][6][1][0][1][1][1][0]
    signed_data(token)[1].insert(4, [0xA1, [parse(tlv(0x30, b"P" * 512))]])
    return with_signature(program, dump(tree))


def ladder(program, count):
    """count self-issued certificates, each issued by the next one's key,
    listed in the genuine signature before its own."""
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "Slot Bench ladder")])
    keys = [new_key() for _ in range(count + 1)]
    certs = [make_cert(name, name, keys[i].public_key(), keys[i + 1], ca=True)
             for i in range(count)]
    ders = [parse(c.public_bytes(serialization.Encoding.DER)) for c in certs]

    def change(tree):
        listed = signed_data(tree)[1][3][1]
        listed[:0] = ders
    return edited(program, change)


def expired_with_token(program, workdir, pki_dir, usages):
    """The program signed anew with the test PKI's expired certificate,
    then time-stamped now by a certificate of the test CA with the usages
    given (none: a certificate not made for time-stamping)."""
    source, pki_dir = unsigned_of(program, workdir), os.path.abspath(pki_dir)
    expired = osslsign(workdir, source, "expired.exe", "-pkcs12", os.path.join(pki_dir, "expired.p12"),
                       "-readpass", os.path.join(pki_dir, "password.txt"), extra=("-time", "1590000000"))
    cert, key = pki_tsa(workdir, pki_dir, usages=usages)
    return with_token(expired, token_for(outer_signature(expired), cert, key))


def expired_alone(program, workdir, pki_dir):
    """The program signed anew with the test PKI's expired certificate in
    2020, within its validity, and not time-stamped."""
    source, pki_dir = unsigned_of(program, workdir), os.path.abspath(pki_dir)
    return osslsign(workdir, source, "expired.exe", "-pkcs12", os.path.join(pki_dir, "expired.p12"),
                    "-readpass", os.path.join(pki_dir, "password.txt"), extra=("-time", "1590000000"))


def self_made_authority(program, workdir, pki_dir):
    """The genuine signature time-stamped by a self-signed authority of
    anyone's making, its certificate carrying 4 KB of its own."""
    key = new_key()
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "Slot Bench test time stamps")])
    cert = make_cert(name, name, key.public_key(), key, usages=(ExtendedKeyUsageOID.TIME_STAMPING,),
                     extra=b"P" * 4096)
    return with_token(program, token_for(outer_signature(program), cert, key))


def legacy_countersignature(program, workdir, pki_dir):
    """The time-stamp's SignerInfo moved into a PKCS#9 countersignature, the
    form older tools wrote."""
    tree = parse(signature_der(time_stamped(program, workdir, pki_dir)))
    info = signer_info(tree)
    token = info[1][6][1][0][1][1][1][0]
    info[1][6] = [0xA1, [parse(tlv(0x30, oid_tlv("1.2.840.113549.1.9.6") + tlv(0x31, dump(signer_info(token)))))]]
    return with_signature(program, dump(tree))


def nested(program, workdir, pki_dir):
    key = new_key()
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "Slot Bench test signer")])
    cert = make_cert(name, name, key.public_key(), key, usages=(ExtendedKeyUsageOID.CODE_SIGNING,))
    with open(os.path.join(workdir, "genuine.exe"), "wb") as f:
        f.write(program)
    certs = write_pem(workdir, "nest", cert, key)
    return osslsign(workdir, "genuine.exe", "nested.exe", "-certs", certs[0], "-key", certs[1], extra=("-nest",))


def issued(subject, issuer_name, public_key, signing_key, extensions):
    """A certificate with exactly the extensions given ((extension,
    critical) pairs), valid from yesterday to tomorrow."""
    now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    builder = (x509.CertificateBuilder().subject_name(cn(subject)).issuer_name(issuer_name).public_key(public_key)
               .serial_number(x509.random_serial_number())
               .not_valid_before(now - datetime.timedelta(days=1)).not_valid_after(now + datetime.timedelta(days=1)))
    for ext, critical in extensions:
        builder = builder.add_extension(ext, critical)
    return builder.sign(signing_key, hashes.SHA256())


def cn(text):
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, text)])


def code_signer(*more):
    return [(x509.BasicConstraints(ca=False, path_length=None), True),
            (x509.KeyUsage(True, False, False, False, False, False, False, False, False), True),
            (x509.ExtendedKeyUsage([ExtendedKeyUsageOID.CODE_SIGNING]), False), *more]


def sub_ca(path_length=None, *more):
    return [(x509.BasicConstraints(ca=True, path_length=path_length), True), *more]


def under_test_ca(program, workdir, pki_dir, intermediates, leaf):
    """The program signed anew by a throwaway key whose certificate (with
    the extensions leaf) stands below the test CA through intermediates
    (a list of extension lists, top first), all listed in the signature."""
    ca_key = serialization.load_pem_private_key(load(os.path.join(pki_dir, "ca.key")), None)
    issuer_name, issuer_key, chain = pem_cert(os.path.join(pki_dir, "ca.crt")).subject, ca_key, []
    for depth, extensions in enumerate(intermediates):
        key = new_key()
        cert = issued(f"Slot Bench test sub-CA {depth}", issuer_name, key.public_key(), issuer_key, extensions)
        chain.insert(0, cert)
        issuer_name, issuer_key = cert.subject, key
    key = new_key()
    cert = issued("Slot Bench test signer", issuer_name, key.public_key(), issuer_key, leaf)
    return signed_by(program, workdir, cert, key, chain=chain)


def row_under_ca(intermediates, leaf):
    return lambda p, w, k: under_test_ca(p, w, k, intermediates, leaf)


def other_key_id(program, workdir, pki_dir):
    """A signer whose authority key identifier is not the CA's own."""
    return under_test_ca(program, workdir, pki_dir, [], code_signer(
        (x509.AuthorityKeyIdentifier(b"\x5a" * 20, None, None), False)))


def signature_value_of(size):
    def change(tree):
        signer_info(tree)[1][5] = [0x04, b"\x5a" * size]
    return lambda p, w, k: edited(p, change)


def after(path_of, element):
    def change(tree):
        path_of(tree).append(parse(element))
    return lambda program, workdir, pki_dir: edited(program, change)


def stamped(fields=None, listed=None, outer=None, signed_at=None, reverse=False):
    """The genuine signature time-stamped by an authority of the test CA
    with these TSTInfo fields, this certificate list (names: tsa, ca,
    signer), this signingTime, its signed attributes reversed or not and,
    when given, change(outer list, tsa der) on the signature's."""
    def make(program, workdir, pki_dir):
        cert, key = pki_tsa(workdir, pki_dir)
        named = {"tsa": cert, "ca": pem_cert(os.path.join(pki_dir, "ca.crt")),
                 "signer": pem_cert(os.path.join(pki_dir, "good.crt"))}
        given = fields(cert, named["ca"]) if callable(fields) else fields
        token = parse(token_for(outer_signature(program), cert, key, fields=given, signed_at=signed_at))
        if reverse:  # signed again in that order: asn1crypto sorts them
            info = signer_info(token)[1]
            info[3][1].reverse()
            info[5][1] = key.sign(dump([0x31, info[3][1]]), ec.ECDSA(hashes.SHA256()))
        if listed:  # set here: asn1crypto would sort them
            signed_data(token)[1][3][1] = [parse(named[n].public_bytes(serialization.Encoding.DER)) for n in listed]
        token = dump(token)
        if outer is None:
            return with_token(program, token)
        return edited(with_token(program, token), lambda tree: outer(
            signed_data(tree)[1][3][1], parse(cert.public_bytes(serialization.Encoding.DER))))
    return make


def ecdsa_other_form(program, workdir, pki_dir):
    """A signer of the CA with a P-256 key, its signature's s replaced by
    n - s: the same signature in its other valid form."""
    signed = under_test_ca(program, workdir, pki_dir, [], code_signer())
    n = 0xFFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551

    def change(tree):
        value = algos.DSASignature.load(signer_info(tree)[1][5][1])
        signer_info(tree)[1][5][1] = algos.DSASignature({"r": value["r"].native, "s": n - value["s"].native}).dump()
    return edited(signed, change)


def signed_again(program, key, change=lambda attributes: None):
    """The genuine signature, its signed attributes changed by change(their
    list) and signed again with key (RSA), the certificates left as they are."""
    tree = parse(signature_der(program))
    attributes = signer_info(tree)[1][3][1]
    change(attributes)
    signer_info(tree)[1][5][1] = key.sign(dump([0x31, attributes]), padding.PKCS1v15(), hashes.SHA256())
    return with_signature(program, dump(tree))


def genuine_key(pki_dir):
    with open(os.path.join(pki_dir, "password.txt"), "rb") as f:
        password = f.read().strip()
    return pkcs12.load_key_and_certificates(load(os.path.join(pki_dir, "good.p12")), password)[0]


def signed_in_1955(program, workdir, pki_dir):
    """The genuine signature with the signing time 1955-06-01 (UTCTime
    550601000000Z), signed again with the genuine key."""
    key = genuine_key(pki_dir)

    def change(attributes):
        for attr in attributes:
            if dump(attr[1][0]) == oid_tlv("1.2.840.113549.1.9.5"):
                attr[1][1] = [0x31, [[0x17, b"550601000000Z"]]]
    return signed_again(program, key, change)


def signed_by_ca_key(program, pki_dir):
    """The genuine signature, still listing and naming the genuine signer,
    made by the CA's key (RSA 2048 like the signer's: the lengths stay)."""
    return signed_again(program, serialization.load_pem_private_key(load(os.path.join(pki_dir, "ca.key")), None))


def directory(cert):
    return asn1_x509.GeneralName(name="directory_name", value=asn1_x509.Certificate.load(
        cert.public_bytes(serialization.Encoding.DER))["tbs_certificate"]["subject"])


# What may vary in a time-stamp and the certificate lists, held to one form.
FORM_ROWS = [
    ("a nonce of 33 chosen bytes", stamped({"nonce": int.from_bytes(b"\x5a" * 33, "big")}),
     "not an integer of at most 9 bytes"),
    ("a nonce of 2^64", stamped({"nonce": 1 << 64}), "a nonce of 65 bits, over 64"),
    ("a negative nonce", stamped({"nonce": -5}), "a negative nonce"),
    ("accuracy millis 0", stamped({"accuracy": {"seconds": 1, "millis": 0}}), "accuracy millis 0, outside 1 to 999"),
    ("accuracy micros 1000", stamped({"accuracy": {"micros": 1000}}), "accuracy micros 1000, outside 1 to 999"),
    ("accuracy seconds -5", stamped({"accuracy": {"seconds": -5}}), "accuracy seconds -5, outside 0 to 2147483647"),
    ("a policy with an arc not in its minimal form (2a 80 80 01)",
     stamped({"policy": core.ObjectIdentifier.load(bytes.fromhex("06042a808001"))}), ": TSTInfo.policy"),
    ("a token signingTime of 2049, its genTime now",
     stamped(signed_at=datetime.datetime(2049, 12, 31, 23, 59, 59, tzinfo=datetime.timezone.utc)),
     "more than 2 s from its genTime"),
    ("the signer's signing time of 1955, a UTCTime of year 55", signed_in_1955, None),
    ("a serial number of 21 octets", stamped({"serial_number": 1 << 159}), "not an integer of at most 20 bytes"),
    ("a serial number of 0", stamped({"serial_number": 0}), "the serial number 0 is not positive"),
    ("a tsa field naming the CA, not the token's signer", stamped(lambda tsa, ca: {"tsa": directory(ca)}),
     "TSTInfo.tsa.name"),
    ("every token field at the edge of its range, a tsa naming the signer, its chain listed up to the CA",
     stamped(lambda tsa, ca: {"nonce": (1 << 64) - 1, "serial_number": (1 << 159) - 1, "tsa": directory(tsa),
                              "accuracy": {"seconds": 0, "millis": 999, "micros": 1}}, ["tsa", "ca"]), None),
    ("the signature's certificates in reverse order",
     lambda p, w, k: edited(p, lambda t: signed_data(t)[1][3][1].reverse()),
     "not in ascending order of their bytes"),
    ("the time-stamp's signer listed in the signature too",
     stamped(outer=lambda listed, tsa: listed.__setitem__(slice(None), sorted(listed + [tsa], key=dump))),
     "which belongs to the other one's chain"),
    ("a token listing its signer three times and the signature's certificates besides",
     stamped(listed=["tsa", "tsa", "tsa", "signer", "ca"]), "which belongs to the other one's chain"),
    ("a token listing its signer twice (osslsigncode's built-in responder does)", stamped(listed=["tsa", "tsa"]),
     "twice"),
    ("a token listing the CA before its signer", stamped(listed=["ca", "tsa"]), "from the signer up"),
    ("the signer's ECDSA signature in its other form, n - s", ecdsa_other_form, None),
]
PAYLOAD = tlv(0x04, b"PAYLOAD!" * 16)
ROWS = [
    ("a self-made signer named with a tab, the genuine SHA-256 and a newline, the genuine issuer",
     tab_newline_signer, "does not chain to the CA", True),
    ("an extra certificate with the CA's name and key, another issuer and a 4 KB extension",
     lambda p, w, k: ca_key_cert(p, k, True), "2 certificates named as the issuer of", False),
    ("an extra certificate with the CA's key under another name, another issuer and a 4 KB extension",
     lambda p, w, k: ca_key_cert(p, k, False), "in neither the signer's nor the time-stamp's chain", False),
    ("the CA's certificate replaced by one with its name and key, another issuer and a 4 KB extension",
     lambda p, w, k: ca_key_cert(p, k, True, replace=True), "whose issuer is neither listed nor a root known here",
     False),
    ("the same, its issuer a self-made root listed beside it",
     lambda p, w, k: ca_key_cert(p, k, True, replace=True, own_root=True), "only --ca can vouch for such a chain",
     False),
    ("the genuine signer listed and named, the signature made by the CA's key",
     lambda p, w, k: signed_by_ca_key(p, k), "not made with the key of", False),
    ("SignerInfo.version a 513-byte integer carrying a payload",
     lambda p, w, k: edited(p, huge_version), ": SignerInfo.version", False),
    ("an OCTET STRING payload as both digest algorithms' parameters",
     lambda p, w, k: edited(p, octet_parameters),
     "SignedData.digestAlgorithm.parameters: tag 0x04 where the rebuild has 0x05", False),
    ("a payload in the time-stamp token's own unsigned attributes", token_unsigned_attribute,
     "an element after token.SignerInfo.signature inside token.SignerInfo", False),
    ("a payload as CRLs of the time-stamp token", token_crls,
     "token.signerInfos: tag 0xa1 where the rebuild has 0x31", False),
    ("an element after the SignerInfo's last field", after(lambda t: signer_info(t)[1], PAYLOAD),
     "an element after SignerInfo.signature inside SignerInfo", False),
    ("an element after SignedData inside ContentInfo's [0]", after(lambda t: t[1][1][1], PAYLOAD),
     "an element after SignedData inside ContentInfo.content", False),
    ("an element after SpcIndirectDataContent inside its [0]",
     after(lambda t: signed_data(t)[1][2][1][1][1], PAYLOAD),
     "an element after SpcIndirectDataContent inside SignedData.eContent", False),
    ("an element inside SpcIndirectDataContent after its digest",
     after(lambda t: signed_data(t)[1][2][1][1][1][0][1], PAYLOAD),
     "an element after SpcIndirectDataContent.messageDigest inside SpcIndirectDataContent", False),
    ("a NULL with 512 bytes of content as the signer's digest parameters",
     lambda p, w, k: edited(p, lambda t: signer_info(t)[1][2][1].__setitem__(1, [0x05, b"P" * 512])),
     ": SignerInfo.digestAlgorithm.parameters", False),
    ("a ladder of 2,000 self-issued certificates", lambda p, w, k: ladder(p, 2000),
     "over 256 KiB, larger than any signature", False),
    ("a ladder of 20 self-issued certificates", lambda p, w, k: ladder(p, 20),
     "more than 8 certificates", False),
    ("a signature value of 1 MiB", signature_value_of(1 << 20), "over 256 KiB, larger than any signature", False),
    ("a signer below a sub-CA that a sub-CA of path length 0 issued, under the CA",
     row_under_ca([sub_ca(0), sub_ca()], code_signer()), "basicConstraints pathLen 0, with 1 CA certificates below it",
     True),
    ("a signer under the CA whose critical keyUsage allows key encipherment only",
     row_under_ca([], code_signer()[:1] + [(x509.KeyUsage(False, False, True, False, False, False, False, False,
                                                          False), True)] + code_signer()[2:]),
     "keyUsage without digitalSignature", True),
    ("a signer under the CA carrying a critical extension unknown to the check",
     row_under_ca([], code_signer((x509.UnrecognizedExtension(x509.ObjectIdentifier("1.3.6.1.4.1.55555.2"),
                                                              b"\x05\x00"), True))),
     "a critical extension unknown to this check (1.3.6.1.4.1.55555.2)", True),
    ("a signer under a sub-CA of the CA whose extended key usage is for servers only",
     row_under_ca([sub_ca(None, (x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), False))], code_signer()),
     "an extendedKeyUsage for its subjects that excludes code signing", True),
    ("a signer under a sub-CA of the CA with critical name constraints",
     row_under_ca([sub_ca(None, (x509.NameConstraints([x509.DNSName("example.org")], None), True))],
                  code_signer()),
     "a critical extension nameConstraints (2.5.29.30) that this check does not apply", True),
    ("a signer under the CA whose authority key identifier is another key's",
     other_key_id, "authorityKeyIdentifier 5a5a", True),
    ("the genuine signature time-stamped by an authority of the CA also allowed to sign code",
     lambda p, w, k: with_token(p, token_for(outer_signature(p), *pki_tsa(w, k, usages=(
         ExtendedKeyUsageOID.TIME_STAMPING, ExtendedKeyUsageOID.CODE_SIGNING)))),
     "extendedKeyUsage not critical and for time-stamping only", True),
    ("a signer under a sub-CA of the CA, every extension one the check applies",
     row_under_ca([sub_ca(0, (x509.KeyUsage(False, False, False, False, False, True, False, False, False), True),
                          (x509.ExtendedKeyUsage([ExtendedKeyUsageOID.CODE_SIGNING]), False))],
                  code_signer((x509.CRLDistributionPoints([x509.DistributionPoint(
                      [x509.UniformResourceIdentifier("http://example.org/ca.crl")], None, None, None)]), False))),
     None, True),
    ("an expired signer time-stamped by a certificate not made for time-stamping",
     lambda p, w, k: expired_with_token(p, w, k, ()), "has no critical time-stamping usage", True),
    ("an expired signer time-stamped now by a time-stamping certificate",
     lambda p, w, k: expired_with_token(p, w, k, (ExtendedKeyUsageOID.TIME_STAMPING,)),
     "is outside the validity of the signer", True),
    ("an expired signer, not time-stamped, without --ca", expired_alone, "is not valid now", False),
    ("the genuine signed attributes in reverse order, signed again with the genuine key",
     lambda p, w, k: signed_again(p, genuine_key(k), lambda attributes: attributes.reverse()),
     "signature: its signed attributes are not in DER's order", False),
    ("a time-stamp whose signed attributes its authority's key signed in reverse order",
     stamped(reverse=True), "time-stamp: its signed attributes are not in DER's order",
     True),
    ("the genuine signature time-stamped by a self-made authority carrying 4 KB", self_made_authority,
     "chains neither to the signer's root nor to a system root", False),
    ("a legacy countersignature in place of the RFC 3161 token", legacy_countersignature,
     "an element after SignerInfo.signature inside SignerInfo", False),
    ("a nested second signature", nested, "an element after SignerInfo.signature inside SignerInfo", False),
    ("the genuine signature time-stamped by an RFC 3161 responder of the CA",
     time_stamped, None, True),
]
ROWS += [(what, make, expected, True) for what, make, expected in FORM_ROWS]
