"""The release's checks of its programs, README and signing inputs, on
doctored copies of a release build: each change must add exactly the faults
it stands for, naming the file and the field, to whatever the untouched
build already shows. Ends with "N passed, M failed".

  release_checks_test.py TREE    (a tree in which tools/release.sh has built)
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

import pefile

TREE = os.path.abspath(sys.argv[1])
TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../tools/release/slotbench_release")
sys.path.insert(0, TOOLS)
import package  # noqa: E402
import pe_checks  # noqa: E402
import signing  # noqa: E402
from text import Refused  # noqa: E402

PUBLISHER = package.publisher(TREE)["name"].decode("ascii")
FILES = ("x86/SlotBench.exe", "x86/bridge/CT_ORB.dll", "x64/SlotBench.exe", "x64/bridge/CT_ORB.dll")
results = {"passed": 0, "failed": 0}


def report(ok, description, detail=""):
    results["passed" if ok else "failed"] += 1
    print(f"release checks: {'ok' if ok else 'FAILED'}: {description}" + ("" if ok else f" ({detail})"))


def lay_out(folder):
    """Copies of the release build's four files, arch/... as check_builds wants them."""
    for name in FILES:
        arch, rest = name.split("/", 1)
        target = os.path.join(folder, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(os.path.join(TREE, f"build/release-{arch}", rest), target)
    return {arch: os.path.join(folder, arch) for arch in ("x86", "x64")}


def rewrite(path, change):
    """change(pe, data) edits the bytearray data (pefile for offsets)."""
    pe = pefile.PE(path)
    data = bytearray(pe.__data__)
    change(pe, data)
    pe.close()
    with open(path, "wb") as f:
        f.write(data)


def bump(value):
    """A version's third part plus one, as a person bumping it would."""
    parts = value.split(".")
    parts[2] = str(int(parts[2]) + 1)
    return ".".join(parts)


def fixed(field):
    def change(pe, data):
        info = pe.VS_FIXEDFILEINFO[0]
        offset = info.get_field_absolute_offset(field + "LS")
        low = struct.unpack_from("<I", data, offset)[0]
        struct.pack_into("<I", data, offset, low + 0x10000)
    return change


def string(field):
    def change(pe, data):
        for info in pe.FileInfo[0]:
            if info.Key == b"StringFileInfo":
                table = info.StringTable[0]
                value = table.entries[field].decode()
                offset = table.entries_offsets[field][1]
                new = bump(value).encode("utf-16-le")
                assert len(new) == len(value.encode("utf-16-le")), "a bump that changes the length"
                data[offset:offset + len(new)] = new
    return change


def about_text(pe, data):
    prefix = pe_checks.ABOUT_PREFIX.encode("utf-16-le")
    at = bytes(data).index(prefix) + len(prefix)
    data[at:at + 2] = ("8" if data[at:at + 2] != "8".encode("utf-16-le") else "9").encode("utf-16-le")


def about_version_hidden(pe, data):
    """The version text hidden (no WS_VISIBLE), the line below it saying
    another version: a static control's style sits 30 bytes before its text."""
    at = bytes(data).index(pe_checks.ABOUT_PREFIX.encode("utf-16-le")) - 30
    struct.pack_into("<I", data, at, struct.unpack_from("<I", data, at)[0] & ~pe_checks.WS_VISIBLE)
    old, new = "(C) 2026 Slot Bench project", "Slot_Bench Version 9.9.0.0 "
    at = bytes(data).index(old.encode("utf-16-le"))
    data[at:at + 2 * len(new)] = new.encode("utf-16-le")


def no_seh(pe, data):
    offset = pe.OPTIONAL_HEADER.get_field_absolute_offset("DllCharacteristics")
    struct.pack_into("<H", data, offset, pe.OPTIONAL_HEADER.DllCharacteristics | 0x400)


def safe_seh_table(pe, data):
    """A load configuration as a SafeSEH link writes it, in a section's slack."""
    section = next(s for s in pe.sections if s.SizeOfRawData - s.Misc_VirtualSize >= 80)
    delta = (section.Misc_VirtualSize + 7) & ~7
    config = bytearray(72)
    struct.pack_into("<I", config, 0, 72)
    struct.pack_into("<II", config, 64, pe.OPTIONAL_HEADER.ImageBase + section.VirtualAddress, 1)
    at = section.PointerToRawData + delta
    data[at:at + 72] = config
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG"]]
    struct.pack_into("<II", data, directory.get_file_offset(), section.VirtualAddress + delta, 72)


def renamed_import(dll, function, new_dll=None):
    """The longest-named import from dll renamed function (and the library
    new_dll), in place: an attacker's build of the same shape."""
    def change(pe, data):
        library = next(d for d in pe.DIRECTORY_ENTRY_IMPORT if d.dll.lower() == dll)
        longest = max((i for i in library.imports if i.name), key=lambda i: len(i.name))
        data[longest.name_offset:longest.name_offset + len(longest.name)] = function.ljust(len(longest.name), b"\0")
        if new_dll:
            offset = pe.get_offset_from_rva(library.struct.Name)
            data[offset:offset + len(library.dll)] = new_dll.ljust(len(library.dll), b"\0")
    return change


def delay_import(dll, function):
    """A delay-load table of one library and function, as the linker writes
    it (addresses relative to the image), in a section's slack."""
    def change(pe, data):
        section = next(s for s in pe.sections if s.SizeOfRawData - s.Misc_VirtualSize >= 176)
        start = (section.Misc_VirtualSize + 15) & ~15
        rva, at = section.VirtualAddress + start, section.PointerToRawData + start
        table = bytearray(160)  # descriptor, end, thunk and its end, hint and name, dll name, module handle
        struct.pack_into("<8I", table, 0, 1, rva + 112, rva + 144, rva + 64, rva + 64, 0, 0, 0)
        struct.pack_into("<Q" if pe.OPTIONAL_HEADER.Magic == 0x20B else "<I", table, 64, rva + 80)
        table[82:82 + len(function)] = function
        table[112:112 + len(dll)] = dll
        data[at:at + len(table)] = table
        directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT"]]
        struct.pack_into("<II", data, directory.get_file_offset(), rva, 64)
    return change


def unlisted_functions(pe, data):
    """version.dll's entry with no list of functions: pefile passes over
    it, Windows still loads the library."""
    library = next(d for d in pe.DIRECTORY_ENTRY_IMPORT if d.dll.lower() == b"version.dll")
    struct.pack_into("<I", data, library.struct.get_field_absolute_offset("OriginalFirstThunk"), 0)
    struct.pack_into("<I", data, library.struct.get_field_absolute_offset("FirstThunk"), 0)


def library_renamed(pe, data):
    library = next(d for d in pe.DIRECTORY_ENTRY_IMPORT if d.dll.lower() == b"ct_orb.dll")
    offset = pe.get_offset_from_rva(library.struct.Name)
    data[offset:offset + 10] = b"CT_ORX.dll"


def machine(value):
    def change(pe, data):
        struct.pack_into("<H", data, pe.FILE_HEADER.get_field_absolute_offset("Machine"), value)
    return change


def looks_up(old, new):
    """The bridge's string OLD (a name it looks up in ctapi32.dll) made NEW."""
    def change(pe, data):
        at = bytes(data).index(b"\0" + old + b"\0") + 1
        data[at:at + len(old)] = new
    return change


def ordinal_base(base):
    def change(pe, data):
        struct.pack_into("<I", data, pe.DIRECTORY_ENTRY_EXPORT.struct.get_field_absolute_offset("Base"), base)
    return change


def version_strings(pe):
    """The string table's (key, offset of key, offset of value) in file order."""
    info = next(i for i in pe.FileInfo[0] if i.Key == b"StringFileInfo")
    table = info.StringTable[0]
    return table, table.entries_offsets


def duplicate_file_version(pe, data):
    """FileVersion twice: the first, which Windows shows, 0.9.9.9; the
    second, where ProductName stood, the true one, which pefile keeps."""
    table, offsets = version_strings(pe)
    key_at, value_at = offsets[b"FileVersion"]
    true = table.entries[b"FileVersion"]
    data[value_at:value_at + 2 * len(true)] = "0.9.9.9".ljust(len(true.decode()), "\0").encode("utf-16-le")
    key_at, value_at = offsets[b"ProductName"]
    data[key_at:key_at + 22] = "FileVersion".encode("utf-16-le")
    old = len(table.entries[b"ProductName"].decode())
    data[value_at:value_at + 2 * old] = true.decode().ljust(old, "\0").encode("utf-16-le")


def renamed_string(old, new):
    def change(pe, data):
        key_at = version_strings(pe)[1][old][0]
        assert len(new) == len(old)
        data[key_at:key_at + 2 * len(old)] = new.decode().encode("utf-16-le")
    return change


def replaced_in_version(old, new):
    """The first occurrence of old within the version block, as new."""
    def change(pe, data):
        versions = next(t for t in pe.DIRECTORY_ENTRY_RESOURCE.entries if t.id == 16)
        entry = versions.directory.entries[0].directory.entries[0].data.struct
        at = pe.get_offset_from_rva(entry.OffsetToData)
        found = bytes(data).index(old, at, at + entry.Size)
        data[found:found + len(old)] = new
    return change


def rewritten_directory(kind, ident, entries):
    """The resource directory under type kind (and id ident, if not None)
    rewritten, in the resource section's slack, with entries(existing,
    room) -> (named count, [(name or id, target)], extra bytes at room):
    an attacker's resource compiler."""
    def change(pe, data):
        directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]]
        section = next(s for s in pe.sections if s.VirtualAddress == directory.VirtualAddress)
        base = section.PointerToRawData
        parent = next(t for t in pe.DIRECTORY_ENTRY_RESOURCE.entries if t.id == kind)
        if ident is not None:
            parent = next(e for e in parent.directory.entries if e.id == ident)
        old = parent.struct.OffsetToData & 0x7FFFFFFF
        named, ids = struct.unpack_from("<HH", data, base + old + 12)
        existing = [struct.unpack_from("<II", data, base + old + 16 + 8 * i) for i in range(named + ids)]
        new = (section.Misc_VirtualSize + 7) & ~7
        count, listed, extra = entries(existing, new + 16 + 8 * (len(existing) + 2))
        block = bytes(data[base + old:base + old + 12]) + struct.pack("<HH", count, len(listed) - count)
        block += b"".join(struct.pack("<II", name, target) for name, target in listed) + extra
        end = new + len(block)
        assert end <= section.SizeOfRawData, "no room in the resource section"
        block = block.ljust(16 + 8 * (len(existing) + 2) + len(extra), b"\0")
        data[base + new:base + new + len(block)] = block
        struct.pack_into("<I", data, parent.struct.get_field_absolute_offset("OffsetToData"), new | 0x80000000)
        struct.pack_into("<I", data, section.get_field_absolute_offset("Misc_VirtualSize"), section.SizeOfRawData)
        struct.pack_into("<I", data, directory.get_file_offset() + 4, section.SizeOfRawData)
    return change


