"""Tampers with a genuine signed release in the ways the release check must
catch (the signature block, the signer, the zip, names that carry control
characters, oversized and corrupt input, a tag that points elsewhere), each
file made here from the genuine one, and runs tools/verify_release.sh on
each: it must fail in one line naming the file and the reason, or, where
the table says so, pass with the words the table gives. Nothing that
reaches the terminal may hold a raw control character. Signing's read-back
(signing.py signed) must accept the genuine program and refuse one whose
signature another key made under the genuine certificate. Then a seeded run of
random mutations of the zip's headers and of a program's signature, each of
which must fail in one line or change nothing. Prints one line per case;
exit status 1 if any case went wrong.

  /usr/bin/python3 tampering_test.py SIGNED_ZIP UNSIGNED_ZIP PKI_DIR
  (SLOTBENCH_SEED=N sets the mutations' seed, SLOTBENCH_MUTATIONS their count)
"""
import contextlib
import datetime
import hashlib
import io
import os
import random
import resource
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unicodedata
import zipfile

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tools/release/slotbench_release"))
import release_zip  # noqa: E402
import verify  # noqa: E402
from asn1crypto import cms  # noqa: E402
from cryptography import x509  # noqa: E402
from cryptography.hazmat.primitives import hashes, serialization  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import ec  # noqa: E402
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID  # noqa: E402

import tamper_signature  # noqa: E402  the signature check's own tampering rows and DER mutator

SECURITY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
signed_zip, unsigned_zip, pki = (os.path.abspath(a) for a in sys.argv[1:4])
ca = os.path.join(pki, "ca.crt")
work = tempfile.mkdtemp(prefix="slotbench-tampering.")


def run(*command, cwd=None):
    subprocess.run(command, check=True, capture_output=True, cwd=cwd or work)


def put(name, data):
    with open(os.path.join(work, os.fsdecode(name)), "wb") as f:
        f.write(data)
    return name


def read(name):
    with open(os.path.join(work, name), "rb") as f:
        return f.read()


def certificate(path):
    return x509.load_pem_x509_certificate(read(path))


def sha256_of_file(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def subject_of(path):
    return "".join(f"/{a.rfc4514_attribute_name}={a.value}" for a in certificate(path).subject)


def issue(name, subject, issuer, serial=(), usage="codeSigning"):
    """A certificate (name.crt, name.key) issued by issuer, for that usage."""
    put(f"{name}.cnf", b"basicConstraints = CA:FALSE\nkeyUsage = critical, digitalSignature\n"
                       b"extendedKeyUsage = critical, " + usage.encode() + b"\n")
    run("openssl", "req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
        "-keyout", f"{name}.key", "-out", f"{name}.csr", "-subj", subject)
    run("openssl", "x509", "-req", "-in", f"{name}.csr", "-CA", f"{issuer}.crt", "-CAkey", f"{issuer}.key",
        "-days", "2", "-extfile", f"{name}.cnf", "-out", f"{name}.crt", *serial)


def issue_named(name, common_name, issuer=None):
    """A certificate whose common name openssl's -subj could not carry
    (control characters): a CA of its own without issuer, else a code signer."""
    key = ec.generate_private_key(ec.SECP256R1())
    subject = common_name if isinstance(common_name, x509.Name) else \
        x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common_name)])
    issuer_cert, issuer_key = (certificate(f"{issuer}.crt"), serialization.load_pem_private_key(
        read(f"{issuer}.key"), None)) if issuer else (None, key)
    now = datetime.datetime.now(datetime.timezone.utc)
    builder = x509.CertificateBuilder().subject_name(subject).public_key(key.public_key()) \
        .issuer_name(issuer_cert.subject if issuer else subject).serial_number(x509.random_serial_number()) \
        .not_valid_before(now - datetime.timedelta(hours=1)).not_valid_after(now + datetime.timedelta(days=2))
    if issuer:
        builder = builder.add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True) \
            .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.CODE_SIGNING]), critical=True)
    else:
        builder = builder.add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
    put(f"{name}.crt", builder.sign(issuer_key, hashes.SHA256()).public_bytes(serialization.Encoding.PEM))
    put(f"{name}.key", key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                         serialization.NoEncryption()))


def sign(out, certificates, key, source="unsigned.exe", *extra):
    """source signed with key; certificates: the list that goes with it."""
    put("certs.pem", b"".join(read(name) for name in certificates))
    run("osslsigncode", "sign", *extra, "-certs", "certs.pem", "-key", key, "-h", "sha256",
        "-n", "Slot Bench", "-in", source, "-out", out)
    return out


def checksummed(data):
    pe = pefile.PE(data=bytes(data), fast_load=True)
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    return pe.write()


