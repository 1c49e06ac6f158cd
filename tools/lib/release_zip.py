"""The release zip's layout: written by tools/release.sh through write(),
read and checked (its files, and SHA256SUMS against them), unpacked, and
packed again with signed programs, in the same order with the same dates.

  release_zip.py unpack ZIP DIR            prints the entries' date (Unix time)
  release_zip.py pack TEMPLATE DIR OUT     the template's README.txt, DIR's programs
"""
import calendar
import hashlib
import os
import sys
import zipfile

PROGRAMS = ("x86/SlotBench.exe", "x64/SlotBench.exe",
            "wine-bridge/x86/CT_ORB.dll", "wine-bridge/x64/CT_ORB.dll")
ENTRIES = set(PROGRAMS) | {"README.txt", "SHA256SUMS"}


def fail(message):
    print(message, file=sys.stderr)
    sys.exit(1)


def sums(data):
    return "".join(f"{hashlib.sha256(data[name]).hexdigest()}  {name}\n"
                   for name in sorted(data) if name != "SHA256SUMS").encode()


def write(path, data, date_time):
    """The zip of data (name -> bytes) with its SHA256SUMS, the entries in
    name order, all dated date_time: the same input, the same bytes."""
    data = dict(data, SHA256SUMS=sums(data))
    with zipfile.ZipFile(path, "w") as z:
        for name in sorted(data):
            entry = zipfile.ZipInfo(name, date_time=date_time)
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.create_system = 3
            entry.external_attr = 0o100644 << 16
            z.writestr(entry, data[name], compresslevel=9)


def read(path):
    try:
        archive = zipfile.ZipFile(path)
        names = archive.namelist()
        if len(names) != len(ENTRIES) or set(names) != ENTRIES:
            fail(f"{path} holds {', '.join(names)}: not the files of a release")
        data = {name: archive.read(name) for name in names}
    except (OSError, zipfile.BadZipFile) as error:
        fail(f"{path} cannot be read as a zip: {error}")
    if data["SHA256SUMS"] != sums(data):
        fail(f"{path}: its SHA256SUMS does not match its files")
    return archive.infolist(), data


def unpack(path, folder):
    infos, data = read(path)
    for name, content in data.items():
        target = os.path.join(folder, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(content)
    # release.sh dates every entry with the commit's time, in UTC.
    print(calendar.timegm(infos[0].date_time + (0, 0, 0)))


def pack(template, folder, out):
    infos, data = read(template)
    for name in PROGRAMS:
        with open(os.path.join(folder, name), "rb") as f:
            data[name] = f.read()
    write(out, data, infos[0].date_time)


if __name__ == "__main__":
    if sys.argv[1:2] == ["unpack"] and len(sys.argv) == 4:
        unpack(*sys.argv[2:])
    elif sys.argv[1:2] == ["pack"] and len(sys.argv) == 5:
        pack(*sys.argv[2:])
    else:
        fail(__doc__.strip())
