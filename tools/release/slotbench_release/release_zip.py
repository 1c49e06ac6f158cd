"""The release zip's layout: written by tools/release.sh through write(),
read and checked, unpacked, and packed again with signed programs, in the
same order with the same dates. A zip is a release zip only when this
writer, given the entries read from it, writes it again byte for byte: no
comment, no bytes before or between entries, no other order, modes, dates or
headers. Entries are read streaming and capped, so any input takes little
memory; every fault is one line naming the zip (and the entry), names from
the zip escaped.

Writing again is the one costly step: deflate at level 9 takes a hundred
times longer on some contents (random bits over a two-letter alphabet) than
on a program. A caller holding input from elsewhere therefore unpacks
first (unpack_release), compares the contents with what they must be, and
only then checks the layout (check_layout), under a deadline.

  release_zip.py unpack ZIP DIR            prints the entries' date (Unix time)
  release_zip.py pack TEMPLATE DIR OUT     the template's texts, DIR's programs
  release_zip.py programs                  the names of what is signed, one a line
"""
import calendar
import hashlib
import io
import os
import shutil
import sys
import tempfile
import time
import zlib
import zipfile
from collections import namedtuple

from text import Refused, escape, one_line_main

# What a release zip holds, the one list of it: each entry's name in the
# zip, its kind and where it comes from. Programs and bridges are built, one
# build folder per architecture (source: the architecture and the file in
# its build folder), and signed; a text comes from the source tree (source:
# its path there), its @FIELDS@ filled in and its line ends made CRLF
# (package.py), and a signed zip holds it unchanged. SHA256SUMS, made of all
# of them, is added. The zip's entries are in name order whatever the order
# here; the first program is the one whose version names the release.
Entry = namedtuple("Entry", "name kind source")
CONTENTS = (
    Entry("x86/SlotBench.exe", "program", ("x86", "SlotBench.exe")),
    Entry("x64/SlotBench.exe", "program", ("x64", "SlotBench.exe")),
    Entry("wine-bridge/x86/CT_ORB.dll", "bridge", ("x86", "bridge/CT_ORB.dll")),
    Entry("wine-bridge/x64/CT_ORB.dll", "bridge", ("x64", "bridge/CT_ORB.dll")),
    Entry("README.txt", "text", "docs/release/README.txt"),
)
SUMS = "SHA256SUMS"
# What is signed; what a signed zip holds as the build has it.
PROGRAMS = tuple(e.name for e in CONTENTS if e.kind in ("program", "bridge"))
TEXTS = tuple(e.name for e in CONTENTS if e.kind == "text")
ENTRIES = {e.name for e in CONTENTS} | {SUMS}
# Far above the release's own files (360 KB at most).
MAX_ENTRY = 16 << 20
# zipfile reads the whole central directory at once: a release's few
# entries need little.
MAX_DIRECTORY = 64 << 10
CHUNK = 1 << 20
# Under a deadline, the writer is fed this much at a time: at worst about
# 0.2 s of deflate, so a deadline is overrun by no more.
STEP = 16 << 10
MODE = 0o100644


# What read() found: the entries' date (zipfile's tuple) and each entry's
# SHA-256 (name -> hex).
Release = namedtuple("Release", "date_time digests")
# What unpack_release() found, and what check_layout() needs of it.
Unpacked = namedtuple("Unpacked", "date_time digests path shown folder comment infos")


def fail(message):
    raise Refused(message)


def sums_of(digests):
    return "".join(f"{digests[name]}  {name}\n" for name in sorted(digests) if name != SUMS).encode()


def sums(data):
    return sums_of({name: hashlib.sha256(content).hexdigest() for name, content in data.items()})


def write(path, data, date_time):
    """The zip of data (name -> bytes) with its SHA256SUMS, the entries in
    name order, all dated date_time: the same input, the same bytes."""
    write_files(path, {name: io.BytesIO(content) for name, content in data.items()}, date_time)


class Late(Exception):
    """A deadline passed while writing."""


