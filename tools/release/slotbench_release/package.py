"""The last step of tools/release.sh: checks the two builds' programs and
bridges (pe_checks), fills in the package README from res/version.h and
docs/release/publisher.txt, and writes the release zip. Paths are printed as
given (release.sh gives them relative to the checkout); every refusal says
what to do next.

  package.py SOURCE SUFFIX BUILD_X86 BUILD_X64 ZIP
  package.py texts                            the texts' files in the tree, one a line
"""
import hashlib
import os
import re
import stat
import sys
import tempfile
import time

import pe_checks
import release_zip
from text import Refused, one_line_main

PUBLISHER = pe_checks.PUBLISHER
README = "docs/release/README.txt"
# The package README's fields, and publisher.txt's key for each.
PUBLISHER_FIELDS = {"name": b"@PUBLISHER_NAME@", "fingerprint_published_at": b"@FINGERPRINT_PUBLISHED_AT@",
                    "support": b"@SUPPORT@", "download_page": b"@DOWNLOAD_PAGE@"}
VERSION_FIELD = b"@SLOTBENCH_VERSION@"
# Anything else of that shape is a field someone added and nothing fills.
PLACEHOLDER = re.compile(rb"@[A-Z][A-Z0-9_]*@")
AGAIN = "commit it, then `bash tools/release.sh`"
KEYS = ", ".join(f"{key}=" for key in PUBLISHER_FIELDS)


def publisher(source):
    """publisher.txt's values: the name that publishes and signs, the address
    of its download page, where its certificate's fingerprint is published
    for the practices to compare, and whom they ask for help. A key stands at the start of its line, as
    cmake/version.cmake reads name=."""
    path = os.path.join(source, PUBLISHER)
    shown = PUBLISHER
    try:
        with open(path, "rb") as f:
            text = f.read(1 << 16)
    except OSError:
        raise Refused(f"no {shown}: write it with {KEYS} lines, {AGAIN}")
    values = {}
    for number, line in enumerate(text.splitlines(), 1):
        if not line.strip() or line.startswith(b"#"):
            continue
        key, equals, value = line.partition(b"=")
        key = key.decode("ascii", "replace")
        if not equals or key not in PUBLISHER_FIELDS:
            raise Refused(f"{shown}:{number}: not one of the {KEYS} lines: correct it, {AGAIN}")
        if key in values:
            raise Refused(f"{shown}:{number}: {key}= a second time: keep one, {AGAIN}")
        value = value.strip()
        # Notepad on an old Windows shows anything but ASCII garbled.
        if not value or not all(0x20 <= byte < 0x7F for byte in value) or PLACEHOLDER.search(value):
            raise Refused(f"{shown}:{number}: {key}= needs a value in plain ASCII: fill it in, {AGAIN}")
        values[key] = value
    for key in PUBLISHER_FIELDS:
        if key not in values:
            raise Refused(f"{shown} has no {key}= line: add it, {AGAIN}")
    return values


def text(source, path, version):
    """A text of the zip from the source tree: its fields filled in, CRLF
    line ends. The package README must hold every field: it is where a
    practice reads the version and the publisher."""
    with open(os.path.join(source, path), "rb") as f:
        text = f.read(1 << 20)
    if b"\r" in text:
        raise Refused(f"{path} must have plain LF line ends: convert it, {AGAIN}")
    fields = {VERSION_FIELD: version.encode()}
    for key, value in publisher(source).items():
        fields[PUBLISHER_FIELDS[key]] = value
    for field, value in fields.items():
        if field not in text and path == README:
            raise Refused(f"{path} has no {field.decode()} to fill in: put it back, {AGAIN}")
        text = text.replace(field, value)
    left = sorted({m.decode() for m in PLACEHOLDER.findall(text)})
    if left:
        raise Refused(f"{path} has {', '.join(left)}, which nothing fills in: take it out, {AGAIN}")
    return text.replace(b"\n", b"\r\n")


def main(source, suffix, build_x86, build_x64, zip_path):
    try:
        version = pe_checks.source_version(source)
        faults = pe_checks.check_builds(source, suffix, {"x86": build_x86, "x64": build_x64},
                                        publisher(source)["name"].decode("ascii"))
    except pe_checks.Fault as fault:
        raise Refused(f"{fault}: correct it, {AGAIN}")
    if faults:
        for fault in faults:
            print(f"release: {fault}", file=sys.stderr)
        raise Refused(f"nothing packed: {len(faults)} fault(s) above; correct the source, {AGAIN}")

    builds = {"x86": build_x86, "x64": build_x64}
    data = {}
    for entry in release_zip.CONTENTS:
        if entry.kind == "text":
            data[entry.name] = text(source, entry.source, version + suffix)
            continue
        arch, built = entry.source
        with open(os.path.join(builds[arch], built), "rb") as f:
            data[entry.name] = f.read()

    # Zip dates are local times without a zone, two-second steps, 1980 at
    # the earliest: the commit's time in UTC.
    epoch = max(int(os.environ["SOURCE_DATE_EPOCH"]), 315532800)
    # Written to a file of its own making (never through a link someone left
    # under a name we would use), then renamed into place in one step.
    handle, partial = tempfile.mkstemp(prefix=".SlotBench-", suffix=".partial", dir=os.path.dirname(zip_path))
    try:
        with os.fdopen(handle, "wb") as f:
            os.fchmod(f.fileno(), 0o644)
            release_zip.write(f, data, time.gmtime(epoch)[:6])
        # A rename replaces a link (or fails on a folder) left at the name:
        # said plainly instead.
        if os.path.lexists(zip_path) and not stat.S_ISREG(os.lstat(zip_path).st_mode):
            raise Refused(f"{zip_path} is a link or a folder, not a file: remove it, then `bash tools/release.sh`")
        os.replace(partial, zip_path)
    except BaseException:
        os.unlink(partial)
        raise
    data[release_zip.SUMS] = release_zip.sums(data)

    print(f"release: {zip_path}")
    for name in sorted(data):
        print(f"  {len(data[name]):>8}  {name}")
    with open(zip_path, "rb") as f:
        print(f"release: SHA-256 {hashlib.file_digest(f, 'sha256').hexdigest()}")


if __name__ == "__main__":
    if sys.argv[1:] == ["texts"]:
        print("\n".join(entry.source for entry in release_zip.CONTENTS if entry.kind == "text"))
        sys.exit(0)
    if len(sys.argv) != 6:
        print(__doc__.strip(), file=sys.stderr)
        sys.exit(2)
    sys.exit(one_line_main("release: ", lambda: main(*sys.argv[1:])))
