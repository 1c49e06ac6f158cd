#!/usr/bin/python3
"""The wine bridge installer's parts without wine: user.reg as the server
writes it, the .reg file reg import reads, the record, the ELF header. Each
table row is a case; expected values are worked out from the file formats,
not taken from the code. Prints one line per failure and a summary; exit
status 1 when anything failed. Run by tests/peer/run_peer.sh (installer)."""
import codecs
import copy
import json
import os
import struct
import sys
import tempfile

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "wine"))

from wine_bridge import Stop, binaries, record, winereg  # noqa: E402
from wine_bridge.prefixfs import Folder, Identity  # noqa: E402
from wine_bridge.winereg import KeyState, RegistryError, Value  # noqa: E402

FAILS = []
COUNT = [0]


def check(what, expected, got):
    COUNT[0] += 1
    if expected != got:
        FAILS.append("%s: expected %r, got %r" % (what, expected, got))


def outcome(function, *args):
    """The result, or ("error", class name) when it raised."""
    try:
        return function(*args)
    except (RegistryError, ValueError, Stop) as e:
        return ("error", type(e).__name__)


def u16(text):
    return text.encode("utf-16-le", "surrogatepass")


def sz(text, kind=winereg.REG_SZ):
    return kind, u16(text) + b"\0\0"


# wine's escapes as its server writes and reads them: \xH..\xHHHH (hex,
# greedy), \O..\OOO (octal), C escapes, and a backslash before anything
# else standing for that character.
STRINGS = [
    (r'abc"', "abc"),
    (r'lib\xe9.so"', "lib\u00e9.so"),
    (r'\x00e9f"', "\u00e9f"),  # four digits: the f is not part of it
    (r'\xd83d\xde00"', "\ud83d\ude00"),
    (r'a\nb\rc\td\ae\bf\vg\fh\ei"', "a\nb\rc\td\ae\bf\vg\fh\x1bi"),
    (r'\0"', "\0"),
    (r'\0101"', "\x08" + "1"),  # three octal digits at most
    (r'\1x"', "\x01x"),
    (r'\\ \" \q"', '\\ " q'),
    (r'\xz"', "xz"),  # \x without a digit is an x
    (r'no end', ("error", "RegistryError")),
    ('ends in \\', ("error", "RegistryError")),
]

DATA = [
    ('"libctapimkt.so.1"', sz("libctapimkt.so.1")),
    ('""', sz("")),
    (r'"A\0B"', sz("A\0B")),
    ('str(2):"%HOME%\\\\x"', sz("%HOME%\\x", winereg.REG_EXPAND_SZ)),
    (r'str(7):"A\0B\0"', sz("A\0B\0", winereg.REG_MULTI_SZ)),
    ("dword:00000012", (winereg.REG_DWORD, b"\x12\0\0\0")),
    ("dword:ffffffff", (winereg.REG_DWORD, b"\xff\xff\xff\xff")),
    ("hex:01,02,ff", (winereg.REG_BINARY, b"\x01\x02\xff")),
    ("hex:", (winereg.REG_BINARY, b"")),
    ("hex(1):41,00,42,00,00,00,10", (1, b"A\0B\0\0\0\x10")),
    ("hex(ffff0001):01,02", (0xFFFF0001, b"\x01\x02")),
    ("hex(0):", (0, b"")),
    ("hex:1,02", ("error", "RegistryError")),
    ("hex:0g", ("error", "RegistryError")),
    ("hex(zz):01", ("error", "RegistryError")),
    ("dword:123456789", ("error", "RegistryError")),
    ("dword:", ("error", "RegistryError")),
    ('"abc" junk', ("error", "RegistryError")),
    ('str(2)"x"', ("error", "RegistryError")),
    ("qword:01", ("error", "RegistryError")),
]


def user_reg(*sections):
    head = "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000\n\n#arch=win64\n\n"
    return (head + "\n".join(sections)).encode("latin-1")


KEY = "[Software\\\\Wine\\\\ctapi32] 1796732684\n#time=1dd870f1ba3387a\n"
OTHER = '[Software\\\\Wine\\\\Debug] 1796732668\n"RelayExclude"="ntdll.RtlEnterCriticalSection"\n'
LIB = Value("library", *sz("libctapimkt.so.1"))
LIB_E = Value("library", *sz("lib\u00e9\nx.so "))

