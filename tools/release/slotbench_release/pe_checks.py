"""What a release checks in its programs and bridges before packing them,
read from the files themselves (pefile, the resources by hand): a build can
go wrong in ways that still link (a version string edited on its own, a flag
from the environment, a newer Windows function pulled in by a library), and
the zip is named for res/version.h and promised to start on Windows XP SP3.
Where Windows and pefile could read a file two ways (two entries, languages
or keys of one name), only the one shape our build writes is accepted.

Each check returns the faults it found, one line each, naming the file and
the field; no fault means the file is fit to ship.
"""
import os
import re
import struct

import pefile

import export
import release_zip
from text import Refused, escape

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
# Window and control styles, classes and ids of the About box (windows.h, res/resource.h).
WS_POPUP, WS_CHILD, WS_VISIBLE, WS_CAPTION = 0x80000000, 0x40000000, 0x10000000, 0xC00000
WS_SYSMENU, WS_GROUP, WS_TABSTOP = 0x80000, 0x20000, 0x10000
DS_MODALFRAME, DS_SETFONT = 0x80, 0x40
SS_LEFT, SS_ICON, SS_NOPREFIX, BS_DEFPUSHBUTTON = 0, 3, 0x80, 1
BUTTON_CLASS, STATIC_CLASS = "BUTTON", "STATIC"  # as windres names a CONTROL's class
IDC_STATIC, IDOK, IDR_MAINFRAME = 0xFFFFFFFF, 1, 128
ABOUT_PREFIX = "Slot_Bench version "
LIBRARY = "ct_orb.dll"
# The names the wine bridge carries for what it looks up at its first call:
# a simulator build exports the same ordinals but names none of these (a
# mark of the bridge, not a proof of what its code does with them).
BRIDGE_LOOKUPS = (b"ctapi32.dll", b"CT_init", b"CT_data", b"CT_close")
# The functions checked to exist on Windows XP: a program or bridge imports
# these alone. A list of what XP lacks would always miss the next newer
# function a library pulls in.
XP_IMPORTS = "tools/release/xp_imports.txt"
# Bound imports need no check of their own: they only name libraries of the
# import table, and a binding to another Windows' libraries is redone from it.
IMPORT_TABLES = {"DIRECTORY_ENTRY_IMPORT": ("IMAGE_DIRECTORY_ENTRY_IMPORT", 20, "import table"),
                 "DIRECTORY_ENTRY_DELAY_IMPORT": ("IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT", 32, "delay-load table")}
# The resource tree is read by hand (resources()): pefile keeps only what
# it takes for the first of several entries, where Windows looks one up by
# id and returns another.
DIRECTORIES = ["IMAGE_DIRECTORY_ENTRY_IMPORT", "IMAGE_DIRECTORY_ENTRY_EXPORT", "IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT"]
RT_VERSION = 16
VS_VERSION_INFO = 1
LANGUAGE = 0x409
# The resource types each .rc writes: icons (3), dialogs (5), the string
# table (6), the icon group (14), the version (16), the manifest (24) and
# the combo box's list (240, DLGINIT); the bridge only its version.
PROGRAM_TYPES = {3, 5, 6, 14, 16, 24, 240}
BRIDGE_TYPES = {16}
# Far above the release's resource trees (a few dozen entries).
MAX_RESOURCES = 256
# The version block each .rc writes, key by key, in this order: Windows'
# lookup returns the first of two equal keys where pefile keeps the last,
# so any other shape could show one version and have another checked.
PROGRAM_RC = "res/slotbench.rc"
PUBLISHER = "docs/release/publisher.txt"
BRIDGE_RC = "bridge/ct_orb_bridge.rc"
VERSION_STRINGS = {
    True: ("040904b0", ["CompanyName", "FileDescription", "FileVersion", "InternalName", "OriginalFilename", "ProductName",
                        "ProductVersion", "LegalCopyright"]),
    False: ("040904B0", ["CompanyName", "FileDescription", "FileVersion", "InternalName", "OriginalFilename",
                         "ProductName", "ProductVersion"]),
}
TRANSLATION = struct.pack("<HH", 0x409, 1200)
FIXED_SIGNATURE = 0xFEEF04BD
MAX_VERSION_NODES = 64
# Windows XP takes images marked for Windows 5.1 at most, Server 2003 x64
# and XP x64 5.2; the linker writes 4.0 (x86) and 5.2 (x64) unless told.
HIGHEST_WINDOWS = {"x86": (5, 1), "x64": (5, 2)}
LOWEST_WINDOWS = (4, 0)


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
    """SLOTBENCH_VERSION_TEXT of res/version.h: a.b.c.d."""
    try:
        return export.tree_version(source)
    except (OSError, Refused) as error:
        raise Fault(str(error) if isinstance(error, Refused) else f"res/version.h cannot be read ({error.strerror})")


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
            data = f.read()
    except OSError as error:
        raise Fault(f"{path} cannot be read ({error.strerror})")
    return parse(data, path, DIRECTORIES)


