"""What a release checks in its programs and bridges before packing them,
read from the files themselves with pefile: a build can go wrong in ways
that still link (a version string edited on its own, a flag from the
environment, a newer Windows function pulled in by a library), and the zip
is named for res/version.h and promised to start on Windows XP SP3.

Each check returns the faults it found, one line each, naming the file and
the field; no fault means the file is fit to ship.
"""
import os
import re
import struct

import pefile

from text import escape

# Far above the release's programs (400 KB at most): more is not ours.
MAX_SIZE = 16 << 20
# A dialog template of ours is a few hundred bytes.
MAX_DIALOG = 64 << 10

MACHINES = {"x86": (0x14C, 0x10B), "x64": (0x8664, 0x20B)}
IMAGE_FILE_DLL = 0x2000
# Windows then calls no exception handler in the image: the guard around
# the maker's library calls would never run.
IMAGE_DLLCHARACTERISTICS_NO_SEH = 0x400
RT_DIALOG = 5
DS_SETFONT = 0x40
STATIC_CLASS = 0x82
ABOUT_PREFIX = "Slot_Bench version "
LIBRARY = "ct_orb.dll"
# The maker's library's ordinals, and the ctapi32 function each stands for.
FORWARDS = {1: b"ctapi32.CT_init", 2: b"ctapi32.CT_data", 3: b"ctapi32.CT_close"}
# The functions checked to exist on Windows XP: a program or bridge imports
# these alone. A list of what XP lacks would always miss the next newer
# function a library pulls in.
XP_IMPORTS = "tools/release/xp_imports.txt"
# Bound imports need no check of their own: they only name libraries of the
# import table, and a binding to another Windows' libraries is redone from it.
IMPORT_TABLES = {"DIRECTORY_ENTRY_IMPORT": ("IMAGE_DIRECTORY_ENTRY_IMPORT", 20, "import table"),
                 "DIRECTORY_ENTRY_DELAY_IMPORT": ("IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT", 32, "delay-load table")}
DIRECTORIES = ["IMAGE_DIRECTORY_ENTRY_IMPORT", "IMAGE_DIRECTORY_ENTRY_EXPORT",
               "IMAGE_DIRECTORY_ENTRY_RESOURCE", "IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT"]


class Fault(Exception):
    """A file or source that cannot be read as expected: one line."""


def _define(path, name, pattern):
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read(1 << 20)
    except (OSError, UnicodeDecodeError) as error:
        raise Fault(f"{path} cannot be read ({error.__class__.__name__})")
    found = re.findall(rf"^#define {name} {pattern}$", text, re.M)
    if len(found) != 1:
        raise Fault(f"{path} has no single '#define {name}' line to read")
    return found[0]


def source_version(source):
    """SLOTBENCH_VERSION_TEXT of res/version.h: a.b.c.d, each part a 16-bit number."""
    path = os.path.join(source, "res/version.h")
    version = _define(path, "SLOTBENCH_VERSION_TEXT", r'"([0-9]{1,5}(?:\.[0-9]{1,5}){3})"')
    if any(int(part) > 0xFFFF for part in version.split(".")):
        raise Fault(f"{path}: {version} does not fit a version resource")
    return version


def about_dialog_id(source):
    return int(_define(os.path.join(source, "res/resource.h"), "IDD_ABOUTBOX", r"([0-9]{1,5})"))


def about_text(version, suffix):
    """What the About box says of a version: trailing zero parts dropped
    down to two (1.0.0.0 is "1.0", 1.0.1.0 "1.0.1"), then the suffix."""
    parts = version.split(".")
    while len(parts) > 2 and parts[-1] == "0":
        parts.pop()
    return ABOUT_PREFIX + ".".join(parts) + suffix