def named_version_first(existing, room):
    """A named DECOY version entry before id 1, sharing its languages."""
    name = struct.pack("<H", 5) + "DECOY".encode("utf-16-le")
    return 1, [(room | 0x80000000, existing[0][1])] + existing, name


def version_two(existing, room):
    return 0, existing + [(2, existing[0][1])], b""


def second_language(existing, room):
    return 0, [(0x407, existing[0][1])] + existing, b""


def windows_version(field, major, minor):
    def change(pe, data):
        header = pe.OPTIONAL_HEADER
        struct.pack_into("<HH", data, header.get_field_absolute_offset(f"Major{field}Version"), major, minor)
    return change


def resource_type(old, new):
    def change(pe, data):
        entry = next(t for t in pe.DIRECTORY_ENTRY_RESOURCE.entries if t.id == old)
        struct.pack_into("<I", data, entry.struct.get_field_absolute_offset("Name"), new)
    return change


# Description, file changed, change, what each added fault must name (one per fault).
CASES = [
    ("fixed FileVersion bumped alone", "x86/SlotBench.exe", fixed("FileVersion"), ["fixed FileVersion"]),
    ("fixed ProductVersion bumped alone", "x64/bridge/CT_ORB.dll", fixed("ProductVersion"), ["fixed ProductVersion"]),
    ("FileVersion string bumped alone", "x86/bridge/CT_ORB.dll", string(b"FileVersion"), ["FileVersion string"]),
    ("ProductVersion string bumped alone", "x64/SlotBench.exe", string(b"ProductVersion"),
     ["ProductVersion string"]),
    ("both version strings bumped, the numbers not", "x86/SlotBench.exe",
     lambda pe, d: (string(b"FileVersion")(pe, d), string(b"ProductVersion")(pe, d)),
     ["FileVersion string", "ProductVersion string"]),
    ("the About box's version changed", "x64/SlotBench.exe", about_text, ["About box"]),
    ("the About box's version hidden, another shown below it", "x86/SlotBench.exe", about_version_hidden,
     ["About box (dialog 100): control 2's style 0x40000080, where res/slotbench.rc writes 0x50000080"]),
    ("32-bit program marked NO_SEH", "x86/SlotBench.exe", no_seh, ["NO_SEH"]),
    ("32-bit program with a SafeSEH table", "x86/SlotBench.exe", safe_seh_table, ["SafeSEH table"]),
    ("a program importing CreateFile2 (Windows 8)", "x86/SlotBench.exe",
     renamed_import(b"kernel32.dll", b"CreateFile2"), ["imports kernel32.dll!CreateFile2, which is not among"]),
    ("a program importing WSAPoll (Vista) from ws2_32", "x64/SlotBench.exe",
     renamed_import(b"version.dll", b"WSAPoll", b"ws2_32.dll"),
     ["imports from ws2_32.dll, a library none", "imports ws2_32.dll!WSAPoll, which",
      "imports ws2_32.dll!GetFileVersionInfoA, which", "imports ws2_32.dll!VerQueryValueA, which"]),
    ("a bridge importing _wfopen_s from msvcrt", "x64/bridge/CT_ORB.dll",
     renamed_import(b"msvcrt.dll", b"_wfopen_s"), ["imports msvcrt.dll!_wfopen_s, which"]),
    ("a 32-bit program importing what only 64-bit user32 has", "x86/SlotBench.exe",
     renamed_import(b"user32.dll", b"GetWindowLongPtrA"), ["imports user32.dll!GetWindowLongPtrA, which"]),
    ("a bridge delay-loading GetTickCount64 (Vista)", "x86/bridge/CT_ORB.dll",
     delay_import(b"kernel32.dll", b"GetTickCount64"), ["imports kernel32.dll!GetTickCount64, which"]),
    ("a program delay-loading a checked function: accepted", "x64/SlotBench.exe",
     delay_import(b"kernel32.dll", b"GetLastError"), []),
    ("a library whose functions pefile cannot list", "x86/SlotBench.exe", unlisted_functions,
     ["imports cannot be read in full (import table:"]),
    ("the program importing another library than CT_ORB.dll", "x64/SlotBench.exe", library_renamed,
     ["nothing from CT_ORB.dll, not ordinals 1, 2, 3", "imports from CT_ORX.dll, a library none",
      "ordinal 1 of CT_ORX.dll", "ordinal 2 of CT_ORX.dll", "ordinal 3 of CT_ORX.dll"]),
    ("an x86 program in the x64 folder", "x64/SlotBench.exe", machine(0x14C), ["not x64"]),
    ("a bridge exporting ordinals 2, 3, 4", "x86/bridge/CT_ORB.dll", ordinal_base(2),
     ["exports are not ordinals 1, 2, 3 with no names"]),
    ("a bridge looking up another library than ctapi32.dll", "x64/bridge/CT_ORB.dll",
     looks_up(b"ctapi32.dll", b"ctapi33.dll"), ["names no ctapi32.dll, which the wine bridge looks up"]),
    ("a bridge looking up CT_datx, not CT_data", "x86/bridge/CT_ORB.dll",
     looks_up(b"CT_data", b"CT_datx"), ["names no CT_data, which the wine bridge looks up"]),
    ("FileVersion twice, Windows showing the first (0.9.9.9), pefile the second", "x86/SlotBench.exe",
     duplicate_file_version, ["version resource: string FileVersion 2 times in table 040904b0"]),
    ("a version string none of ours (CompanyName renamed)", "x64/bridge/CT_ORB.dll",
     renamed_string(b"CompanyName", b"CompanyNamX"), ["version resource: string CompanyNamX in table 040904B0"]),
    ("another publisher named in a program", "x86/SlotBench.exe", replaced_in_version(
        PUBLISHER.encode("utf-16-le"), ("X" + PUBLISHER[1:]).encode("utf-16-le")), ["CompanyName string is \"X"]),
    ("a second string table (German)", "x64/SlotBench.exe", replaced_in_version(
        "040904b0".encode("utf-16-le"), "040704b0".encode("utf-16-le")),
     ["version resource: string tables 040704b0, not 040904b0 alone"]),
    ("another Translation", "x86/bridge/CT_ORB.dll", replaced_in_version(
        "Translation\0".encode("utf-16-le") + b"\0\0\x09\x04", "Translation\0".encode("utf-16-le") + b"\0\0\x07\x04"),
     ["version resource: Translation is 0704b004"]),
    ("a named DECOY version entry before id 1", "x64/bridge/CT_ORB.dll",
     rewritten_directory(16, None, named_version_first), ["resource directory type 16 has named entries"]),
    ("a second version entry, id 2", "x86/bridge/CT_ORB.dll",
     rewritten_directory(16, None, version_two), ["version resources 1, 2, not id 1 alone"]),
    ("the version in a second language (German)", "x86/SlotBench.exe",
     rewritten_directory(16, 1, second_language), ["resource type 16 id 1 has languages 0x407, 0x409"]),
    ("subsystem version 6.0", "x86/SlotBench.exe", windows_version("Subsystem", 6, 0),
     ["SubsystemVersion 6.0, above 5.1: does not start on Windows XP"]),
    ("a 64-bit bridge with subsystem version 6.0", "x64/bridge/CT_ORB.dll", windows_version("Subsystem", 6, 0),
     ["SubsystemVersion 6.0, above 5.2: does not start on Windows XP"]),
    ("a 32-bit bridge with subsystem version 5.2", "x86/bridge/CT_ORB.dll", windows_version("Subsystem", 5, 2),
     ["SubsystemVersion 5.2, above 5.1: does not start on Windows XP"]),
    ("a 32-bit program with subsystem version 5.1: accepted", "x86/SlotBench.exe",
     windows_version("Subsystem", 5, 1), []),
    ("operating system version 6.0", "x64/SlotBench.exe", windows_version("OperatingSystem", 6, 0),
     ["OperatingSystemVersion 6.0, above 5.2: does not start on Windows XP"]),
    ("a resource type none of ours (the manifest as type 23)", "x86/SlotBench.exe", resource_type(24, 23),
     ["resource type 23, which res/slotbench.rc does not write"]),
    ("a bridge with a resource type of the program's (the version as type 14)", "x64/bridge/CT_ORB.dll",
     resource_type(16, 14), ["resource type 14, which bridge/ct_orb_bridge.rc does not write"]),
]