def parse(data, path, directories=()):
    """pefile's reading of data, the directories named parsed as well."""
    if len(data) > MAX_SIZE:
        raise Fault(f"{path}: {len(data)} bytes, over {MAX_SIZE >> 20} MiB: not a build of ours")
    try:
        pe = pefile.PE(data=data, fast_load=True)
        if directories:
            pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY[d] for d in directories])
    except (pefile.PEFormatError, struct.error, ValueError, IndexError) as error:
        raise Fault(f"{path} is not a Windows program ({error.__class__.__name__})")
    return pe


def file_version(data, path):
    """The fixed FileVersion (a.b.c.d) of a program or bridge, from its one
    version block of the shape the .rc writes: how a file found on a PC
    tells which release to compare it with."""
    pe = parse(data, path)
    program = not pe.FILE_HEADER.Characteristics & IMAGE_FILE_DLL
    (high, low), _, _ = version_resource(pe, path, program)
    return version_text(high, low)


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


def resources(pe, path, program):
    """The resource tree, read by hand: {(type, id): (rva, size)}. Only the
    shape our .rc files make is taken: types of the closed list, each once
    and in ascending order as Windows' binary search wants them, numbered
    entries alone, one language each, US English."""
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]]
    if not directory.VirtualAddress:
        return {}
    data = pe.__data__
    try:
        base = pe.get_offset_from_rva(directory.VirtualAddress)
    except pefile.PEFormatError:
        raise Fault(f"{path}: its resource directory lies outside the file: not a build of ours")
    size = min(directory.Size, len(data) - base)
    read = [0]

    def entries(offset, where):
        if offset + 16 > size:
            raise Fault(f"{path}: resource directory {where} lies outside the resources: not a build of ours")
        named, ids = struct.unpack_from("<HH", data, base + offset + 12)
        read[0] += named + ids
        if read[0] > MAX_RESOURCES or offset + 16 + 8 * (named + ids) > size:
            raise Fault(f"{path}: resource directory {where} holds more than a build of ours: not ours")
        if named:
            raise Fault(f"{path}: resource directory {where} has named entries, where"
                        f" {PROGRAM_RC if program else BRIDGE_RC} numbers each: build from it unchanged")
        found = [struct.unpack_from("<II", data, base + offset + 16 + 8 * i) for i in range(ids)]
        numbers = [ident for ident, _ in found]
        if any(ident > 0xFFFF for ident in numbers) or numbers != sorted(set(numbers)):
            raise Fault(f"{path}: resource directory {where} lists ids {numbers}: not once each in ascending"
                        " order as a build of ours: not ours")
        return found

    def subdirectory(target, where):
        if not target & 0x80000000:
            raise Fault(f"{path}: resource {where} is no directory: not a build of ours")
        return target & 0x7FFFFFFF

    allowed = PROGRAM_TYPES if program else BRIDGE_TYPES
    tree = {}
    for kind, kind_target in entries(0, "root"):
        if kind not in allowed:
            raise Fault(f"{path}: resource type {kind}, which {PROGRAM_RC if program else BRIDGE_RC} does not"
                        f" write (ours: {', '.join(map(str, sorted(allowed)))}): remove it from the build")
        for ident, target in entries(subdirectory(kind_target, f"type {kind}"), f"type {kind}"):
            where = f"type {kind} id {ident}"
            languages = entries(subdirectory(target, where), where)
            if [language for language, _ in languages] != [LANGUAGE]:
                shown = ", ".join(f"0x{language:x}" for language, _ in languages) or "none"
                raise Fault(f"{path}: resource {where} has languages {shown}, not 0x409 alone as a build"
                            " of ours: remove the others")
            leaf = languages[0][1]
            if leaf & 0x80000000 or leaf + 16 > size:
                raise Fault(f"{path}: resource {where} has no data entry: not a build of ours")
            rva, length = struct.unpack_from("<II", data, base + leaf)
            try:
                at = pe.get_offset_from_rva(rva)
            except pefile.PEFormatError:
                at = len(data)
            if at + length > len(data):
                raise Fault(f"{path}: resource {where} lies outside the file: not a build of ours")
            tree[(kind, ident)] = (rva, length)
    return tree


