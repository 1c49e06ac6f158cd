"""The signature check (tools/release/slotbench_release/authenticode.py)
against a genuine signed release and the tampered signatures of
tamper_signature.py: the genuine programs pass, with and without the CA,
giving back the unsigned build byte for byte; every tampered one is refused
in one escaped line naming what differs; seeded random mutations of the
signature's DER are all refused, in one line. Prints a line per case; exit
status 1 if any went wrong.

  /usr/bin/python3 authenticode_test.py SIGNED_ZIP UNSIGNED_ZIP PKI_DIR [MUTATIONS]
"""
import os
import random
import shutil
import sys
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "../../tools/release"))
sys.path.insert(0, HERE)
from cryptography import x509  # noqa: E402

import tamper_signature  # noqa: E402
from slotbench_release import authenticode  # noqa: E402

PROGRAMS = ("x86/SlotBench.exe", "x64/SlotBench.exe", "wine-bridge/x86/CT_ORB.dll", "wine-bridge/x64/CT_ORB.dll")
signed_zip, unsigned_zip, pki = sys.argv[1:4]
mutations = int(sys.argv[4]) if len(sys.argv) > 4 else 200
with open(os.path.join(pki, "ca.crt"), "rb") as f:
    ca = x509.load_pem_x509_certificate(f.read())
failed = 0


def report(good, what, line):
    global failed
    failed += not good
    print(f"authenticode: {'ok' if good else 'FAILED'}: {what}: {line}")


def outcome(data, with_ca):
    """(accepted, the one line or the signer's fingerprint)."""
    try:
        signature = authenticode.check(data, ca if with_ca else None)
    except authenticode.Refused as refusal:
        return False, str(refusal)
    return True, signature


def one_clean_line(line):
    return "\n" not in line and not any(ord(c) < 0x20 or 0x7F <= ord(c) < 0xA0 for c in line)


with zipfile.ZipFile(signed_zip) as signed, zipfile.ZipFile(unsigned_zip) as unsigned:
    for name in PROGRAMS:
        for with_ca in (False, True):
            accepted, result = outcome(signed.read(name), with_ca)
            good = accepted and result.unsigned == unsigned.read(name) and \
                (result.ca_sha256 is not None) == with_ca and len(result.signer_sha256) == 64
            report(good, f"genuine {name}{' with the CA' if with_ca else ''}",
                   f"signer {result.signer_sha256}" if accepted else result)
    program = signed.read("x86/SlotBench.exe")

work = tempfile.mkdtemp(prefix="slotbench-authenticode.")
try:
    for what, make, expected, needs_ca in tamper_signature.ROWS:
        row_dir = tempfile.mkdtemp(dir=work)
        data = make(program, row_dir, pki)
        accepted, result = outcome(data, needs_ca)
        if expected is None:
            time_stamped = make is tamper_signature.time_stamped
            report(accepted and (result.timestamp is not None) == time_stamped and
                   (result.ca_sha256 is not None) == needs_ca, what,
                   (f"accepted, time-stamped {result.timestamp}" if time_stamped else
                    f"accepted, signer {result.signer_sha256}") if accepted else result)
        else:
            report(not accepted and expected in result and one_clean_line(result), what,
                   "ACCEPTED" if accepted else result)

    rng = random.Random(20261208)
    der = tamper_signature.signature_der(program)
    accepted_any = []
    for i in range(mutations):
        mutant = tamper_signature.with_signature(program, tamper_signature.mutate_der(der, rng))
        accepted, result = outcome(mutant, False)
        if accepted or not one_clean_line(result):
            accepted_any.append(i)
    report(not accepted_any, f"{mutations} random mutations of the signature refused in one line",
           f"mutations {accepted_any[:10]} not" if accepted_any else "all")
finally:
    shutil.rmtree(work)
sys.exit(1 if failed else 0)
