"""Stand-in for authenticode.py until it exists here: the same check()
over authenticode_check.py's rules, so that verify.py has one interface to
call. Trust in a CA is checked here in Python (each certificate of the chain
by its issuer's key, valid at the time-stamp or now); a time-stamp's own
signature is left to osslsigncode, as the shell check did.
"""
import datetime
import os
import subprocess
import tempfile
from dataclasses import dataclass

import pefile
from asn1crypto import cms
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, rsa

import authenticode_check as rules
from text import escape, name

# The system's roots and the CA given: a public time-stamp authority or the CA's own.
SYSTEM_ROOTS = "/etc/ssl/certs/ca-certificates.crt"


class Refused(Exception):
    """Not one intact signature: one line, strings from the file escaped."""


@dataclass(frozen=True)
class Signature:
    unsigned: bytes
    signer: x509.Certificate
    signer_sha256: str
    timestamp: "datetime.datetime | None"
    ca_sha256: "str | None"


def _refuse(message):
    # The rules print names as they are; here every message is escaped whole.
    raise Refused(escape(message))


rules.fail = _refuse


def _words(error):
    return escape(" ".join(str(error).split()) or type(error).__name__)


def _time_stamp(data, ca):
    """The time-stamp's time, once osslsigncode has verified its signature
    against the system's roots or the CA."""
    with tempfile.TemporaryDirectory(prefix="slotbench-adapter.") as work:
        program, roots, ca_file = (os.path.join(work, n) for n in ("program", "roots.pem", "ca.pem"))
        with open(program, "wb") as f:
            f.write(data)
        pem = ca.public_bytes(serialization.Encoding.PEM)
        with open(ca_file, "wb") as f:
            f.write(pem)
        with open(roots, "wb") as f:
            if os.path.exists(SYSTEM_ROOTS):
                with open(SYSTEM_ROOTS, "rb") as system:
                    f.write(system.read())
            f.write(pem)
        report = subprocess.run(["osslsigncode", "verify", "-CAfile", ca_file, "-TSA-CAfile", roots, "-in", program],
                                capture_output=True, text=True, errors="replace").stdout
    if "Timestamp Server Signature verification: ok" not in report:
        raise Refused("its time-stamp does not verify")
    for line in report.splitlines():
        if line.strip().startswith("Timestamp time:"):
            when = line.split(":", 1)[1].strip()
            try:
                return datetime.datetime.strptime(when, "%b %d %H:%M:%S %Y %Z").replace(tzinfo=datetime.timezone.utc)
            except ValueError:
                break
    raise Refused("its time-stamp has no time osslsigncode could show")


# The signature algorithms our signing tool writes, by key type.
SIGNATURE_ALGORITHMS = ((rsa.RSAPublicKey, {"rsassa_pkcs1v15", "sha256_rsa"}),
                        (ec.EllipticCurvePublicKey, {"sha256_ecdsa", "ecdsa"}))


def _as_written(data, signer):
    """What the rules leave unread: the signature must be DER as written
    (parsed and encoded again, the same bytes), version 1 throughout, and
    name the signature algorithm of the signer's key."""
    _, _, info = rules.signature_block(data)
    der = info.dump()
    if cms.ContentInfo.load(der).dump(force=True) != der:
        raise Refused("a signature that is not in DER as it is written")
    signed_data = info["content"]
    signer_info = signed_data["signer_infos"][0]
    if signed_data["version"].native != "v1" or signer_info["version"].native != "v1":
        raise Refused("a signature of another version than our signing tool writes")
    key = signer.public_key()
    allowed = next((names for kind, names in SIGNATURE_ALGORITHMS if isinstance(key, kind)), ())
    if signer_info["signature_algorithm"]["algorithm"].native not in allowed:
        raise Refused("a signature algorithm other than the one of the signer's key")


def _trusted(chain, ca, at):
    """Whether the chain leads to the CA, every certificate up to it valid
    at `at`, and nothing listed above it but the CA itself: bytes above the
    point of trust would be checked by nobody."""
    ca_der = ca.public_bytes(serialization.Encoding.DER)
    der = [c.public_bytes(serialization.Encoding.DER) for c in chain]
    for i, certificate in enumerate(chain):
        if not _valid(certificate, at):
            return False
        if der[i] == ca_der:
            return i == len(chain) - 1
        if rules.issued_by(certificate, ca):
            return der[i + 1:] in ([], [ca_der]) and _valid(ca, at)
    return False


def _valid(certificate, at):
    return certificate.not_valid_before.replace(tzinfo=datetime.timezone.utc) <= at <= \
        certificate.not_valid_after.replace(tzinfo=datetime.timezone.utc)


def _checkable(chain):
    """Without a CA, the chain must end at a root the rules checked by its
    own key: a certificate whose issuer is not listed is bytes nobody checks."""
    top = chain[-1]
    if top.issuer != top.subject:
        raise Refused(f"the signer's chain ends at {name(top.subject)}, whose issuer is not listed: "
                      "its bytes cannot be checked")


def check(data, ca=None):
    if len(data) > rules.MAX_SIZE:
        raise Refused(f"over {rules.MAX_SIZE >> 20} MiB: larger than any program of a release")
    try:
        pe, start, chain, time_stamped = rules.check(data)
        _as_written(data, chain[0])
        unsigned = bytes(rules.unsigned_program(pe, start))
    except Refused:
        raise
    except pefile.PEFormatError as error:
        raise Refused(f"not a Windows program ({_words(error)})") from None
    except Exception as error:  # attacker-made input: any fault is a refusal
        raise Refused(f"a malformed signature or program ({type(error).__name__}: {_words(error)})") from None
    signer = chain[0]
    timestamp = ca_sha256 = None
    if ca is None:
        _checkable(chain)
    else:
        if time_stamped:
            timestamp = _time_stamp(data, ca)
        if not _trusted(chain, ca, timestamp or datetime.datetime.now(datetime.timezone.utc)):
            raise Refused(f"the signer {name(signer.subject)} does not chain to the CA, "
                          f"or is not valid {'at its time-stamp' if timestamp else 'now'}")
        ca_sha256 = ca.fingerprint(hashes.SHA256()).hex()
    return Signature(unsigned, signer, signer.fingerprint(hashes.SHA256()).hex(), timestamp, ca_sha256)