def checked_imports(source):
    """tools/release/xp_imports.txt: (dll, function) -> the architectures
    it was checked on."""
    try:
        with open(os.path.join(source, XP_IMPORTS), encoding="utf-8") as f:
            lines = f.read(1 << 20).splitlines()
    except (OSError, UnicodeDecodeError) as error:
        raise Fault(f"{XP_IMPORTS} cannot be read ({error.__class__.__name__})")
    checked = {}
    for number, line in enumerate(lines, 1):
        entry = line.split("#", 1)[0].strip()
        if not entry:
            continue
        found = re.fullmatch(r"([a-z0-9_.-]+\.dll)!([A-Za-z_][A-Za-z0-9_]*)(?:\s+(x86|x64))?", entry)
        if not found:
            raise Fault(f"{XP_IMPORTS}:{number}: not a dll!Function line (the library in lower case,"
                        " then x86 or x64 at most): write it so")
        key = (found[1].encode(), found[2].encode())
        if key in checked:
            raise Fault(f"{XP_IMPORTS}:{number}: {found[1]}!{found[2]} a second time: remove one")
        checked[key] = {found[3]} if found[3] else set(MACHINES)
    if not checked:
        raise Fault(f"{XP_IMPORTS} names no function: restore it from git")
    return checked


def load(path):
    try:
        size = os.path.getsize(path)
        if size > MAX_SIZE:
            raise Fault(f"{path}: {size} bytes, over {MAX_SIZE >> 20} MiB: not a build of ours")
        with open(path, "rb") as f:
            pe = pefile.PE(data=f.read(), fast_load=True)
        pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY[d] for d in DIRECTORIES])
    except OSError as error:
        raise Fault(f"{path} cannot be read ({error.strerror})")
    except (pefile.PEFormatError, struct.error, ValueError, IndexError) as error:
        raise Fault(f"{path} is not a Windows program ({error.__class__.__name__})")
    return pe


def architecture_faults(pe, path, arch, dll):
    machine, magic = MACHINES[arch]
    faults = []
    if pe.FILE_HEADER.Machine != machine or pe.OPTIONAL_HEADER.Magic != magic:
        faults.append(f"{path}: machine 0x{pe.FILE_HEADER.Machine:x}, not {arch}")
    if bool(pe.FILE_HEADER.Characteristics & IMAGE_FILE_DLL) != dll:
        faults.append(f"{path}: {'not ' if dll else ''}a DLL")
    return faults


def _origin(suffix):
    return f"res/version.h, {suffix} build" if suffix else "res/version.h"


def version_faults(pe, path, expected_numbers, expected_string, origin):
    """The four places Windows shows a version: the fixed FileVersion and
    ProductVersion (Details tab, "File version"), the strings FileVersion
    and ProductVersion ("Product version")."""
    faults = []
    fixed = getattr(pe, "VS_FIXEDFILEINFO", None) or []
    if not fixed:
        faults.append(f"{path}: no version resource")
    for info in fixed:
        for field in ("FileVersion", "ProductVersion"):
            high, low = getattr(info, field + "MS"), getattr(info, field + "LS")
            found = f"{high >> 16}.{high & 0xFFFF}.{low >> 16}.{low & 0xFFFF}"
            if found != expected_numbers:
                faults.append(f"{path}: fixed {field} is {found}, not {expected_numbers} (res/version.h)")
    tables = [table for info in getattr(pe, "FileInfo", None) or [] for entry in info
              if getattr(entry, "Key", None) == b"StringFileInfo" for table in entry.StringTable]
    if fixed and not tables:
        faults.append(f"{path}: no version strings")
    for table in tables:
        for field in (b"FileVersion", b"ProductVersion"):
            found = table.entries.get(field)
            if found is None:
                faults.append(f"{path}: no {field.decode()} string")
            elif found != expected_string.encode():
                shown = escape(found)
                faults.append(f'{path}: {field.decode()} string is "{shown}", not "{expected_string}" ({origin})')
    return faults