class _Node:
    def __init__(self, key, kind, value, children):
        self.key, self.kind, self.value, self.children = key, kind, value, children


def _version_nodes(data, at, end, count):
    """One node of a version block (length, value length, type, key, value,
    children, each aligned to four bytes) and those under it."""
    if at + 6 > end:
        raise Fault("a block runs past its parent")
    length, value_length, kind = struct.unpack_from("<HHH", data, at)
    stop = at + length
    if length < 6 or stop > end or kind not in (0, 1):
        raise Fault("a block runs past its parent")
    count[0] += 1
    if count[0] > MAX_VERSION_NODES:
        raise Fault("more blocks than ours")
    key_end = at + 6
    while True:
        if key_end + 2 > stop:
            raise Fault("a key runs past its block")
        if data[key_end:key_end + 2] == b"\0\0":
            break
        key_end += 2
    key = data[at + 6:key_end].decode("utf-16-le", "replace")
    value_at = (key_end + 2 + 3) & ~3
    value_end = value_at + (value_length * 2 if kind == 1 else value_length)
    if value_end > stop:
        raise Fault(f"the value of {escape(key)} runs past its block")
    value = data[value_at:value_end]
    children = []
    child = (value_end + 3) & ~3
    while child < stop:
        node, child_end = _version_nodes(data, child, stop, count)
        children.append(node)
        child = (child_end + 3) & ~3
    return _Node(key, kind, value, children), stop


def _keys(nodes):
    return ", ".join(escape(node.key) for node in nodes) or "none"