def faults_in(folder):
    """The checks' faults, their paths relative to folder."""
    builds = {arch: os.path.join(folder, arch) for arch in ("x86", "x64")}
    return {fault.replace(folder + os.sep, "", 1) for fault in pe_checks.check_builds(TREE, "", builds, PUBLISHER)}


def check_pe_cases(work):
    baseline = os.path.join(work, "baseline")
    lay_out(baseline)
    baseline = faults_in(baseline)
    report(not baseline, "the build as it is: no fault", "; ".join(sorted(baseline)))
    for number, (description, name, change, wanted) in enumerate(CASES):
        folder = os.path.join(work, f"case{number}")
        lay_out(folder)
        rewrite(os.path.join(folder, name), change)
        added = sorted(faults_in(folder) - baseline)
        wanted = [w() if callable(w) else w for w in wanted]
        ok = len(added) == len(wanted) and all(
            any(f.startswith(name + ":") and w in f for f in added) for w in wanted)
        outcome = f"refused, naming {name} and {', '.join(wanted)}" if wanted else "no fault"
        report(ok, f"{description}: {outcome}", "; ".join(added) or "no fault")


def check_pe_version(work):
    """pe_version.py reads the version as the release check does: a file
    whose version Windows could show otherwise has none."""
    builds = lay_out(os.path.join(work, "pe_version"))
    rewrite(os.path.join(builds["x64"], "bridge/CT_ORB.dll"), rewritten_directory(16, None, named_version_first))
    script = os.path.join(TOOLS, "pe_version.py")
    for name, wanted in (("x86/SlotBench.exe", pe_checks.source_version(TREE)),
                         ("x64/bridge/CT_ORB.dll", None)):
        path = os.path.join(work, "pe_version", name)
        run = subprocess.run([sys.executable, script, path], capture_output=True, text=True)
        if wanted:
            ok, outcome = run.returncode == 0 and run.stdout == wanted + "\n", f"prints {wanted}"
        else:
            ok = run.returncode == 1 and not run.stdout and run.stderr.startswith(path + ": resource directory type 16")
            outcome = "no version, naming the file and the version entries"
        report(ok, f"pe_version.py on {name}: {outcome}", (run.stdout + run.stderr).strip())