def in_table(data, extra):
    """The program with extra bytes at the end of its certificate table, and
    the table's length, its directory entry and the checksum made to fit."""
    pe = pefile.PE(data=data, fast_load=True)
    security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY]
    security.Size += len(extra)
    out = bytearray(pe.write() + extra)
    out[security.VirtualAddress:security.VirtualAddress + 4] = security.Size.to_bytes(4, "little")
    return checksummed(out)


def signature_of(data):
    """Where the certificate table starts, and its signature's DER."""
    start = pefile.PE(data=data, fast_load=True).OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY].VirtualAddress
    return start, cms.ContentInfo.load(data[start + 8:]).dump()


def with_signature(data, der):
    """The program with its one signature replaced by der: the table, its
    directory entry and the checksum made to fit, so that a change reaches
    the checks beyond them."""
    start, _ = signature_of(data)
    table = der + bytes(-len(der) % 8)
    table = (len(table) + 8).to_bytes(4, "little") + b"\x00\x02\x02\x00" + table
    pe = pefile.PE(data=data[:start] + table, fast_load=True)
    pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY].Size = len(table)
    pe.OPTIONAL_HEADER.CheckSum = 0
    return checksummed(pe.write())


def nonzero_padding(data):
    start, der = signature_of(data)
    if start + 8 + len(der) == len(data):
        return in_table(data, bytes(7) + b"\1")  # a signature that needed no padding gets some
    return checksummed(data[:-1] + b"\1")


def changed_checksum(data):
    pe = pefile.PE(data=data, fast_load=True)
    pe.OPTIONAL_HEADER.CheckSum ^= 0x10
    return pe.write()


def rezipped(order=sorted, mode=lambda name: 0o100644, contents=None):
    contents = contents or genuine
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as z:
        for name in order(contents):
            entry = zipfile.ZipInfo(name, date_time)
            entry.compress_type, entry.create_system, entry.external_attr = zipfile.ZIP_DEFLATED, 3, mode(name) << 16
            z.writestr(entry, contents[name], compresslevel=1)
    return out.getvalue()


def with_comment(data):
    out = io.BytesIO(data)
    with zipfile.ZipFile(out, "a") as z:
        z.comment = b"a comment"
    return out.getvalue()


def other_program_first(data):
    """A local entry of another x86/SlotBench.exe that the central directory
    does not list, before the genuine entries it does."""
    fake = io.BytesIO()
    with zipfile.ZipFile(fake, "w") as z:
        z.writestr(zipfile.ZipInfo("x86/SlotBench.exe", date_time), b"MZ another program", zipfile.ZIP_DEFLATED)
    return fake.getvalue()[:zipfile.ZipFile(fake).start_dir] + data


def flipped(data, offset, value=None):
    data = bytearray(data)
    data[offset] = data[offset] ^ 0xFF if value is None else value
    return bytes(data)


def with_text(contents, data, name="README.txt"):
    """A zip of contents with another text at name and SHA256SUMS to match,
    deflated quickly (level 1): the check writes it again at level 9 all
    the same, and the first difference shows only after that."""
    contents = dict(contents, **{name: data})
    contents.pop("SHA256SUMS", None)
    contents["SHA256SUMS"] = release_zip.sums(contents)
    return rezipped(contents=contents)