def version_block(data, program):
    """The fixed (FileVersion, ProductVersion) numbers and the strings of a
    version block of exactly the shape the .rc writes; Fault naming the
    first difference otherwise."""
    root, end = _version_nodes(data, 0, len(data), [0])
    if end != len(data):
        raise Fault("data after the block")
    if root.key != "VS_VERSION_INFO" or root.kind != 0 or len(root.value) != 52:
        raise Fault(f"top block {escape(root.key)} (type {root.kind}, value of {len(root.value)} bytes)")
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", root.value)
    if signature != FIXED_SIGNATURE:
        raise Fault("the fixed part's signature")
    if [node.key for node in root.children] != ["StringFileInfo", "VarFileInfo"]:
        raise Fault(f"blocks {_keys(root.children)}, not StringFileInfo, VarFileInfo")
    strings, variables = root.children
    table_key, names = VERSION_STRINGS[program]
    if [node.key for node in strings.children] != [table_key] or strings.value or strings.kind != 1:
        raise Fault(f"string tables {_keys(strings.children)}, not {table_key} alone")
    table = strings.children[0]
    if table.value or table.kind != 1:
        raise Fault(f"string table {table_key} has a value")
    found = [node.key for node in table.children]
    for key in found:
        if found.count(key) > 1:
            raise Fault(f"string {escape(key)} {found.count(key)} times in table {table_key}")
        if key not in names:
            raise Fault(f"string {escape(key)} in table {table_key}, which is not one of ours")
    if found != names:
        raise Fault(f"strings {_keys(table.children)} in table {table_key}, not {', '.join(names)}")
    texts = {}
    for node in table.children:
        text = node.value.decode("utf-16-le", "replace")
        if node.kind != 1 or node.children or not text.endswith("\0") or "\0" in text[:-1]:
            raise Fault(f"string {node.key} is not one text ended by one NUL")
        texts[node.key] = text[:-1]
    if variables.value or variables.kind != 1 or [node.key for node in variables.children] != ["Translation"]:
        raise Fault(f"VarFileInfo holds {_keys(variables.children)}, not Translation alone")
    translation = variables.children[0]
    if translation.kind != 0 or translation.children or translation.value != TRANSLATION:
        raise Fault(f"Translation is {translation.value.hex()}, not 0x409, 1200 alone")
    return (file_ms, file_ls), (product_ms, product_ls), texts


def version_resource(pe, path, program, tree=None):
    """The fixed numbers and strings of the one version resource, id 1."""
    rc = PROGRAM_RC if program else BRIDGE_RC
    if tree is None:
        tree = resources(pe, path, program)
    versions = [ident for kind, ident in tree if kind == RT_VERSION]
    if versions != [VS_VERSION_INFO]:
        shown = ", ".join(map(str, versions)) or "none"
        raise Fault(f"{path}: version resources {shown}, not id 1 alone as {rc} writes it: build from it unchanged")
    rva, size = tree[(RT_VERSION, VS_VERSION_INFO)]
    try:
        return version_block(pe.get_data(rva, size), program)
    except Fault as fault:
        raise Fault(f"{path}: version resource: {fault}: not the block {rc} writes: build from it unchanged"
                    " (a key added there is added to VERSION_STRINGS in pe_checks.py)")


def version_text(high, low):
    """The four 16-bit parts of a fixed version, as a.b.c.d."""
    return f"{high >> 16}.{high & 0xFFFF}.{low >> 16}.{low & 0xFFFF}"


def version_faults(pe, path, program, tree, expected_numbers, expected_string, origin, publisher):
    """The four places Windows shows a version: the fixed FileVersion and
    ProductVersion (Details tab, "File version"), the strings FileVersion
    and ProductVersion ("Product version"), from the one version block of
    the one shape the .rc writes; and its CompanyName, the publisher's."""
    try:
        file_version, product_version, texts = version_resource(pe, path, program, tree)
    except Fault as fault:
        return [str(fault)]
    faults = []
    for field, numbers in (("FileVersion", file_version), ("ProductVersion", product_version)):
        found = version_text(*numbers)
        if found != expected_numbers:
            faults.append(f"{path}: fixed {field} is {found}, not {expected_numbers} (res/version.h)")
    for field in ("FileVersion", "ProductVersion"):
        if texts[field] != expected_string:
            faults.append(f'{path}: {field} string is "{escape(texts[field])}", not "{expected_string}" ({origin})')
    if texts["CompanyName"] != publisher:
        faults.append(f'{path}: CompanyName string is "{escape(texts["CompanyName"])}", not "{escape(publisher)}"'
                      f" ({PUBLISHER})")
    return faults


