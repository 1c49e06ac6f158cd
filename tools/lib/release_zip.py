"""The release zip's layout, as tools/release.sh writes it: read and checked
(its files, and SHA256SUMS against them), unpacked, and packed again with
signed programs in the same order, with the same dates and attributes.

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
    data["SHA256SUMS"] = sums(data)
    with zipfile.ZipFile(out, "w") as z:
        for info in infos:
            entry = zipfile.ZipInfo(info.filename, date_time=info.date_time)
            entry.compress_type = info.compress_type
            entry.create_system = info.create_system
            entry.external_attr = info.external_attr
            z.writestr(entry, data[info.filename], compresslevel=9)


if __name__ == "__main__":
    if sys.argv[1:2] == ["unpack"] and len(sys.argv) == 4:
        unpack(*sys.argv[2:])
    elif sys.argv[1:2] == ["pack"] and len(sys.argv) == 5:
        pack(*sys.argv[2:])
    else:
        fail(__doc__.strip())