def check_refusal(work):
    """The release step itself packs nothing once a check fails."""
    builds = lay_out(os.path.join(work, "refused"))
    rewrite(os.path.join(builds["x86"], "SlotBench.exe"), no_seh)
    zip_path = os.path.join(work, "refused.zip")
    run = subprocess.run([sys.executable, os.path.join(TOOLS, "package.py"), TREE, "", builds["x86"], builds["x64"],
                          zip_path], capture_output=True, text=True, env=dict(os.environ, SOURCE_DATE_EPOCH="0"))
    lines = run.stderr.splitlines()
    report(run.returncode == 1 and not os.path.exists(zip_path) and any("NO_SEH" in l for l in lines)
           and lines[-1].startswith("release: nothing packed") and "`bash tools/release.sh`" in lines[-1],
           "a failed check: release refuses, packs nothing, says what to do next", run.stderr.strip())


PUBLISHER_GOOD = ("name=Test Publisher\ndownload_page=https://test.example/dl\nfingerprint_published_at=the test page\n"
                  "support=the test desk\n")
README_GOOD = "Version @SLOTBENCH_VERSION@ by @PUBLISHER_NAME@ from @DOWNLOAD_PAGE@, see @FINGERPRINT_PUBLISHED_AT@, ask @SUPPORT@.\n"
# Description, publisher.txt (None: none), README, what the refusal names (None: accepted).
README_CASES = [
    ("all fields filled", PUBLISHER_GOOD, README_GOOD, None),
    ("no publisher.txt", None, README_GOOD, "no docs/release/publisher.txt"),
    ("publisher.txt without the place", "name=Test Publisher\n", README_GOOD, "no fingerprint_published_at="),
    ("publisher.txt without the download page", PUBLISHER_GOOD.replace("download_page=", "#"), README_GOOD,
     "no download_page="),
    ("an empty name", "name=\nfingerprint_published_at=x\n", README_GOOD, "name= needs a value"),
    ("a name in other than ASCII", "name=M\u00fcller\nfingerprint_published_at=x\n", README_GOOD,
     "name= needs a value"),
    ("a name twice", PUBLISHER_GOOD + "name=Other\n", README_GOOD, "name= a second time"),
    ("an unknown key", PUBLISHER_GOOD + "signer=x\n", README_GOOD, "not one of the name=, fingerprint_published_at=, support=, download_page="),
    ("a key spaced from its = (the build reads name= at a line's start)", PUBLISHER_GOOD.replace("name=", "name ="),
     README_GOOD, "not one of the"),
    ("a README field nothing fills", PUBLISHER_GOOD, README_GOOD + "@RELEASE_DATE@\n", "@RELEASE_DATE@"),
    ("a README without the publisher's name", PUBLISHER_GOOD,
     README_GOOD.replace("@PUBLISHER_NAME@", "us"), "no @PUBLISHER_NAME@"),
]