def windows_version_faults(pe, path, arch):
    """Windows XP refuses to start an image marked for a newer Windows,
    by its subsystem version or its operating system version."""
    header = pe.OPTIONAL_HEADER
    faults = []
    for field in ("Subsystem", "OperatingSystem"):
        found = (getattr(header, f"Major{field}Version"), getattr(header, f"Minor{field}Version"))
        shown = f"{found[0]}.{found[1]}"
        if found > HIGHEST_WINDOWS[arch]:
            highest = "%d.%d" % HIGHEST_WINDOWS[arch]
            faults.append(f"{path}: {field}Version {shown}, above {highest}: does not start on Windows XP;"
                          " link without a --major/--minor-" + ("subsystem" if field == "Subsystem" else "os")
                          + "-version option")
        elif found < LOWEST_WINDOWS:
            faults.append(f"{path}: {field}Version {shown}, below the linker's 4.0: not a build of ours")
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


def dialog_fields(data):
    """Every field of a DIALOGEX template, as (name, value) in the order
    the template holds them: the dialog's, then each control's."""
    r = _Reader(data)
    if r.word() != 1 or r.word() != 0xFFFF:
        raise Fault("not an extended dialog template")
    r.take(4)  # help id
    fields = [("extended style", r.dword())]
    style = r.dword()
    count = r.word()
    fields += [("style", style), ("position and size", struct.unpack("<4h", r.take(8))),
               ("menu", r.name_or_ordinal()), ("class", r.name_or_ordinal()), ("caption", r.text())]
    if style & DS_SETFONT:
        size, weight, italic, charset = struct.unpack("<HHBB", r.take(6))
        fields.append(("font", (size, weight, italic, charset, r.text())))
    fields.append(("controls", count))
    for number in range(1, count + 1):
        r.align()
        r.take(4)  # help id
        control = [("extended style", r.dword()), ("style", r.dword()),
                   ("position and size", struct.unpack("<4h", r.take(8))), ("id", r.dword()),
                   ("class", r.name_or_ordinal()), ("text", r.name_or_ordinal())]
        control.append(("creation data", r.take(r.word())))
        fields += [(f"control {number}'s {name}", value) for name, value in control]
    if r.at + 3 < len(data):
        raise Fault(f"{len(data) - r.at} bytes after its last control")
    return fields


def about_fields(version_text):
    """The About box as PROGRAM_RC writes it, windres' additions included
    (DS_SETFONT for its FONT line, WS_CHILD | WS_VISIBLE for each CONTROL)."""
    dialog = [("extended style", 0), ("style", DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU),
              ("position and size", (0, 0, 235, 55)), ("menu", None), ("class", None),
              ("caption", "A propos de Slot_Bench"), ("font", (8, 0, 0, 1, "MS Sans Serif"))]
    controls = [  # style, position and size, id, class, text
        (SS_ICON, (11, 17, 20, 20), IDC_STATIC, STATIC_CLASS, IDR_MAINFRAME),
        (SS_LEFT | SS_NOPREFIX, (40, 10, 119, 8), IDC_STATIC, STATIC_CLASS, version_text),
        (SS_LEFT, (40, 25, 119, 8), IDC_STATIC, STATIC_CLASS, "(C) 2026 Slot Bench project"),
        (BS_DEFPUSHBUTTON | WS_GROUP | WS_TABSTOP, (178, 7, 50, 14), IDOK, BUTTON_CLASS, "OK"),
    ]
    fields = dialog + [("controls", len(controls))]
    for number, (style, place, ident, kind, title) in enumerate(controls, 1):
        control = [("extended style", 0), ("style", WS_CHILD | WS_VISIBLE | style), ("position and size", place),
                   ("id", ident), ("class", kind), ("text", title), ("creation data", b"")]
        fields += [(f"control {number}'s {name}", value) for name, value in control]
    return fields


def _shown(value):
    if isinstance(value, str):
        return f'"{escape(value)}"'
    if isinstance(value, int) and value > 0xFF:
        return f"0x{value:x}"
    return escape(repr(value))