KEYS = [
    ("no key", user_reg(OTHER), KeyState(False, None, False)),
    ("an empty key", user_reg(KEY), KeyState(True, None, False)),
    ("the value", user_reg(KEY + '"library"="libctapimkt.so.1"\n', OTHER), KeyState(True, LIB, False)),
    ("escaped characters", user_reg(KEY + '"library"="lib\\xe9\\nx.so "\n'), KeyState(True, LIB_E, False)),
    ("CR LF line ends", user_reg(KEY + '"library"="libctapimkt.so.1"\r\n').replace(b"\n", b"\r\n"),
     KeyState(True, LIB, False)),
    ("names in other cases", user_reg(KEY.replace("ctapi32", "CTAPI32") + '"LIBRARY"="libctapimkt.so.1"\n'),
     KeyState(True, Value("LIBRARY", *sz("libctapimkt.so.1")), False)),
    # wine upper-cases names one character at a time: a long s is an S.
    ("a long s", user_reg("[\u017foftware\\\\Wine\\\\ctapi32] 1\n".replace("\u017f", "\\x17f")),
     KeyState(True, None, False)),
    ("another value", user_reg(KEY + '"other"=dword:00000001\n'), KeyState(True, None, True)),
    ("a default value", user_reg(KEY + '@="x"\n'), KeyState(True, None, True)),
    ("a subkey", user_reg(KEY, "[Software\\\\Wine\\\\ctapi32\\\\sub] 1\n"), KeyState(True, None, True)),
    ("a key beside it", user_reg(KEY, "[Software\\\\Wine\\\\ctapi32x] 1\n"), KeyState(True, None, False)),
    ("hex data on three lines", user_reg(KEY + '"library"=hex(2):6c,00,\\\n  69,00,\\\n  00,00\n'),
     KeyState(True, Value("library", 2, u16("li") + b"\0\0"), False)),
    ("a metadata line", user_reg(KEY + '#class="x"\n"library"="libctapimkt.so.1"\n'), KeyState(True, LIB, False)),
    ("the key twice", user_reg(KEY, KEY), ("error", "RegistryError")),
    ("the value twice", user_reg(KEY + '"library"="a"\n"Library"="b"\n'), ("error", "RegistryError")),
    ("a link key", user_reg(KEY + "#link\n"), ("error", "RegistryError")),
    ("a link above it", user_reg("[Software\\\\Wine] 1\n#link\n", KEY), ("error", "RegistryError")),
    ("a byte wine never writes", user_reg(KEY + '"library"="lib\u00e9"\n'), ("error", "RegistryError")),
    ("a line that is not a value", user_reg(KEY + "library=x\n"), ("error", "RegistryError")),
    ("hex data cut off", user_reg(KEY + '"library"=hex:01,\\'), ("error", "RegistryError")),
    ("not a registry file", b"REGEDIT4\n", ("error", "RegistryError")),
]

# Whether `wine reg import` of hex(TYPE) data stores it unchanged: tried
# on wine 8.0 for each row.
RESTORABLE = [
    (sz("lib\u00e9\n\"x\\"), True),
    (sz("A\0B"), True),
    (sz("\ud83dx"), True),
    (sz(""), True),
    ((1, b""), True),
    ((1, u16("AB")), False),  # no NUL at the end: wine adds one
    ((1, b"A\0B"), False),  # half a character: wine stores other bytes
    ((1, b"\0"), False),
    (sz("%X%", winereg.REG_EXPAND_SZ), True),
    ((winereg.REG_MULTI_SZ, u16("A\0B")), False),
    ((winereg.REG_DWORD, b"\x12\0\0\0"), True),
    ((winereg.REG_DWORD, b"\1\2\3"), True),
    ((winereg.REG_BINARY, bytes(range(256)) * 8), True),
    ((0xFFFF0001, b"\1\2"), True),
    ((5, b"\1\2\3\0\0"), True),
    ((6, b"\1\2\3\0\0"), True),
    ((0xFFFFFFFF, b"\1\2\3\0\0"), True),
]