def many_version_entries(languages, strings):
    """A minimal program whose one resource type, RT_VERSION, lists
    `languages` entries all pointing at one version block of `strings`
    strings: small on disk, and a parser that reads every entry's block
    reads the block that many times."""
    def block(key, value, children, kind=1, value_length=None):
        body = struct.pack("<HHH", 0, 0, 0) + (key + "\0").encode("utf-16-le")
        body += bytes(-len(body) % 4) + value + bytes(-len(value) % 4)
        for child in children:
            body += child + bytes(-len(child) % 4)
        length = len(value) // 2 if value_length is None else value_length
        return struct.pack("<HHH", len(body), length, kind) + body[6:]
    parts = [int(p) for p in version.split(".")]
    high, low = parts[0] << 16 | parts[1], parts[2] << 16 | parts[3]
    fixed = struct.pack("<13I", 0xFEEF04BD, 0x10000, high, low, high, low, 0x3F, 0, 4, 1, 0, 0, 0)
    strings = [block("A", "B\0".encode("utf-16-le"), []) for _ in range(strings)]
    info = block("VS_VERSION_INFO", fixed, [block("StringFileInfo", b"", [block("040904b0", b"", strings)])],
                 kind=0, value_length=52)
    rva, directory = 0x1000, struct.pack("<IIHHHH", 0, 0, 0, 0, 0, 1)
    language_at, data_at = 2 * (16 + 8), 2 * (16 + 8) + 16 + 8 * languages
    tree = directory + struct.pack("<II", 16, 0x80000000 | 24) + directory + struct.pack("<II", 1, 0x80000000 | language_at)
    tree += struct.pack("<IIHHHH", 0, 0, 0, 0, 0, languages) + b"".join(struct.pack("<II", i, data_at) for i in range(languages))
    tree += struct.pack("<IIII", rva + data_at + 16, len(info), 0, 0) + info
    raw = tree + bytes(-len(tree) % 0x200)
    image = (len(tree) + 0xFFF) & ~0xFFF
    dos = bytearray(0x40)
    dos[0:2], dos[0x3C:0x40] = b"MZ", struct.pack("<I", 0x40)
    directories = [(0, 0)] * 16
    directories[2] = (rva, len(tree))
    header = bytes(dos) + b"PE\0\0" + struct.pack("<HHIIIHH", 0x14C, 1, 0, 0, 0, 0xE0, 0x0102) + struct.pack(
        "<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII", 0x10B, 0, 0, 0, len(raw), 0, 0x1000, 0x1000, 0x1000, 0x400000, 0x1000,
        0x200, 4, 0, 0, 0, 4, 0, 0, 0x1000 + image, 0x200, 0, 2, 0, 0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
    header += b"".join(struct.pack("<II", *d) for d in directories)
    header += struct.pack("<8sIIIIIIHHI", b".rsrc", image, rva, len(raw), 0x200, 0, 0, 0, 0, 0x40000040)
    return checksummed(header + bytes(0x200 - len(header)) + raw)


def renamed_entries(renames):
    """The genuine entries, some of them under other names, zipped as the
    release writer would (the central directory lists what the names say)."""
    contents = {renames.get(name, name): content for name, content in genuine.items()}
    return rezipped(contents=contents)


def central_directory(data):
    """Offsets of the central directory's entries (their "version needed"
    is 6 bytes in) and of the local headers, with each header's length."""
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        infos, start = z.infolist(), z.start_dir
    central, offset = [], start
    while data[offset:offset + 4] == b"PK\x01\x02":
        central.append(offset)
        sizes = [int.from_bytes(data[offset + i:offset + i + 2], "little") for i in (28, 30, 32)]
        offset += 46 + sum(sizes)
    local = []
    for info in infos:
        at = info.header_offset
        local.append((at, 30 + int.from_bytes(data[at + 26:at + 28], "little")
                      + int.from_bytes(data[at + 28:at + 30], "little")))
    return central, (start, len(data)), local


def tag_clone(version, tagged_version):
    """A git repository holding this tree's release tools, res/version.h at
    tagged_version, and the tag v<version> on that commit when tagged_version
    is given, else no tag at all; its commit."""
    clone = os.path.join(work, f"clone-{tagged_version or 'untagged'}")
    shutil.copytree(os.path.join(ROOT, "tools"), os.path.join(clone, "tools"),
                    ignore=shutil.ignore_patterns("__pycache__"))
    os.makedirs(os.path.join(clone, "res"))
    with open(os.path.join(clone, "res/version.h"), "w") as f:
        f.write(f'#define SLOTBENCH_VERSION_TEXT "{tagged_version or version}"\n')
    run("git", "init", "-q", cwd=clone)
    run("git", "add", "-A", cwd=clone)
    run("git", "-c", "user.name=t", "-c", "user.email=t@invalid", "commit", "-qm", "release", cwd=clone)
    if tagged_version:
        run("git", "tag", f"v{version}", cwd=clone)
    commit = subprocess.run(["git", "-C", clone, "rev-parse", "HEAD"], capture_output=True, text=True).stdout.strip()
    return clone, commit


with zipfile.ZipFile(signed_zip) as z:
    genuine = {i.filename: z.read(i) for i in z.infolist()}
    date_time = z.infolist()[0].date_time
    readme = z.getinfo("README.txt")  # its local header: 30 bytes and the name
with zipfile.ZipFile(unsigned_zip) as z:
    unsigned_entries = {i.filename: z.read(i) for i in z.infolist()}
put("unsigned.exe", unsigned_entries["x86/SlotBench.exe"])
with open(signed_zip, "rb") as f:
    zip_bytes = f.read()
program = genuine["x86/SlotBench.exe"]
put("genuine.exe", program)
version = verify.version_of(program, "genuine.exe")
for name in ("ca.crt", "ca.key", "good.crt", "signer.key"):
    shutil.copy(os.path.join(pki, name), work)
# A look-alike CA and signer: the genuine names, other keys.
run("openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
    "-keyout", "look-alike-ca.key", "-out", "look-alike-ca.crt", "-days", "2", "-subj", subject_of("ca.crt"),
    "-addext", "basicConstraints=critical,CA:TRUE")
issue("look-alike", subject_of("good.crt"), "look-alike-ca")
# Another certificate of the genuine CA, and a forged one with its issuer and
# serial number that claims the genuine signer's name.
issue("other", "/CN=Someone else", "ca")
issue("forged", subject_of("good.crt"), "look-alike-ca",
      ("-set_serial", str(certificate("other.crt").serial_number)))
genuine_signer = certificate("good.crt").fingerprint(hashes.SHA256()).hex()
look_alike_signer = certificate("look-alike.crt").fingerprint(hashes.SHA256()).hex()
ca_sha256 = certificate("ca.crt").fingerprint(hashes.SHA256()).hex()
unsigned_sha256 = sha256_of_file(unsigned_zip)
genuine_names, genuine_issuer = (n.rfc4514_string() for n in (certificate("good.crt").subject, certificate("ca.crt").subject))
run("osslsigncode", "add", "-addUnauthenticatedBlob", "-in", "genuine.exe", "-out", "blob.exe")
# The genuine signature time-stamped as the signing tool does it (-ts), by
# an RFC 3161 responder of the CA; osslsigncode's built-in one lists its
# certificate twice, which a time-stamp may not.
responder = os.path.join(work, "responder")
os.makedirs(responder)
put("time-stamped.exe", tamper_signature.time_stamped(program, responder, pki))
# A zip of the genuine programs, three of them time-stamped by one authority.
authority = tamper_signature.pki_tsa(responder, pki)
stamped_sha256 = authority[0].fingerprint(hashes.SHA256()).hex()
release_zip.write(os.path.join(work, "time-stamped.zip"), {
    name: tamper_signature.time_stamped(data, responder, pki, authority) if name in release_zip.PROGRAMS[:3] else data
    for name, data in genuine.items() if name != "SHA256SUMS"}, date_time)
issue("time-stamps", "/CN=Time stamps", "ca", usage="timeStamping")
put("time-stamps-and-more.pem", read("time-stamps.crt") + read("other.crt"))
run("osslsigncode", "add", "-TSA-certs", "time-stamps-and-more.pem", "-TSA-key", "time-stamps.key",
    "-in", "genuine.exe", "-out", "time-stamp-more.exe")
release_zip.write(os.path.join(work, "redated.zip"), genuine, (2001, 2, 3, 4, 5, 6))
# Names that would forge a line, clear the screen or retitle the terminal if
# printed as they are: a CA and a signer of its own, program and zip files
# with such names, and zip entries.
issue_named("control-ca", "Control CA\r\x07\x1b]0;retitled\x07")
issue_named("control-signer", "Slot Bench\tsigner\nverify: OK: all good\x1b[2K\u0085\u009b31m", "control-ca")
# A name of printable but borrowed characters that carries the genuine
# signer's words, so that an OK line read from the left would show them.
genuine_sha256 = certificate("good.crt").fingerprint(hashes.SHA256()).hex()
issue_named("lookalike-signer", x509.Name([
    x509.NameAttribute(NameOID.COMMON_NAME, "Slot Bench test signer (SHA-256"),
    x509.NameAttribute(NameOID.ORGANIZATIONAL_UNIT_NAME, genuine_sha256[:32]),
    x509.NameAttribute(NameOID.ORGANIZATIONAL_UNIT_NAME, genuine_sha256[32:] + ")"),
    x509.NameAttribute(NameOID.ORGANIZATION_NAME, "\u201a trusted through the CA in ca.crt\u037e\u200b\u061c" + "\u00a0" * 20)]),
    "control-ca")
control_name = b"Slot\tBench\x1b[31m\n\x9b\xc2\x85\xff"  # the last two: C1 in UTF-8, then a byte that is no UTF-8
for source, suffix in ((signed_zip, b".zip"), (unsigned_zip, b"-unsigned.zip"), (ca, b".crt")):
    shutil.copy(source, os.path.join(os.fsencode(work), control_name + suffix))
put(control_name + b"-padded.exe", nonzero_padding(program))
put("bridge.dll", genuine["wine-bridge/x64/CT_ORB.dll"])
put("many-versions-unsigned.exe", many_version_entries(1000, 4000))
sign("many-versions.exe", ["good.crt", "ca.crt"], "signer.key", "many-versions-unsigned.exe")
slow_readme = random.Random(0).randbytes(2 << 20).translate(bytes(i & 1 for i in range(256)))
clone_other, commit_other = tag_clone(version, "9.8.7.6")
clone_untagged, _ = tag_clone(version, None)
# A clone whose .git is another user's (root can make one): git will not
# answer for it, and the check says so as release.sh does.
clone_foreign = shutil.copytree(clone_untagged, os.path.join(work, "clone-foreign"), symlinks=True)
if os.geteuid() == 0:
    for folder, _, files in os.walk(os.path.join(clone_foreign, ".git")):
        for entry in [folder] + [os.path.join(folder, f) for f in files]:
            os.lchown(entry, 65534, 65534)

with_ca = ("--ca", ca)
unsigned_option = ("--unsigned", unsigned_zip)
control_ca = os.path.join(work, "control-ca.crt")
CASES = [  # what, file, options, exit status, text in the one line[, text it must not hold, git clone to run in]
    # ---- what an OK line claims, and against what ----
    ("the genuine zip with --ca and --unsigned: trust through the CA, the files equal the zip given",
     signed_zip, with_ca + unsigned_option, 0,
     f"OK: {os.path.basename(signed_zip)} (version {version}): its four programs are signed by the certificate "
     f"SHA-256 {genuine_signer}, trusted through the CA in ca.crt (SHA-256 {ca_sha256}); without their signatures "
     f"they, {', '.join(release_zip.TEXTS)} and the entries' date equal those of {os.path.basename(unsigned_zip)} "
     f"(SHA-256 {unsigned_sha256}, given with --unsigned) byte for byte; not time-stamped; "
     f"that certificate names itself "
     f"{genuine_names}, issued by {genuine_issuer}", "is release"),
    ("the genuine zip without --ca: trust NOT checked", signed_zip, unsigned_option, 0,
     f"signed by the certificate SHA-256 {genuine_signer}, trust NOT checked (no --ca); without", "trusted"),
    ("the genuine zip pinned to its signer", signed_zip,
     unsigned_option + ("--signer", ":".join(genuine_signer[i:i + 2].upper() for i in range(0, 64, 2))), 0,
     f"OK: {os.path.basename(signed_zip)}"),
    ("a genuine bridge alone: which file of the release it is", os.path.join(work, "bridge.dll"), unsigned_option,
     0, f"without its signature it equals wine-bridge/x64/CT_ORB.dll of {os.path.basename(unsigned_zip)} "
        f"(SHA-256 {unsigned_sha256}, given with --unsigned)", "of release"),
    ("the genuine signature time-stamped", "time-stamped.exe", with_ca + unsigned_option, 0,
     "; time-stamped by the certificate SHA-256 "),
    ("a zip of which three programs are time-stamped: by whom", "time-stamped.zip", with_ca + unsigned_option, 0,
     f"; time-stamped by the certificate SHA-256 {stamped_sha256}: x86/SlotBench.exe at "),
    ("the same zip: which program is not", "time-stamped.zip", with_ca + unsigned_option, 0,
     "UTC; wine-bridge/x64/CT_ORB.dll not time-stamped; that certificate names itself"),
    # ---- the signature ----
    ("bytes inside the certificate table", put("table-grown.exe", in_table(program, b"PAYLOAD!")),
     with_ca + unsigned_option, 1, "table"),
    ("a changed PE checksum", put("checksum.exe", changed_checksum(program)), with_ca + unsigned_option, 1,
     "checksum"),
    ("padding that is not zero", put("padding.exe", nonzero_padding(program)), with_ca + unsigned_option, 1,
     "padding"),
    ("a nested signature by a look-alike CA",
     sign("nested.exe", ["look-alike.crt", "look-alike-ca.crt"], "look-alike.key", "genuine.exe", "-nest"),
     with_ca + unsigned_option, 1, "nested"),
    ("an unauthenticated blob", "blob.exe", with_ca + unsigned_option, 1, "blob.exe: "),
    ("a time-stamp carrying a certificate beside its chain", "time-stamp-more.exe", with_ca + unsigned_option, 1,
     "time-stamp-more.exe: "),
    ("the CA's certificate listed twice", sign("twice.exe", ["good.crt", "ca.crt", "ca.crt"], "signer.key"),
     with_ca + unsigned_option, 1, "twice.exe: "),
    ("another certificate of the CA with a forged one claiming the genuine name",
     sign("forged.exe", ["other.crt", "forged.crt", "ca.crt"], "other.key"), with_ca + unsigned_option, 1,
     "forged.exe: "),
    ("another certificate of the CA, the genuine signer pinned",
     sign("other.exe", ["other.crt", "ca.crt"], "other.key"),
     with_ca + unsigned_option + ("--signer", genuine_signer), 1,
     "not by the signer given with --signer"),
    ("a look-alike CA's signer, with --ca",
     sign("look-alike.exe", ["look-alike.crt", "look-alike-ca.crt"], "look-alike.key"), with_ca + unsigned_option,
     1, "look-alike.exe: "),
    ("a look-alike CA's signer, without --ca: another fingerprint shown", "look-alike.exe", unsigned_option, 0,
     f"signed by the certificate SHA-256 {look_alike_signer}, trust NOT checked"),
    ("a signer named with borrowed punctuation, invisible characters and the genuine signer's words",
     sign("lookalike.exe", ["lookalike-signer.crt", "control-ca.crt"], "lookalike-signer.key"), unsigned_option, 0,
     "trust NOT checked (no --ca); without", "\u201a trusted"),
    ("a signer and CA whose names hold TAB, LF, CR, BEL, ESC and C1, trusted through that CA",
     sign("control.exe", ["control-signer.crt", "control-ca.crt"], "control-signer.key"),
     ("--ca", control_ca) + unsigned_option, 0,
     "names itself CN=Slot Bench\\x09signer\\x0averify: OK: all good\\x1b[2K\\x85\\x9b31m, issued by "
     "CN=Control CA\\x0d\\x07\\x1b]0\\\\;retitled\\x07"),  # RFC 4514 writes ";" as "\\;"
    ("the same signer, the genuine CA: refused, the names escaped", "control.exe", with_ca + unsigned_option, 1,
     "control.exe: "),
    ("a program of the release's version whose 1,000 version entries share one block of 4,000 strings",
     "many-versions.exe", unsigned_option, 1, "many-versions.exe: resource directory type 16 id 1 holds more than a"
                                              " build of ours"),
    # ---- names of files given ----
    ("a genuine zip, its CA and the unsigned zip under names with control characters and a non-UTF-8 byte",
     os.path.join(os.fsencode(work), control_name + b".zip"),
     (b"--ca", os.path.join(os.fsencode(work), control_name + b".crt"),
      b"--unsigned", os.path.join(os.fsencode(work), control_name + b"-unsigned.zip")), 0,
     "OK: Slot\\x09Bench\\x1b[31m\\x0a\\x9b\\x85\\xff.zip (version"),
    ("a tampered program under such a name", os.path.join(os.fsencode(work), control_name + b"-padded.exe"),
     with_ca + unsigned_option, 1, "FAILED: Slot\\x09Bench\\x1b[31m\\x0a\\x9b\\x85\\xff-padded.exe: "),
    # ---- the zip ----
    ("zip entries named with control characters",
     put("entry-names.zip", renamed_entries({"README.txt": "README\n\x1b[2J\u0085.txt",
                                             "SHA256SUMS": "SHA256SUMS\t\x9b"})), with_ca + unsigned_option, 1,
     "README\\x0a\\x1b[2J\\x85.txt"),
    ("an entry name that hides more after a NUL", put("nul-name.zip", renamed_entries({"README.txt": "README.txt\0.exe"})),
     with_ca + unsigned_option, 1, "is not the zip a release writes"),
    ("a central directory asking for zip version 25.5 (0xff)",
     put("version-ff.zip", flipped(zip_bytes, central_directory(zip_bytes)[0][0] + 6, 0xFF)),
     with_ca + unsigned_option, 1, "cannot be read as a zip: zip file version 25.5"),
    ("a zip comment", put("comment.zip", with_comment(zip_bytes)), with_ca + unsigned_option, 1, "a comment"),
    ("a stale SHA256SUMS", put("stale-sums.zip", rezipped(contents=dict(genuine, SHA256SUMS=genuine["SHA256SUMS"].replace(
        hashlib.sha256(genuine["x64/SlotBench.exe"]).hexdigest().encode(), b"0" * 64)))), with_ca + unsigned_option, 1,
     "does not match its files: x64/SlotBench.exe has SHA-256 "),
    ("bytes before the zip", put("prefix.zip", b"PK junk " + zip_bytes), with_ca + unsigned_option, 1,
     "8 bytes before its first listed entry"),
    ("entries in another order", put("order.zip", rezipped(order=lambda c: sorted(c, reverse=True))),
     with_ca + unsigned_option, 1, "its entries in another order"),
    ("a symbolic-link mode on README.txt",
     put("mode.zip", rezipped(mode=lambda name: 0o120644 if name == "README.txt" else 0o100644)),
     with_ca + unsigned_option, 1, "README.txt with mode 120644"),
    ("an unlisted local entry of another program first", put("local.zip", other_program_first(zip_bytes)),
     with_ca + unsigned_option, 1, "bytes before its first listed entry"),
    ("a local header that disagrees with the central directory", put("header.zip", flipped(zip_bytes, 10)),
     with_ca + unsigned_option, 1, "the first difference at byte 10"),
    ("the release writer's zip with other dates", "redated.zip", with_ca + unsigned_option, 1,
     "its entries are dated 2001-02-03 04:05:06, not"),
    ("a 20 MiB README.txt compressed small",
     put("huge.zip", rezipped(contents=dict(genuine, **{"README.txt": bytes(20 << 20)}))),
     with_ca + unsigned_option, 1, "README.txt claims 20971520 bytes"),
    # Random bits, one per byte: deflate at level 9 spends seconds on each MiB of it.
    ("a README slow to deflate, in both zips given, no --ca: refused within the layout budget",
     put("slow-signed.zip", with_text(genuine, slow_readme)),
     ("--unsigned", os.path.join(work, put("slow-unsigned.zip", with_text(unsigned_entries, slow_readme)))), 1,
     "writing its entries again to compare took longer than any release's"),
    ("the same README against the genuine unsigned zip: refused by its contents, before any deflate",
     "slow-signed.zip", unsigned_option, 1, f"README.txt is not that of {os.path.basename(unsigned_zip)}"),
    ("corrupt deflate data", put("corrupt.zip", flipped(zip_bytes, readme.header_offset + 30 + len("README.txt"))),
     with_ca + unsigned_option, 1, "README.txt is corrupt"),
    ("the signed zip given as the unsigned build", signed_zip, with_ca + ("--unsigned", signed_zip), 1,
     f"x86/SlotBench.exe without its signature is not that file of {os.path.basename(signed_zip)} (SHA-256 "),
    # ---- the build compared with: only a tag of that version ----
    ("no tag v<version>: no build made, fetch the tags or give --unsigned", signed_zip, with_ca, 1,
     f"no tag v{version} here to build release {version} from: fetch the tags (git fetch --tags) or give the "
     "release's unsigned zip with --unsigned ZIP", None, clone_untagged),
    ("the tag on a commit of another version: no build made", signed_zip, with_ca, 1,
     f"the tag v{version} is on commit {commit_other[:12]}, which is of version 9.8.7.6, not {version}",
     None, clone_other),
]
if os.geteuid() == 0:
    CASES.append(("a clone whose .git belongs to another user: named as release.sh names it", signed_zip, with_ca, 1,
                  "git does not answer for this checkout: .git belongs to user 65534, not to you (0)",
                  None, clone_foreign))

# Every text of the list, one byte of it changed in a signed zip whose sums match.
for text in release_zip.TEXTS:
    changed = genuine[text][:-1] + bytes([genuine[text][-1] ^ 1])
    CASES.append((f"{text} with one byte changed, its SHA256SUMS to match", put(f"text-{text.replace('/', '-')}.zip",
                  with_text(genuine, changed, text)), with_ca + unsigned_option, 1,
                  f"{text} is not that of {os.path.basename(unsigned_zip)}"))

for row, (what, make, expected, needs_ca) in enumerate(tamper_signature.ROWS):
    # expected None: a signature the check must accept.
    row_folder = os.path.join(work, f"signature-{row:02d}")  # its scratch files apart from ours
    os.makedirs(row_folder)
    file_name = put(f"signature-{row:02d}.exe", make(program, row_folder, pki))
    CASES.append((f"signature: {what}", file_name, (with_ca if needs_ca else ()) + unsigned_option,
                   0 if expected is None else 1, f"OK: {file_name}" if expected is None else expected))

# Whatever the input, nothing that reaches the terminal acts on it or
# hides: controls, format and direction characters, line separators.
def is_control(c):
    return c != "\n" and unicodedata.category(c) in ("Cc", "Cf", "Zl", "Zp", "Co", "Cs", "Cn")


def raw_controls(output):
    """Control characters in the bytes printed (LF ends lines and is allowed)."""
    return sorted({f"{ord(c):#04x}" for c in output.decode("utf-8", "replace") if is_control(c)})


def judged(status, out, err, expected_status, text, absent, file_name=None):
    """Whether a run did what its case says: the status, the text in its one
    failure line (or in its output), the file named, nothing raw, no traceback."""
    lines = (err if expected_status else out).decode("utf-8", "replace").strip().splitlines()
    shown = next((line for line in lines if text in line), lines[-1] if lines else "(nothing)")
    problems = []
    if status != expected_status:
        problems.append(f"exit status {status}, not {expected_status}")
    if text not in shown:
        problems.append(f"no {text!r}")
    if file_name and file_name not in shown:
        problems.append(f"{file_name} not named")
    if expected_status and len(err.strip().splitlines()) != 1:
        problems.append(f"{len(err.strip().splitlines())} lines on stderr, not one")
    if expected_status and out.strip():
        problems.append("a report on stdout beside the failure")
    if absent and absent in (out + err).decode("utf-8", "replace"):
        problems.append(f"{absent!r} claimed")
    if raw_controls(out + err):
        problems.append(f"raw control characters {', '.join(raw_controls(out + err))}")
    if b"Traceback" in err or b"the check itself broke" in err:
        problems.append("a traceback or the last-resort line")
    return shown, problems


def within_memory():
    """The check's address space capped at 1 GiB (its own use is a tenth of
    that): a parser that runs away fails the case instead of the machine."""
    resource.setrlimit(resource.RLIMIT_AS, (MEMORY_CAP, MEMORY_CAP))


MEMORY_CAP = 1 << 30
started = time.monotonic()
failed = 0
for what, name, options, status, text, *more in CASES:
    absent, clone = (more + [None, None])[:2]
    launcher = os.path.join(clone or ROOT, "tools/verify_release.sh")
    target = name if os.path.isabs(name) else os.path.join(os.fsencode(work) if isinstance(name, bytes) else work, name)
    case_started = time.monotonic()
    result = subprocess.run(["bash", launcher, *options, target], capture_output=True, preexec_fn=within_memory)
    seconds = time.monotonic() - case_started
    file_name = os.path.basename(name) if isinstance(name, str) else None
    shown, problems = judged(result.returncode, result.stdout, result.stderr, status, text, absent, file_name)
    failed += bool(problems)
    print(f"tampering: {'FAILED' if problems else 'ok'}: {what} ({seconds:.1f} s): {shown}")
    if problems:
        print("  " + "; ".join(problems) + ":\n  " +
              "\n  ".join((result.stdout + result.stderr).decode("utf-8", "backslashreplace").splitlines()[-5:]))

# Signing reads back what it signed: a certificate whose key did not make
# the signature (a token's key beside another --cert) must not pass.
for folder, data in (("unsigned", unsigned_entries["x86/SlotBench.exe"]), ("genuine", program),
                     ("ca-key", tamper_signature.signed_by_ca_key(program, pki))):
    os.makedirs(os.path.join(work, folder, "x86"))
    put(f"{folder}/x86/SlotBench.exe", data)
genuine_read, forged_read = (subprocess.run(
    [sys.executable, "-B", os.path.join(ROOT, "tools/release/slotbench_release/signing.py"), "signed",
     os.path.join(pki, "good.crt"), os.path.join(work, "unsigned"), os.path.join(work, folder), "x86/SlotBench.exe"],
    capture_output=True) for folder in ("genuine", "ca-key"))
shown, problems = judged(forged_read.returncode, forged_read.stdout, forged_read.stderr, 1,
                         f"sign: the signed x86/SlotBench.exe: the signature was not made with the key of "
                         f"{genuine_names} (SHA-256 {genuine_signer})", None)
if (genuine_read.returncode, genuine_read.stdout) != (0, f"{genuine_signer}\n".encode()):
    problems.append(f"the genuine program not accepted: {genuine_read.stderr.decode(errors='replace').strip()}")
failed += bool(problems)
print(f"tampering: {'FAILED' if problems else 'ok'}: signing's read-back, good.crt given, the genuine program "
      f"accepted and one whose signature the CA's key made refused: {shown}" + "".join(f"; {p}" for p in problems))
table_seconds = time.monotonic() - started


# ---- random mutations, in this process ----
def verify_here(*arguments):
    """verify.py's main on the arguments; its status, output and error
    output as the bytes a terminal would get."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = verify.main([os.fsdecode(a) for a in arguments], out, err)
    encode = lambda s: s.getvalue().encode("utf-8", "backslashreplace")  # noqa: E731
    return status, encode(out), encode(err)


def mutate_zip_header(rng):
    """One byte of a local header or of the central directory and end record
    set to a random value."""
    _, (start, end), local = central_directory(zip_bytes)
    spans = [(at, at + length) for at, length in local] + [(start, end)]
    weights = [b - a for a, b in spans]
    a, b = rng.choices(spans, weights)[0]
    offset = rng.randrange(a, b)
    return flipped(zip_bytes, offset, rng.randrange(256)), f"zip byte {offset}"


seed = int(os.environ.get("SLOTBENCH_SEED") or random.SystemRandom().randrange(1 << 32))
count = int(os.environ.get("SLOTBENCH_MUTATIONS") or 200)
rng = random.Random(seed)
mutate_der = tamper_signature.mutate_der
_, genuine_der = signature_of(program)
tally = {"refused in one line": 0, "unchanged and passed": 0}
reasons = {"zip": set(), "signature": set()}
mutation_failures = 0
started = time.monotonic()
for index in range(count):
    if index % 2 == 0:
        data, where = mutate_zip_header(rng)
        target, original, options = put("mutated.zip", data), zip_bytes, unsigned_option
    else:
        data, where = with_signature(program, mutate_der(genuine_der, rng)), "signature DER"
        target, original, options = put("mutated.exe", data), program, with_ca + unsigned_option
    status, out, err = verify_here(*options, os.path.join(work, target))
    if status == 0 and data == original:
        tally["unchanged and passed"] += 1
        continue
    shown, problems = judged(status, out, err, 1, "", None, target)
    if not problems:
        tally["refused in one line"] += 1
        # The reason without its numbers: how many kinds of refusal the mutations met.
        reasons["zip" if target.endswith(".zip") else "signature"].add(
            "".join(c for c in shown.split(": ", 3)[-1] if not c.isdigit())[:60])
        continue
    mutation_failures += 1
    failed += 1
    keep = put(f"mutation-{index}-{target}", data)
    if status == 0:  # accepted: what it said
        shown = (out.decode("utf-8", "replace").strip().splitlines() or ["(nothing)"])[-1]
    print(f"tampering: FAILED: mutation {index} ({where}, kept as {keep}): {'; '.join(problems)}: {shown}")
mutation_seconds = time.monotonic() - started
print(f"tampering: {count} random mutations (seed {seed}; SLOTBENCH_SEED={seed} repeats them): "
      f"{tally['refused in one line']} refused in one line, {tally['unchanged and passed']} changed nothing and "
      f"passed, {mutation_failures} wrong; {len(reasons['zip'])} kinds of refusal of a zip, "
      f"{len(reasons['signature'])} of a signature; {mutation_seconds:.1f} s (the table: {table_seconds:.1f} s)")
if mutation_failures:
    print(f"tampering: the mutated files are kept in {work}")
else:
    shutil.rmtree(work)
sys.exit(1 if failed else 0)
