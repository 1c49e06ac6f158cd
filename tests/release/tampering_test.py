"""Tampers with a genuine signed release in the ways the release check must
catch (the signature block, the signer, the zip, oversized and corrupt
input), each file made here from the genuine one, and runs
tools/verify_release.sh on each: it must fail in one line naming the file
and the reason, or, where the table says so, pass showing that signer.
Prints one line per case; exit status 1 if any case went wrong.

  /usr/bin/python3 tampering_test.py SIGNED_ZIP UNSIGNED_ZIP PKI_DIR
"""
import io
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../tools/release/slotbench_release"))
import release_zip  # noqa: E402
from asn1crypto import cms
from cryptography import x509
from cryptography.hazmat.primitives import hashes

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SECURITY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
signed_zip, unsigned_zip, pki = (os.path.abspath(a) for a in sys.argv[1:4])
ca = os.path.join(pki, "ca.crt")
work = tempfile.mkdtemp(prefix="slotbench-tampering.")


def run(*command):
    subprocess.run(command, check=True, capture_output=True, cwd=work)


def put(name, data):
    with open(os.path.join(work, name), "wb") as f:
        f.write(data)
    return name


def certificate(path):
    with open(os.path.join(work, path), "rb") as f:
        return x509.load_pem_x509_certificate(f.read())


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


def sign(out, certificates, key, source="unsigned.exe", *extra):
    """source signed with key; certificates: the list that goes with it."""
    with open(os.path.join(work, "certs.pem"), "wb") as chain:
        for name in certificates:
            with open(os.path.join(work, name), "rb") as f:
                chain.write(f.read())
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


def nonzero_padding(data):
    start = pefile.PE(data=data, fast_load=True).OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY].VirtualAddress
    if start + 8 + len(cms.ContentInfo.load(data[start + 8:]).dump()) == len(data):
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


def flipped(data, offset):
    data = bytearray(data)
    data[offset] ^= 0xFF
    return bytes(data)


with zipfile.ZipFile(signed_zip) as z:
    genuine = {i.filename: z.read(i) for i in z.infolist()}
    date_time = z.infolist()[0].date_time
    readme = z.getinfo("README.txt")  # its local header: 30 bytes and the name
with zipfile.ZipFile(unsigned_zip) as z:
    put("unsigned.exe", z.read("x86/SlotBench.exe"))
with open(signed_zip, "rb") as f:
    zip_bytes = f.read()
program = genuine["x86/SlotBench.exe"]
put("genuine.exe", program)
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
genuine_names, genuine_issuer = (n.rfc4514_string() for n in (certificate("good.crt").subject, certificate("ca.crt").subject))
run("osslsigncode", "add", "-addUnauthenticatedBlob", "-in", "genuine.exe", "-out", "blob.exe")
# The genuine signature with a time-stamp of the CA's own time-stamp authority.
issue("time-stamps", "/CN=Time stamps", "ca", usage="timeStamping")
run("osslsigncode", "add", "-TSA-certs", "time-stamps.crt", "-TSA-key", "time-stamps.key",
    "-in", "genuine.exe", "-out", "time-stamped.exe")
with open(os.path.join(work, "time-stamps-and-more.pem"), "wb") as f:
    f.write(open(os.path.join(work, "time-stamps.crt"), "rb").read() + open(os.path.join(work, "other.crt"), "rb").read())
run("osslsigncode", "add", "-TSA-certs", "time-stamps-and-more.pem", "-TSA-key", "time-stamps.key",
    "-in", "genuine.exe", "-out", "time-stamp-more.exe")
release_zip.write(os.path.join(work, "redated.zip"), genuine, (2001, 2, 3, 4, 5, 6))

