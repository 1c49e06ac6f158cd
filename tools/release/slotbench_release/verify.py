"""Checks a signed release zip, or one signed program or wine bridge found
on a PC: it is the reproducible build of its version plus one Authenticode
signature per program, every byte accounted for, made by the signer it
shows (subject and SHA-256; --signer pins it) and, with --ca, chaining to
that CA. A zip must also be the one the release writer (release_zip.py)
makes of its own entries, byte for byte, with every text (release_zip's
list) and the entries' date of the build.

The build compared with is the unsigned zip given with --unsigned, or else
one made here from the tag v<version> (common.sh's build_release_of_commit).
Without that tag, or with the tag on a commit of another version, nothing is
built and the check refuses: a newest-commit-of-that-version guess would
compare with a build nobody released.

  verify.py [--ca FILE] [--signer SHA256] [--unsigned ZIP] ZIP|EXE|DLL

Exit status 0: all good; 1: a check failed (one line on stderr naming the
file and the reason); 2: a wrong command line.
"""
import dataclasses
import datetime
import gc
import hashlib
import io
import os
import re
import stat
import subprocess
import sys
import tempfile
import time
import warnings
from dataclasses import dataclass

from cryptography import x509
from cryptography.utils import CryptographyDeprecationWarning
from cryptography.hazmat.primitives import hashes

import authenticode
import export
import pe_checks
import private_temp
import release_zip
from text import Refused, escape, name

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
USAGE = "usage: bash tools/verify_release.sh [--ca FILE] [--signer SHA256] [--unsigned ZIP] ZIP|EXE|DLL"
PROGRAMS = release_zip.PROGRAMS
MAX_PROGRAM = release_zip.MAX_ENTRY
# The entries at most MAX_ENTRY each, their headers and the directory;
# deflate makes incompressible data a little larger.
MAX_ZIP = len(release_zip.ENTRIES) * (MAX_PROGRAM + (1 << 20)) + release_zip.MAX_DIRECTORY
TEXTS = release_zip.TEXTS
NUMBERS = "no one two three four five six seven eight nine ten eleven twelve".split()
MAX_CA = 1 << 20
# Writing a zip again to compare it (deflate at level 9) is the one step
# whose cost hangs on the content: a release's zips take a fraction of a
# second, chosen contents of the same size minutes. The contents are
# compared with the build first, so a signed zip is written again only from
# the build's files and its signatures; an unsigned zip given with
# --unsigned may hold anything, and this budget, shared by a run's layout
# checks, bounds them all.
LAYOUT_SECONDS = 3.0
CHUNK = 1 << 20


class Failed(Exception):
    """A check failed: one line, already escaped, naming the file."""


class Usage(Exception):
    """A command line it cannot take, or a file given on it that cannot be
    read as what it is given for: one line, already escaped."""


@dataclass
class Options:
    target: str
    ca_path: str = None
    ca: x509.Certificate = None
    ca_sha256: str = None
    pin: str = None
    unsigned: str = None


@dataclass
class Build:
    """The unsigned release compared with, and how the OK line names it."""
    release: release_zip.Unpacked
    rebuilt: bool
    described: str


class Layouts:
    """The layout checks of one run, within LAYOUT_SECONDS together."""

    def __init__(self):
        self.left = LAYOUT_SECONDS

    def check(self, unpacked):
        started = time.monotonic()
        try:
            release_zip.check_layout(unpacked, started + self.left)
        except Refused as refusal:
            raise Failed(one_line(str(refusal))) from None
        finally:
            self.left -= time.monotonic() - started


def unpack(path, folder, label):
    """A zip's entries unpacked and their SHA-256; its layout not checked yet."""
    try:
        return release_zip.unpack_release(path, folder, label)
    except Refused as refusal:
        raise Failed(one_line(str(refusal))) from None


def shown(path):
    """A file as messages name it: the name the user knows it by, never a
    folder of ours."""
    return escape(os.path.basename(path.rstrip("/")) or path)


def one_line(message):
    """A message from another module is promised escaped; should a control
    character slip through all the same, it is escaped here."""
    if any(ord(c) < 0x20 or 0x7F <= ord(c) < 0xA0 or 0x2028 <= ord(c) <= 0x2029 for c in message):
        return escape(message)
    return message