DESCRIBED = [
    (Value("library", *sz("libctapimkt.so.1")), "REG_SZ 'libctapimkt.so.1'"),
    (Value("library", *sz("lib\u00e9\nx.so ")), "REG_SZ 'lib\u00e9\\nx.so '"),
    (Value("library", *sz("it's \\")), "REG_SZ 'it\\'s \\\\'"),
    (Value("library", *sz("A\0B\x7f\ud83d")), "REG_SZ 'A\\x00B\\x7f\\ud83d'"),
    (Value("library", winereg.REG_DWORD, b"\x12\0\0\0"), "REG_DWORD 0x00000012"),
    (Value("library", 1, b"A\0B"), "REG_SZ hex:41,00,42"),
    (Value("library", 0x20, b"\1"), "type 0x20 hex:01"),
]


def reg_text(data):
    check("a .reg file starts with the UTF-16LE mark", codecs.BOM_UTF16_LE, data[:2])
    return data[2:].decode("utf-16-le", "surrogatepass")


REG_HEAD = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine\\ctapi32]\r\n"
REG_FILES = [
    ({"value": Value("library", 1, u16("A\u00e9") + b"\0\0")},
     REG_HEAD + '"library"=hex(1):41,00,e9,00,00,00\r\n\r\n'),
    ({"value": Value('Li"b\\', 4, b"\1\2\3\4")}, REG_HEAD + '"Li\\"b\\\\"=hex(4):01,02,03,04\r\n\r\n'),
    ({"value": Value("library", 3, bytes(26))},
     REG_HEAD + '"library"=hex(3):' + ",".join(["00"] * 25) + ",\\\r\n  00\r\n\r\n"),
    ({"delete_value": "Library"}, REG_HEAD + '"Library"=-\r\n\r\n'),
    ({"delete_key": True},
     "Windows Registry Editor Version 5.00\r\n\r\n[-HKEY_CURRENT_USER\\Software\\Wine\\ctapi32]\r\n\r\n"),
]

SHA = "ab" * 32
GOOD_RECORD = {
    "format": "slotbench wine bridge 1",
    "arches": {"x86": {"bridge_sha256": SHA, "saved": {"sha256": SHA, "size": 3}},
               "x64": {"bridge_sha256": SHA, "saved": {"link": "2f746d70"}}},
    "library": {"before": {"name": "library", "type": 1, "data": "41000000"}, "key_existed": True,
                "set": {"name": "library", "type": 1, "data": "42000000"}},
}


def with_change(path, value):
    """GOOD_RECORD with the field at PATH (keys) set to VALUE (or removed
    for a missing value)."""
    obj = copy.deepcopy(GOOD_RECORD)
    here = obj
    for key in path[:-1]:
        here = here[key]
    if value is MISSING:
        del here[path[-1]]
    else:
        here[path[-1]] = value
    return obj


MISSING = object()
RECORDS = [
    ("as written", GOOD_RECORD, True),
    ("no library", with_change(("library",), MISSING), True),
    ("no saved copy", with_change(("arches", "x86", "saved"), None), True),
    ("another format", with_change(("format",), "slotbench wine bridge 2"), False),
    ("an unknown field", with_change(("extra",), 1), False),
    ("an arm bridge", with_change(("arches", "arm"), GOOD_RECORD["arches"]["x86"]), False),
    ("a short SHA-256", with_change(("arches", "x86", "bridge_sha256"), "ab"), False),
    ("an upper-case SHA-256", with_change(("arches", "x86", "bridge_sha256"), "AB" * 32), False),
    ("a size that is true", with_change(("arches", "x86", "saved", "size"), True), False),
    ("a negative size", with_change(("arches", "x86", "saved", "size"), -1), False),
    ("a link target not hex", with_change(("arches", "x64", "saved", "link"), "/tmp"), False),
    ("a type that is a string", with_change(("library", "before", "type"), "1"), False),
    ("a type beyond 32 bits", with_change(("library", "before", "type"), 1 << 32), False),
    ("data not hex", with_change(("library", "before", "data"), "4g"), False),
    ("upper-case data", with_change(("library", "before", "data"), "4A"), False),
    ("another value's name", with_change(("library", "before", "name"), "path"), False),
    ("key_existed not a truth value", with_change(("library", "key_existed"), 1), False),
]