class _Reader:
    def __init__(self, data):
        self.data, self.at = data, 0

    def take(self, size):
        if self.at + size > len(self.data):
            raise Fault("ends early")
        chunk = self.data[self.at:self.at + size]
        self.at += size
        return chunk

    def word(self):
        return struct.unpack("<H", self.take(2))[0]

    def dword(self):
        return struct.unpack("<I", self.take(4))[0]

    def text(self):
        chars = []
        while (ch := self.word()) != 0:
            chars.append(ch)
        return struct.pack(f"<{len(chars)}H", *chars).decode("utf-16-le", "replace")

    def name_or_ordinal(self):
        """A string, an ordinal (int), or None."""
        first = self.word()
        if first == 0:
            return None
        if first == 0xFFFF:
            return self.word()
        self.at -= 2
        return self.text()

    def align(self):
        self.at = (self.at + 3) & ~3


def static_texts(data):
    """The texts of a DIALOGEX template's static controls."""
    r = _Reader(data)
    if r.word() != 1 or r.word() != 0xFFFF:
        raise Fault("not an extended dialog template")
    r.take(8)  # help id, extended style
    style = r.dword()
    count = r.word()
    r.take(8)  # position and size
    r.name_or_ordinal()  # menu
    r.name_or_ordinal()  # window class
    r.text()  # caption
    if style & DS_SETFONT:
        r.take(6)  # point size, weight, italic, charset
        r.text()
    texts = []
    for _ in range(count):
        r.align()
        r.take(20)  # help id, extended style, style, position and size
        r.dword()  # control id
        window_class = r.name_or_ordinal()
        title = r.name_or_ordinal()
        r.take(r.word())  # creation data
        if window_class == STATIC_CLASS or (isinstance(window_class, str) and window_class.lower() == "static"):
            if isinstance(title, str):
                texts.append(title)
    return texts


def about_faults(pe, path, dialog_id, expected, origin):
    resources = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    templates = []
    for kind in resources.entries if resources else []:
        if kind.id != RT_DIALOG or not hasattr(kind, "directory"):
            continue
        for dialog in kind.directory.entries:
            if dialog.id == dialog_id and hasattr(dialog, "directory"):
                templates += [language.data.struct for language in dialog.directory.entries
                              if hasattr(language, "data")]
    if not templates:
        return [f"{path}: no About box (dialog {dialog_id})"]
    faults = []
    for template in templates:
        if template.Size > MAX_DIALOG:
            faults.append(f"{path}: About box (dialog {dialog_id}) of {template.Size} bytes: not ours")
            continue
        try:
            texts = static_texts(pe.get_data(template.OffsetToData, template.Size))
        except (Fault, pefile.PEFormatError) as error:
            faults.append(f"{path}: About box (dialog {dialog_id}) cannot be read ({error})")
            continue
        found = [t for t in texts if t.startswith(ABOUT_PREFIX)]
        if found != [expected]:
            shown = ", ".join(f'"{escape(t)}"' for t in found) or "no version text"
            faults.append(f'{path}: About box (dialog {dialog_id}) says {shown}, not "{expected}" ({origin})')
    return faults


def _imports(pe):
    for attribute in IMPORT_TABLES:
        for library in getattr(pe, attribute, None) or []:
            yield library.dll or b"", library.imports


def _unread_tables(pe, path):
    """pefile passes over a library whose list of functions it cannot read
    (or that lists none), but Windows still loads that library: count the
    libraries the table itself names. A list pefile cuts short it warns of:
    the functions after the cut would go unchecked."""
    found = []
    for attribute, (entry, size, what) in IMPORT_TABLES.items():
        directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY[entry]]
        if not directory.VirtualAddress:
            continue
        count = 0
        try:
            while count < 4096 and pe.get_data(directory.VirtualAddress + count * size, size) != bytes(size):
                count += 1
        except pefile.PEFormatError:
            count = -1
        read = len(getattr(pe, attribute, None) or [])
        if count != read:
            found.append(f"{what}: {read} libraries of {count if count >= 0 else 'an unreadable number'}")
    found += [f"pefile: {escape(warning)}" for warning in pe.get_warnings() if "import" in warning.lower()]
    if found:
        return [f"{path}: its imports cannot be read in full ({'; '.join(found)}): not a build of ours"]
    return []