def write_files(path, files, date_time, deadline=None):
    """write() of open binary files (name -> file), read in chunks; with a
    deadline (time.monotonic()), Late once it has passed."""
    digests = {}
    for name, source in files.items():
        digests[name] = hashlib.file_digest(source, "sha256").hexdigest()
    files = dict(files, **{SUMS: io.BytesIO(sums_of(digests))})
    with zipfile.ZipFile(path, "w") as z:
        for name in sorted(files):
            source = files[name]
            entry = zipfile.ZipInfo(name, date_time=date_time)
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry._compresslevel = 9  # what writestr(..., compresslevel=9) sets
            entry.create_system = 3
            entry.external_attr = MODE << 16
            entry.file_size = source.seek(0, os.SEEK_END)
            source.seek(0)
            with z.open(entry, "w") as sink:
                if deadline is None:
                    shutil.copyfileobj(source, sink, CHUNK)
                    continue
                while chunk := source.read(STEP):
                    sink.write(chunk)
                    if time.monotonic() > deadline:
                        raise Late()


def extract(path, archive, info, folder):
    """One entry into folder, streaming, at most MAX_ENTRY bytes; its SHA-256."""
    name = escape(info.filename)
    if info.compress_type != zipfile.ZIP_DEFLATED or info.flag_bits & 0x1:
        fail(f"{path}: {name} is not deflated as a release writes it")
    if info.file_size > MAX_ENTRY:
        fail(f"{path}: {name} claims {info.file_size} bytes, over {MAX_ENTRY >> 20} MiB: larger than any release file")
    target = os.path.join(folder, info.filename)
    os.makedirs(os.path.dirname(target), exist_ok=True)
    digest, size = hashlib.sha256(), 0
    try:
        with archive.open(info) as source, open(target, "wb") as sink:
            while chunk := source.read(CHUNK):
                size += len(chunk)
                if size > MAX_ENTRY:
                    fail(f"{path}: {name} holds over {MAX_ENTRY >> 20} MiB: larger than any release file")
                digest.update(chunk)
                sink.write(chunk)
    except Refused:
        raise
    except Exception as error:  # zipfile's faults on hostile input are of many kinds
        fail(f"{path}: {name} is corrupt ({reason(error)})")
    return digest.hexdigest()


def differences(archive, infos):
    """What makes a zip other than the writer's, as far as zipfile tells."""
    found = []
    if archive.comment:
        found.append("a comment")
    if infos[0].header_offset:
        found.append(f"{infos[0].header_offset} bytes before its first listed entry")
    if [i.filename for i in infos] != sorted(i.filename for i in infos):
        found.append("its entries in another order")
    found += [f"{i.filename} with mode {i.external_attr >> 16:o}" for i in infos
              if i.external_attr != MODE << 16 or i.create_system != 3]
    if len({i.date_time for i in infos}) != 1:
        found.append("entries of different dates")
    return found


def first_difference(one, other):
    one.seek(0)
    other.seek(0)
    offset = 0
    while True:
        a, b = one.read(CHUNK), other.read(CHUNK)
        if a != b:
            return offset + next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
        if not a:
            return None
        offset += len(a)


def reason(error):
    """An exception as part of one line: its words, escaped. An OSError's
    own text would name the file by its full, maybe temporary, path."""
    words = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
    return escape(" ".join(words.split()) or type(error).__name__)


def read(path, folder, label=None):
    """Checks the release zip at path and unpacks it into folder; its date.
    label names the zip in messages, escaped already (default: path)."""
    return read_release(path, folder, label).date_time


def read_release(path, folder, label=None):
    """read(), and the entries' SHA-256 as well: a Release."""
    unpacked = unpack_release(path, folder, label)
    check_layout(unpacked)
    return Release(unpacked.date_time, unpacked.digests)


def one_line(what, shown):
    """what() with any fault as Refused: hostile input reaches zipfile's
    every corner, and each ends in one line."""
    try:
        return what()
    except Refused:
        raise
    except Exception as error:
        fail(f"{shown} cannot be read as a zip: {reason(error)}")


def unpack_release(path, folder, label=None):
    """The entries of the zip at path, unpacked into folder, their SHA-256
    and SHA256SUMS checked: an Unpacked. The layout is not checked yet.
    label is the zip's name as messages show it, escaped already."""
    shown = escape(path) if label is None else label
    return one_line(lambda: _unpack(path, shown, folder), shown)