def about_faults(pe, path, tree, dialog_id, expected, origin):
    """The About box, every control, its style and its text, as the .rc
    writes it: a version text hidden or moved away, and another shown in
    its place, would tell the user another version."""
    if (RT_DIALOG, dialog_id) not in tree:
        return [f"{path}: no About box (dialog {dialog_id})"]
    rva, size = tree[(RT_DIALOG, dialog_id)]
    box = f"About box (dialog {dialog_id})"
    if size > MAX_DIALOG:
        return [f"{path}: {box} of {size} bytes: not ours"]
    try:
        found = dialog_fields(pe.get_data(rva, size))
    except (Fault, pefile.PEFormatError) as error:
        return [f"{path}: {box} cannot be read ({error})"]
    texts = [value for name, value in found if name.endswith("'s text") and isinstance(value, str)]
    versions = [t for t in texts if t.startswith(ABOUT_PREFIX)]
    if versions != [expected]:
        shown = ", ".join(f'"{escape(t)}"' for t in versions) or "no version text"
        return [f'{path}: {box} says {shown}, not "{expected}" ({origin})']
    for (name, value), (wanted_name, wanted) in zip(found, about_fields(expected)):
        if name != wanted_name or value != wanted:
            return [f"{path}: {box}: {name} {_shown(value)}, where {PROGRAM_RC} writes {_shown(wanted)}: build"
                    " from it unchanged (a change there is made to about_fields in pe_checks.py)"]
    return []


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
    """The wine bridge: ordinals 1, 2, 3 of its own code, with no names and
    no forwarders, and BRIDGE_LOOKUPS, each a string of its own in the image."""
    exports = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    found = {s.ordinal: (s.name, s.forwarder) for s in exports.symbols} if exports else {}
    faults = []
    if found != {ordinal: (None, None) for ordinal in (1, 2, 3)}:
        faults.append(f"{path}: exports are not ordinals 1, 2, 3 with no names and no forwarders:"
                      " not the wine bridge")
    image = pe.get_memory_mapped_image()
    missing = [name.decode() for name in BRIDGE_LOOKUPS if b"\0" + name + b"\0" not in image]
    if missing:
        faults.append(f"{path}: names no {', '.join(missing)}, which the wine bridge looks up in ctapi32.dll:"
                      " not the wine bridge")
    return faults


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


def check_file(path, arch, program, version, suffix, dialog_id, checked, publisher):
    """Every fault of one program (program=True) or wine bridge."""
    try:
        pe = load(path)
    except Fault as fault:
        return [str(fault)]
    faults = architecture_faults(pe, path, arch, dll=not program)
    faults += windows_version_faults(pe, path, arch)
    try:
        tree = resources(pe, path, program)
    except Fault as fault:
        # Its version and About box are not read from a tree of another shape.
        faults.append(str(fault))
        tree = None
    if tree is not None:
        faults += version_faults(pe, path, program, tree, version, version + suffix, _origin(suffix), publisher)
    faults += import_faults(pe, path, arch, checked, program)
    if program:
        if tree is not None:
            faults += about_faults(pe, path, tree, dialog_id, about_text(version, suffix), _origin(suffix))
        if arch == "x86":
            faults += exception_faults(pe, path)
    else:
        faults += export_faults(pe, path)
    return faults


def check_builds(source, suffix, builds, publisher):
    """Every fault of the programs and bridges in builds (arch -> folder),
    against the source tree they were built from and the publisher's name."""
    version = source_version(source)
    dialog_id = about_dialog_id(source)
    checked = checked_imports(source)
    faults = []
    for entry in release_zip.CONTENTS:
        if entry.kind in ("program", "bridge") and entry.source[0] in builds:
            arch, built = entry.source
            faults += check_file(os.path.join(builds[arch], built), arch, entry.kind == "program", version, suffix,
                                 dialog_id, checked, publisher)
    return faults