def check_readme_cases(work):
    for number, (description, publisher, readme, refusal) in enumerate(README_CASES):
        source = os.path.join(work, f"readme{number}")
        os.makedirs(os.path.join(source, "docs/release"))
        if publisher is not None:
            with open(os.path.join(source, package.PUBLISHER), "w", encoding="utf-8") as f:
                f.write(publisher)
        with open(os.path.join(source, package.README), "w", encoding="utf-8") as f:
            f.write(readme)
        try:
            text = package.text(source, package.README, "7.8.9.10").decode("ascii")
            ok = refusal is None and "7.8.9.10 by Test Publisher from https://test.example/dl, see the test page, ask the test desk." in text and "@" not in text
            detail = text
        except Refused as error:
            ok = refusal is not None and refusal in str(error) and "`bash tools/release.sh`" in str(error)
            detail = str(error)
        report(ok, f"package README, {description}: {'accepted' if refusal is None else 'refused'}", detail)


# URI, whether it holds a PIN for a token library.
PIN_CASES = [
    ("pkcs11:token=t;object=k;pin-value=1234", True),
    ("pkcs11:token=t;object=k;PIN-Value=1234", True),
    ("pkcs11:token=t;object=k;pin%2Dvalue=1234", True),
    ("pkcs11:token=t;object=k;%70in-value=1234", True),
    ("pkcs11:token=t;object=k;%50%49%4e%2d%56%41%4c%55%45=1234", True),
    ("pkcs11:token=t;object=k;%2570in-value=1234", True),
    ("pkcs11:object=k\\c;pin-value=1234", True),
    ("pkcs11:object=k?pin-value=1234", True),
    ("pkcs11:token=t;object=k;type=private", False),
    ("pkcs11:token=t;object=pin;type=private", False),
    ("pkcs11:token=t;object=k?pin-source=file:/run/pin", False),
    ("pkcs11:token=t;object=pin\\x2dvalue", False),
]


def check_pin_cases():
    for uri, holds in PIN_CASES:
        report(signing.pin_in_uri(uri) == holds, f"--key {uri}: {'refused' if holds else 'accepted'}")


def main():
    with tempfile.TemporaryDirectory() as work:
        check_pe_cases(work)
        check_pe_version(work)
        check_refusal(work)
        check_readme_cases(work)
    check_pin_cases()
    print(f"{results['passed']} passed, {results['failed']} failed")
    return 1 if results["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