with_ca = ("--ca", ca)
CASES = (  # what, file, options, exit status, text in the one line
    ("the genuine signature time-stamped", "time-stamped.exe", with_ca, 0, ", time-stamped "),
    ("bytes inside the certificate table", put("table-grown.exe", in_table(program, b"PAYLOAD!")), with_ca, 1,
     "bytes after the signature in its table that are not its zero padding"),
    ("a changed PE checksum", put("checksum.exe", changed_checksum(program)), with_ca, 1, "PE checksum"),
    ("padding that is not zero", put("padding.exe", nonzero_padding(program)), with_ca, 1,
     "that are not its zero padding"),
    ("a nested signature by a look-alike CA",
     sign("nested.exe", ["look-alike.crt", "look-alike-ca.crt"], "look-alike.key", "genuine.exe", "-nest"),
     with_ca, 1, "a second, nested signature"),
    ("an unauthenticated blob", "blob.exe", with_ca, 1, "unsigned attributes besides one time-stamp"),
    ("a time-stamp carrying a certificate beside its chain", "time-stamp-more.exe", with_ca, 1,
     "certificates beside the time-stamp authority's chain"),
    ("the CA's certificate listed twice", sign("twice.exe", ["good.crt", "ca.crt", "ca.crt"], "signer.key"),
     with_ca, 1, "a certificate listed twice"),
    ("another certificate of the CA with a forged one claiming the genuine name",
     sign("forged.exe", ["other.crt", "forged.crt", "ca.crt"], "other.key"), with_ca, 1,
     "2 certificates with the signer's issuer and serial number"),
    ("another certificate of the CA, the genuine signer pinned",
     sign("other.exe", ["other.crt", "ca.crt"], "other.key"), with_ca + ("--signer", genuine_signer), 1,
     "signed by CN=Someone else"),
    ("a look-alike CA's signer, with --ca",
     sign("look-alike.exe", ["look-alike.crt", "look-alike-ca.crt"], "look-alike.key"), with_ca, 1,
     "does not chain to the CA in"),
    ("a look-alike CA's signer, without --ca: another fingerprint shown", "look-alike.exe", (), 0,
     f"signed by {genuine_names} (issued by {genuine_issuer}; SHA-256 {look_alike_signer})"),
    ("a zip comment", put("comment.zip", with_comment(zip_bytes)), with_ca, 1, "a comment"),
    ("bytes before the zip", put("prefix.zip", b"PK junk " + zip_bytes), with_ca, 1,
     "8 bytes before its first listed entry"),
    ("entries in another order", put("order.zip", rezipped(order=lambda c: sorted(c, reverse=True))), with_ca,
     1, "its entries in another order"),
    ("a symbolic-link mode on README.txt",
     put("mode.zip", rezipped(mode=lambda name: 0o120644 if name == "README.txt" else 0o100644)), with_ca, 1,
     "README.txt with mode 120644"),
    ("an unlisted local entry of another program first", put("local.zip", other_program_first(zip_bytes)),
     with_ca, 1, "bytes before its first listed entry"),
    ("a local header that disagrees with the central directory", put("header.zip", flipped(zip_bytes, 10)),
     with_ca, 1, "the first difference at byte 10"),
    ("the release writer's zip with other dates", "redated.zip", with_ca, 1, "its entries are dated"),
    ("a 20 MiB README.txt compressed small",
     put("huge.zip", rezipped(contents=dict(genuine, **{"README.txt": bytes(20 << 20)}))), with_ca, 1,
     "README.txt claims 20971520 bytes"),
    ("corrupt deflate data", put("corrupt.zip", flipped(zip_bytes, readme.header_offset + 30 + len("README.txt"))),
     with_ca, 1, "README.txt is corrupt"),
)

failed = 0
for what, name, options, status, text in CASES:
    result = subprocess.run(["bash", os.path.join(ROOT, "tools/verify_release.sh"), "--unsigned", unsigned_zip,
                             *options, os.path.join(work, name)], capture_output=True, text=True)
    lines = (result.stderr if status else result.stdout).strip().splitlines()
    shown = next((line for line in lines if text in line), lines[-1] if lines else "(nothing)")
    good = result.returncode == status and text in shown and name in shown and \
        (status == 0 or len(lines) == 1) and "Traceback" not in result.stderr
    failed += not good
    print(f"tampering: {'ok' if good else 'FAILED'}: {what}: {shown}")
    if not good:
        print(f"  exit status {result.returncode}, expected {status} and {text!r}:\n  "
              + "\n  ".join((result.stdout + result.stderr).splitlines()[-5:]))
shutil.rmtree(work)
sys.exit(1 if failed else 0)