def open_regular(path, what):
    """path opened for reading; only a regular file (a FIFO would hang the
    check, a device never end)."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY)
    except OSError as error:
        raise Usage(f"cannot read {what} {shown(path)}: {escape(error.strerror or str(error))}") from None
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        os.close(fd)
        raise Usage(f"{what} {shown(path)} is not a regular file")
    return os.fdopen(fd, "rb")


def read_capped(path, cap, what):
    """The file's bytes, or None when it holds more than cap."""
    with open_regular(path, what) as f:
        data = f.read(cap + 1)
    return data if len(data) <= cap else None


def read_unpacked(path):
    # An entry release_zip unpacked into our folder: capped there already.
    with open(path, "rb") as f:
        return f.read()


def snapshot(path, copy, label):
    """The file copied into our folder, and the SHA-256 of exactly those
    bytes: what is checked cannot change under the check."""
    digest, size = hashlib.sha256(), 0
    with open_regular(path, "the file") as source, open(copy, "wb") as sink:
        while chunk := source.read(CHUNK):
            size += len(chunk)
            if size > MAX_ZIP:
                raise Failed(f"{label}: over {MAX_ZIP >> 20} MiB: larger than any release zip")
            digest.update(chunk)
            sink.write(chunk)
    return digest.hexdigest()


def load_ca(path):
    data = read_capped(path, MAX_CA, "the CA's certificate")
    label = shown(path)
    if data is None:
        raise Usage(f"--ca takes a CA's certificate; {label} holds over {MAX_CA >> 20} MiB")
    if data.count(b"-----BEGIN CERTIFICATE-----") > 1:
        raise Usage(f"--ca takes one CA's certificate; {label} holds several")
    try:
        if b"-----BEGIN" in data:
            return x509.load_pem_x509_certificate(data)
        return x509.load_der_x509_certificate(data)
    except Exception:  # cryptography's parse errors are of several kinds
        raise Usage(f"--ca takes a CA's certificate (PEM or DER); {label} is not one") from None


def parse(argv):
    options, values = {}, {"--ca": "ca_path", "--signer": "pin", "--unsigned": "unsigned"}
    target, arguments, only_files = None, list(argv), False
    while arguments:
        argument = arguments.pop(0)
        if not only_files and argument in values:
            if not arguments or not arguments[0]:
                raise Usage(f"{argument} needs a value")
            if values[argument] in options:
                raise Usage(f"{argument} given twice")
            options[values[argument]] = arguments.pop(0)
        elif not only_files and argument == "--":
            only_files = True
        elif not only_files and argument.startswith("-"):
            raise Usage(f"unknown option {escape(argument)}")
        elif target is not None:
            raise Usage("one file at a time")
        else:
            target = argument
    if not target:
        raise Usage("which file?")
    result = Options(target, **options)
    if result.pin is not None:
        result.pin = result.pin.lower().replace(":", "").replace(" ", "")
        if not re.fullmatch(r"[0-9a-f]{64}", result.pin):
            raise Usage("--signer takes a certificate's SHA-256 fingerprint (64 hex digits)")
    if result.ca_path is not None:
        result.ca = load_ca(result.ca_path)
        result.ca_sha256 = result.ca.fingerprint(hashes.SHA256()).hex()
    if result.unsigned is not None:
        open_regular(result.unsigned, "the unsigned zip").close()
    return result


def version_of(program, label):
    """The file version (a.b.c.d) in the program's version resource, read as
    the release check reads it: which release to compare with."""
    try:
        return pe_checks.file_version(program, label)
    except pe_checks.Fault as fault:
        raise Failed(one_line(str(fault))) from None
    except Exception:  # hostile headers: whatever they break, there is no version to go by
        raise Failed(f"{label}: no version resource to tell its release by") from None
    finally:
        gc.collect()  # pefile's objects refer to each other, and hold the program


def signer_text(signature):
    return f"the certificate SHA-256 {signature.signer_sha256}"


def named(signature):
    """The signer's names, last on a line: they come from the file, and
    whatever they say cannot stand before the check's own words."""
    return f"; that certificate names itself {name(signature.signer.subject)}, issued by {name(signature.signer.issuer)}"


def stamps_text(stamps):
    """Whether the programs are time-stamped, by which certificate and
    when, and that certificate's names; stamps: (program, Signature) pairs,
    program None for a file checked alone. The names come from the file, so
    they go last, after the signer's."""
    by, missing = {}, []
    for program, signature in stamps:
        if signature.timestamp is None:
            missing.append(program)
            continue
        moment = when(signature.timestamp)
        by.setdefault(signature.timestamper_sha256, (signature.timestamper, []))[1].append(
            f"{program} at {moment}" if program else moment)
    if not by:
        return "; not time-stamped", ""
    said = [f"time-stamped by the certificate SHA-256 {sha}: {', '.join(times)}" for sha, (_, times) in by.items()]
    if missing:
        said.append(f"{', '.join(missing)} not time-stamped")
    names = "".join(f"; the time-stamping certificate{f' {sha}' if len(by) > 1 else ''} names itself "
                    f"{name(cert.subject)}, issued by {name(cert.issuer)}" for sha, (cert, _) in by.items())
    return "; " + "; ".join(said), names