def elf(elf_class, data, e_type, machine):
    return b"\x7fELF" + bytes([elf_class, data, 1]) + bytes(9) + struct.pack("<HH", e_type, machine) + bytes(44)


ELVES = [
    ("i386 shared object", elf(1, 1, 3, 3), (1, 3)),
    ("x86-64 shared object", elf(2, 1, 3, 62), (2, 62)),
    ("arm shared object", elf(1, 1, 3, 40), (1, 40)),
    ("an executable", elf(2, 1, 2, 62), None),
    ("big-endian", elf(2, 2, 3, 62), None),
    ("too short", elf(2, 1, 3, 62)[:19], None),
    ("not ELF", b"MZ" + bytes(62), None),
]


def main():
    for text, expected in STRINGS:
        got = outcome(lambda t: winereg.parse_string(t, 0, '"')[0], text)
        check("parse_string(%r)" % text, expected, got)
    for text, expected in DATA:
        check("parse_data(%r)" % text, expected, outcome(winereg.parse_data, text))
    for what, raw, expected in KEYS:
        check("read_key: %s" % what, expected, outcome(winereg.read_key, raw))
    for (kind, data), expected in RESTORABLE:
        check("restorable(%d, %r)" % (kind, data[:16]), expected, winereg.restorable(Value("library", kind, data)))
    for value, expected in DESCRIBED:
        check("describe(%r)" % (value,), expected, winereg.describe(value))
    for args, expected in REG_FILES:
        check("reg_file(%r)" % args, expected, reg_text(winereg.reg_file(**args)))
    # What the record keeps of a value is what parse_data would give back.
    for value in (LIB_E, Value("library", 0xFFFF0001, b"\1\2")):
        check("a value through the record", value, Value.from_json(value.to_json()))
    for what, obj, good in RECORDS:
        got = outcome(record.parse, json.dumps(obj).encode())
        check("record %s accepted" % what, good, not isinstance(got, tuple))
        if good and not isinstance(got, tuple):
            check("record %s written back" % what, got, record.parse(got.to_bytes()))
    check("a record naming a field twice", ("error", "ValueError"),
          outcome(record.parse, b'{"format": "slotbench wine bridge 1", "arches": {}, "arches": {}}'))
    with tempfile.TemporaryDirectory() as folder:
        for what, header, expected in ELVES:
            path = os.path.join(folder, "lib.so")
            with open(path, "wb") as f:
                f.write(header)
            check("elf_kind: %s" % what, expected, binaries.elf_kind(path))
        check("elf_kind: a folder", None, binaries.elf_kind(folder))
        # A file created exclusively: a second one at the name, or a link
        # there, is refused and the link's target is left alone.
        top = Folder.open(folder)
        top.write_new("new", b"one")
        check("write_new over a file", ("error", "Stop"), outcome(top.write_new, "new", b"two"))
        os.symlink(os.path.join(folder, "target"), os.path.join(folder, "link"))
        check("write_new at a link", ("error", "Stop"), outcome(top.write_new, "link", b"two"))
        check("the link's target", False, os.path.exists(os.path.join(folder, "target")))
        check("identity of a link", Identity(link=os.fsencode(os.path.join(folder, "target"))),
              top.identity("link"))
        top.move_aside("new", "moved")
        check("move_aside", (None, "file"), (top.kind("new"), top.kind("moved")))
        top.write_new("new", b"two")
        check("move_aside onto a file", ("error", "FileExistsError"), _raises(top.move_aside, "new", "moved"))
        check("the file moved onto", b"one", open(os.path.join(folder, "moved"), "rb").read())
    print("installer units: %d checks, %d failed" % (COUNT[0], len(FAILS)))
    for line in FAILS:
        print("    FAIL: " + line)
    return 1 if FAILS else 0


def _raises(function, *args):
    try:
        function(*args)
    except OSError as e:
        return ("error", type(e).__name__)
    return "no error"


if __name__ == "__main__":
    sys.exit(main())