def _stale_sum(folder, digests):
    """Which of SHA256SUMS's lines is not its entry's, for the person who
    has to find it."""
    with open(os.path.join(folder, SUMS), "rb") as f:
        listed = f.read().splitlines()
    for name in sorted(set(digests) - {SUMS}):
        if f"{digests[name]}  {name}".encode() not in listed:
            return f"{escape(name)} has SHA-256 {digests[name]}, which it does not list"
    return "it holds lines besides its files' own"


def check_layout(unpacked, deadline=None):
    """Refused unless the writer, given the unpacked entries, writes the zip
    again byte for byte; with a deadline (time.monotonic()), refused too
    once it has passed."""
    one_line(lambda: _check_layout(unpacked, deadline), unpacked.shown)


def _unpack(file_path, path, folder):
    try:
        with open(file_path, "rb") as f:
            end = zipfile._EndRecData(f)
            if not end:
                fail(f"{path} is not a zip")
            if end[zipfile._ECD_ENTRIES_TOTAL] != len(ENTRIES):
                fail(f"{path} holds {end[zipfile._ECD_ENTRIES_TOTAL]} entries: not the files of a release")
            if end[zipfile._ECD_SIZE] > MAX_DIRECTORY:
                fail(f"{path} claims a central directory of {end[zipfile._ECD_SIZE]} bytes, "
                     f"over {MAX_DIRECTORY >> 10} KiB: far more than a release's {len(ENTRIES)} entries need")
            archive = zipfile.ZipFile(f)
            infos = archive.infolist()
            names = [i.filename for i in infos]
            if set(names) != ENTRIES or len(names) != len(ENTRIES):
                fail(f"{path} holds {', '.join(escape(n) for n in names)}: not the files of a release")
            digests = {i.filename: extract(path, archive, i, folder) for i in infos}
            if digests[SUMS] != hashlib.sha256(sums_of(digests)).hexdigest():
                fail(f"{path}: its {SUMS} does not match its files: {_stale_sum(folder, digests)}")
            return Unpacked(infos[0].date_time, digests, file_path, path, folder, archive.comment, infos)
    except (OSError, zipfile.BadZipFile, zlib.error, EOFError, ValueError, NotImplementedError) as error:
        # NotImplementedError: a "version needed to extract" zipfile does not know
        fail(f"{path} cannot be read as a zip: {reason(error)}")


def _check_layout(unpacked, deadline):
    path = unpacked.shown
    files = {n: open(os.path.join(unpacked.folder, n), "rb") for n in ENTRIES - {SUMS}}
    try:
        with open(unpacked.path, "rb") as f, tempfile.TemporaryFile() as rebuilt:
            try:
                write_files(rebuilt, files, unpacked.date_time, deadline)
            except Late:
                fail(f"{path}: writing its entries again to compare took longer than any release's "
                     "(a fraction of a second) by far: not the zip a release writes")
            offset = first_difference(f, rebuilt)
    finally:
        for opened in files.values():
            opened.close()
    if offset is not None:
        reasons = differences(unpacked, unpacked.infos) or [f"the first difference at byte {offset}"]
        fail(f"{path} is not the zip a release writes of its own files: {'; '.join(reasons)}")


def unpack(path, folder):
    # release.sh dates every entry with the commit's time, in UTC.
    print(calendar.timegm(read(path, folder) + (0, 0, 0)))


def pack(template, folder, out):
    with tempfile.TemporaryDirectory() as files:
        date_time = read(template, files)
        sources = {name: os.path.join(folder if name in PROGRAMS else files, name)
                   for name in ENTRIES - {SUMS}}
        opened = {name: open(source, "rb") for name, source in sources.items()}
        try:
            write_files(out, opened, date_time)
        finally:
            for f in opened.values():
                f.close()


def programs():
    print("\n".join(PROGRAMS))


def main(argv):
    command = {"unpack": (unpack, 4), "pack": (pack, 5), "programs": (programs, 2)}.get(argv[1] if len(argv) > 1 else "")
    if not command or len(argv) != command[1]:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    return one_line_main("", lambda: command[0](*argv[2:]))


if __name__ == "__main__":
    sys.exit(main(sys.argv))