def trust_text(options):
    if options.ca is None:
        return "trust NOT checked (no --ca)"
    return f"trusted through the CA in {shown(options.ca_path)} (SHA-256 {options.ca_sha256})"


def when(moment):
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=datetime.timezone.utc)
    return moment.astimezone(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC")


def check_signature(data, options, label, out):
    """The one signature of a program, by whom, trusted or not; prints what
    was seen."""
    try:
        signature = authenticode.check(data, options.ca)
    except Refused as refusal:
        raise Failed(f"{label}: {one_line(str(refusal))}") from None
    finally:
        gc.collect()  # what the check parsed may hold copies of the program in cycles
    signer = signature.signer
    # The fingerprint shown and compared is the certificate's own, whatever
    # the module reports.
    if signature.signer_sha256 != signer.fingerprint(hashes.SHA256()).hex():
        raise Failed(f"{label}: the signature check reported a signer fingerprint other than its certificate's")
    who = signer_text(signature)
    if options.pin is not None and signature.signer_sha256 != options.pin:
        raise Failed(f"{label}: signed by {who}, not by the signer given with --signer ({options.pin})"
                     f"{named(signature)}")
    if options.ca is None:
        stamp = " and its time-stamp's" if signature.timestamp else ""
        print(f"verify: {label}: signature intact, signed by {who}; its trust{stamp} NOT checked (no --ca)"
              f"{named(signature)}", file=out)
    else:
        if signature.ca_sha256 != options.ca_sha256:
            raise Failed(f"{label}: the signer {who} is not confirmed to chain to the CA in {shown(options.ca_path)}")
        stamp = f", time-stamped {when(signature.timestamp)}" if signature.timestamp else ""
        print(f"verify: {label}: signature valid, signed by {who}, {trust_text(options)}{stamp}{named(signature)}",
              file=out)
    return signature


def git(*arguments):
    # No ~/.gitconfig, replace ref or GIT_* variable of the caller's decides
    # which commit a tag names or what it holds.
    return export.git(ROOT, *arguments, check=False)


def version_at(commit):
    """res/version.h's four-part version at a commit, or None; read from
    objects checked against their ids (export.py), no textconv applied."""
    try:
        return export.release(ROOT, commit)[1]
    except Refused:
        return None


def rebuild(version, work, label, out):
    """The unsigned zip of release `version`, built from its tag; the zip's
    path and the OK line's words for it."""
    # A copy unpacked inside some other clone would find that clone's tags;
    # a .git git will not answer for is named as release.sh names it.
    top = None
    if os.path.lexists(os.path.join(ROOT, ".git")):
        try:
            top = os.path.realpath(os.fsdecode(export.toplevel(ROOT)))
        except Refused as refusal:
            raise Failed(f"{label}: {one_line(str(refusal))}; or give the release's unsigned zip with "
                         "--unsigned ZIP") from None
    if top != os.path.realpath(ROOT):
        raise Failed(f"{label}: this copy of Slot Bench is no git clone, so release {version} cannot be built "
                     "here: check in a clone, or give the release's unsigned zip with --unsigned ZIP")
    tag = f"v{version}"
    found = git("rev-parse", "-q", "--verify", f"refs/tags/{tag}^{{commit}}")
    commit = found.stdout.decode("ascii", "replace").strip()
    if found.returncode != 0 or not re.fullmatch(r"[0-9a-f]{40}|[0-9a-f]{64}", commit):
        raise Failed(f"{label}: no tag {tag} here to build release {version} from: fetch the tags "
                     "(git fetch --tags) or give the release's unsigned zip with --unsigned ZIP")
    short = commit[:12]
    tagged = version_at(commit)
    if tagged != version:
        of = f"version {tagged}" if tagged else "no four-part version (res/version.h)"
        raise Failed(f"{label}: the tag {tag} is on commit {short}, which is of {of}, not {version}: no build of "
                     f"release {version} to compare with; give the release's unsigned zip with --unsigned ZIP")
    script = 'ROOT=$1; . "$ROOT/tools/release/common.sh" && build_release_of_commit "$2" "$3" && printf %s "$RELEASE_ZIP"'
    # A fixed environment, -p: no exported function or BASH_ENV of the
    # caller's stands in for a command the build runs.
    built = subprocess.run(["/bin/bash", "-p", "-c", script, "verify", ROOT, commit, work], capture_output=True,
                           stdin=subprocess.DEVNULL, env={"PATH": "/usr/bin:/bin", "LANG": "C.UTF-8",
                                                          "HOME": "/nonexistent"})
    why = built.stderr.decode("utf-8", "surrogateescape").strip().splitlines()
    if built.returncode != 0:
        raise Failed(f"{label}: {escape(why[-1] if why else f'building release {version} failed')}; build the tag "
                     "with tools/release.sh to see why, or give the release's unsigned zip with --unsigned ZIP")
    path = os.path.realpath(os.fsdecode(built.stdout))
    # The one zip of that version, in our folder: nothing the build could point elsewhere.
    if not path.startswith(os.path.realpath(work) + os.sep) or \
            os.path.basename(path) != f"SlotBench-{version}-windows.zip" or not os.path.isfile(path):
        raise Failed(f"{label}: building release {version} from tag {tag} made no zip of that version")
    return path, f"the build of release {version} (tag {tag}, commit {short})"


def build_of(version, options, work, label, out):
    """The unsigned release of `version`, unpacked; the layout of a zip
    built here is checked at once, that of a zip given is left to the
    caller, after the contents."""
    if options.unsigned is not None:
        zip_path = os.path.join(work, "unsigned.zip")
        digest = snapshot(options.unsigned, zip_path, shown(options.unsigned))
        zip_label = shown(options.unsigned)
        described = f"{zip_label} (SHA-256 {digest}, given with --unsigned)"
        rebuilt = False
    else:
        zip_path, described = rebuild(version, work, label, out)
        zip_label = described
        rebuilt = True
    folder = os.path.join(work, "unsigned")
    release = unpack(zip_path, folder, zip_label)
    if rebuilt:
        try:
            release_zip.check_layout(release)
        except Refused as refusal:
            raise Failed(one_line(str(refusal))) from None
    program = read_unpacked(os.path.join(folder, PROGRAMS[0]))
    found = version_of(program, f"{zip_label}: {PROGRAMS[0]}")
    if found != version:
        raise Failed(f"{label} is of version {version}, {zip_label} of version {found}")
    return Build(release, rebuilt, described)


def digest_of(data):
    return hashlib.sha256(data).hexdigest()


def check_zip(options, work, label, out):
    copy = os.path.join(work, "signed.zip")
    snapshot(options.target, copy, label)
    folder = os.path.join(work, "signed")
    signed = unpack(copy, folder, label)
    signer, stripped, version, stamps = None, {}, None, []
    for program in PROGRAMS:
        data = read_unpacked(os.path.join(folder, program))
        signature = check_signature(data, options, f"{label}: {program}", out)
        del data
        if signer is None:
            signer = signer_text(signature)
            signer_named = named(signature)
            first_sha256 = signature.signer_sha256
            version = version_of(signature.unsigned, f"{label}: {program}")
        elif signature.signer_sha256 != first_sha256:
            raise Failed(f"{label}: {program} is signed by another certificate than {PROGRAMS[0]} "
                         f"(SHA-256 {signature.signer_sha256}, not {first_sha256})")
        stripped[program] = digest_of(signature.unsigned)
        # One program in memory at a time: each may be 16 MiB.
        stamps.append((program, dataclasses.replace(signature, unsigned=b"")))
        del signature
    build = build_of(version, options, work, label, out)
    for program in PROGRAMS:
        if stripped[program] != build.release.digests[program]:
            raise Failed(f"{label}: {program} without its signature is not that file of {build.described}")
    for text in TEXTS:
        if signed.digests[text] != build.release.digests[text]:
            raise Failed(f"{label}: {text} is not that of {build.described}")
    if signed.date_time != build.release.date_time:
        dated = "%04d-%02d-%02d %02d:%02d:%02d"
        raise Failed(f"{label}: its entries are dated {dated % signed.date_time}, "
                     f"not {dated % build.release.date_time} as those of {build.described}")
    layouts = Layouts()
    layouts.check(signed)
    if not build.rebuilt:
        layouts.check(build.release)
    claim = f"is release {version}" if build.rebuilt else f"(version {version})"
    relation = "are those of" if build.rebuilt else "equal those of"
    stamped, stamp_names = stamps_text(stamps)
    print(f"verify: OK: {label} {claim}: its {NUMBERS[len(PROGRAMS)]} programs are signed by {signer}, "
          f"{trust_text(options)}; without their signatures they, {', '.join(TEXTS)} and the entries' date "
          f"{relation} {build.described} byte for byte{stamped}{signer_named}{stamp_names}", file=out)


def check_program(options, work, label, out):
    data = read_capped(options.target, MAX_PROGRAM, "the file")
    if data is None:
        raise Failed(f"{label}: over {MAX_PROGRAM >> 20} MiB: larger than any program of a release")
    signature = check_signature(data, options, label, out)
    del data
    stamped, stamp_names = stamps_text([(None, signature)])
    version = version_of(signature.unsigned, label)
    build = build_of(version, options, work, label, out)
    digest = digest_of(signature.unsigned)
    matching = [program for program in PROGRAMS if build.release.digests[program] == digest]
    if not matching:
        raise Failed(f"{label} (version {version}) without its signature is none of the files of {build.described}")
    if build.rebuilt:
        print(f"verify: OK: {label} is {matching[0]} of release {version}, signed by {signer_text(signature)}, "
              f"{trust_text(options)}; without its signature it is that file of {build.described} byte for byte"
              f"{stamped}{named(signature)}{stamp_names}", file=out)
    else:
        Layouts().check(build.release)
        print(f"verify: OK: {label} (version {version}) is signed by {signer_text(signature)}, "
              f"{trust_text(options)}; without its signature it equals {matching[0]} of {build.described} "
              f"byte for byte{stamped}{named(signature)}{stamp_names}", file=out)


def run(argv, out, seen):
    options = parse(argv)
    label = seen["label"] = shown(options.target)
    with open_regular(options.target, "the file") as f:
        magic = f.read(2)
    try:
        private_temp.use_safe_root()
    except Refused as refusal:
        raise Failed(f"{label}: {refusal}") from None
    with tempfile.TemporaryDirectory(prefix="slotbench-verify.") as work:
        if magic == b"PK":
            check_zip(options, work, label, out)
        elif magic == b"MZ":
            check_program(options, work, label, out)
        else:
            raise Failed(f"{label} is neither a zip nor a Windows program")


def main(argv=None, out=None, err=None):
    """The check; its exit status. out and err default to the process's."""
    argv = sys.argv[1:] if argv is None else argv
    out, err = out or sys.stdout, err or sys.stderr
    seen = {"label": "the file"}
    # What each program showed is printed only under a verdict of OK: a
    # failed check is one line, with no "signature valid" above it to be
    # read without it.
    report = io.StringIO()
    try:
        with warnings.catch_warnings():
            # A library's warning is printed as it comes, over lines, names
            # unescaped. cryptography's are about what it parsed (a negative
            # serial number): raised, the signature check refuses them; any
            # other is no finding about the file.
            warnings.simplefilter("ignore")
            warnings.filterwarnings("error", category=CryptographyDeprecationWarning)
            run(argv, report, seen)
        try:
            out.write(report.getvalue())
            out.flush()
        except BrokenPipeError:
            raise
        except OSError as error:
            print(f"verify: FAILED: {seen['label']}: its report could not be written ({escape(error.strerror or '')})",
                  file=err)
            return 1
        return 0
    except Usage as usage:
        print(f"verify: {usage} ({USAGE})", file=err)
        return 2
    except Failed as failure:
        print(f"verify: FAILED: {failure}", file=err)
        return 1
    except KeyboardInterrupt:
        print("verify: interrupted", file=err)
        return 130
    except BrokenPipeError:
        # Nobody reads the report any more: no verdict was seen, so none stands.
        print(f"verify: FAILED: {seen['label']}: stopped, its output was closed before the check ended", file=err)
        return 1
    except Exception as error:  # the last resort: one line, whatever broke
        words = escape(" ".join(str(error).split()))
        print(f"verify: FAILED: {seen['label']}: the check itself broke ({type(error).__name__}: {words})",
              file=err)
        return 1


if __name__ == "__main__":
    # A name that is not UTF-8 is escaped already; this keeps a locale that
    # cannot encode the rest from ending the check in a traceback.
    if sys.stdout is None or sys.stderr is None:
        # Started with its output closed: a verdict nobody can see is none.
        sys.exit(1)
    sys.stdout.reconfigure(errors="backslashreplace")
    sys.stderr.reconfigure(errors="backslashreplace")
    status = main()
    try:
        sys.stdout.flush()
    except OSError:  # a closed pipe, a full disk: the report did not get out
        # Python's own flush at exit would print a second report of it.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        status = status or 1
    sys.exit(status)