def import_faults(pe, path, arch, checked, program):
    faults = _unread_tables(pe, path)
    libraries = {dll for dll, _ in checked}
    ordinals = []
    for dll, imports in _imports(pe):
        name = dll.lower()
        ours = name == LIBRARY.encode()
        if not ours and name not in libraries:
            faults.append(f"{path}: imports from {escape(dll)}, a library none of whose functions is checked"
                          f" to exist on Windows XP ({XP_IMPORTS}): use what XP has")
        for function in imports:
            if ours:
                ordinals.append(function.ordinal if function.import_by_ordinal else function.name)
            elif function.import_by_ordinal:
                faults.append(f"{path}: imports ordinal {function.ordinal} of {escape(dll)}: which function it"
                              f" is cannot be checked against {XP_IMPORTS}: import it by name")
            elif arch not in checked.get((name, function.name or b""), ()):
                faults.append(f"{path}: imports {escape(name)}!{escape(function.name or b'')}, which is not among"
                              f" the functions checked to exist on Windows XP ({XP_IMPORTS}): use what XP has,"
                              " or check it there and add it")
    if program and sorted(ordinals, key=str) != [1, 2, 3]:
        faults.append(f"{path}: imports {escape(repr(ordinals)) if ordinals else 'nothing'} from CT_ORB.dll, not ordinals 1, 2, 3 alone")
    if not program and ordinals:
        faults.append(f"{path}: imports from CT_ORB.dll, its own name")
    return faults


def export_faults(pe, path):
    exports = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    found = {s.ordinal: (s.name, s.forwarder) for s in exports.symbols} if exports else {}
    wanted = {ordinal: (None, forwarder) for ordinal, forwarder in FORWARDS.items()}
    if found != wanted:
        return [f"{path}: exports are not ordinals 1, 2, 3 forwarded to ctapi32.CT_init, CT_data, CT_close:"
                " not the wine bridge"]
    return []


def exception_faults(pe, path):
    """A 32-bit program's exception handlers run only if the image neither
    says it has none nor lists the ones allowed (SafeSEH): the thunk around
    the maker's library registers a handler of its own."""
    faults = []
    if pe.OPTIONAL_HEADER.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_NO_SEH:
        faults.append(f"{path}: DllCharacteristics has NO_SEH (0x400): Windows would run no exception handler"
                      " of it, so a fault in CT_ORB.dll would not be caught")
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG"]]
    if directory.VirtualAddress or directory.Size:
        try:
            raw = pe.get_data(directory.VirtualAddress, 72)
        except pefile.PEFormatError:
            raw = b""
        if len(raw) < 72:
            faults.append(f"{path}: its load configuration cannot be read to its SafeSEH fields")
        else:
            table, count = struct.unpack_from("<II", raw, 64)
            if table or count:
                faults.append(f"{path}: load configuration has a SafeSEH table (SEHandlerTable 0x{table:x},"
                              f" SEHandlerCount {count}): Windows would refuse the guard's handler around CT_ORB.dll")
    return faults


def check_file(path, arch, program, version, suffix, dialog_id, checked):
    """Every fault of one program (program=True) or wine bridge."""
    try:
        pe = load(path)
    except Fault as fault:
        return [str(fault)]
    faults = architecture_faults(pe, path, arch, dll=not program)
    faults += version_faults(pe, path, version, version + suffix, _origin(suffix))
    faults += import_faults(pe, path, arch, checked, program)
    if program:
        faults += about_faults(pe, path, dialog_id, about_text(version, suffix), _origin(suffix))
        if arch == "x86":
            faults += exception_faults(pe, path)
    else:
        faults += export_faults(pe, path)
    return faults


def check_builds(source, suffix, builds):
    """Every fault of the programs and bridges in builds (arch -> folder),
    against the source tree they were built from."""
    version = source_version(source)
    dialog_id = about_dialog_id(source)
    checked = checked_imports(source)
    faults = []
    for arch, folder in builds.items():
        faults += check_file(os.path.join(folder, "SlotBench.exe"), arch, True, version, suffix, dialog_id, checked)
        faults += check_file(os.path.join(folder, "bridge/CT_ORB.dll"), arch, False, version, suffix, dialog_id,
                             checked)
    return faults
