"""The one registry value the bridge needs, HKCU\\Software\\Wine\\ctapi32
"library", read exactly and written exactly.

Read from the prefix's user.reg, the file wine's server writes when it ends:
`wine reg query` prints through the console's code page (an e-acute comes out
as byte 0x82) and `wine reg export` writes a REG_SZ only up to its first NUL,
so neither shows what is stored. The file shows every WCHAR and the exact
byte count, in wine's own escaping, which parse_string() undoes the way the
server's loader does.

Written by `wine reg import` of a UTF-16 .reg file holding the data as
hex(TYPE) bytes. wine takes such bytes as they are except for a string type
(REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) whose data is not whole WCHARs ending
in a NUL: that it stores otherwise (checked on wine 8.0), so such a value is
refused before anything changes (restorable()). What was written is read
back from user.reg and compared, byte for byte.
"""
import codecs
from dataclasses import dataclass
from typing import Optional

from .text import escape

KEY_PATH = ("Software", "Wine", "ctapi32")
KEY_NAME = "\\".join(("HKCU",) + KEY_PATH)
VALUE_NAME = "library"

REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ = 1, 2, 3, 4, 7
STRING_TYPES = (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ)
TYPE_NAMES = {
    0: "REG_NONE", 1: "REG_SZ", 2: "REG_EXPAND_SZ", 3: "REG_BINARY", 4: "REG_DWORD",
    5: "REG_DWORD_BIG_ENDIAN", 6: "REG_LINK", 7: "REG_MULTI_SZ", 8: "REG_RESOURCE_LIST",
    9: "REG_FULL_RESOURCE_DESCRIPTOR", 10: "REG_RESOURCE_REQUIREMENTS_LIST", 11: "REG_QWORD",
}
# A prefix's user.reg is a few hundred KB; more is not wine's.
MAX_USER_REG = 64 << 20
MAX_DATA = 1 << 20


class RegistryError(Exception):
    """user.reg holds something wine does not write: one line says what."""


@dataclass(frozen=True)
class Value:
    name: str  # as stored: wine keeps the case a value was created with
    type: int
    data: bytes

    def to_json(self):
        return {"name": self.name, "type": self.type, "data": self.data.hex()}

    @staticmethod
    def from_json(obj):
        if not isinstance(obj, dict) or set(obj) != {"name", "type", "data"}:
            raise ValueError("a value is not {name, type, data}")
        name, kind, data = obj["name"], obj["type"], obj["data"]
        if not isinstance(name, str) or fold(name) != fold(VALUE_NAME):
            raise ValueError("a value is not named library")
        if not isinstance(kind, int) or isinstance(kind, bool) or not 0 <= kind <= 0xFFFFFFFF:
            raise ValueError("a value's type is not a registry type")
        if not isinstance(data, str) or len(data) > 2 * MAX_DATA:
            raise ValueError("a value's data is not hex")
        try:
            raw = bytes.fromhex(data)
        except ValueError:
            raise ValueError("a value's data is not hex") from None
        if raw.hex() != data:
            raise ValueError("a value's data is not lower-case hex")
        return Value(name, kind, raw)


@dataclass(frozen=True)
class KeyState:
    """The key as user.reg has it: whether it is there, its library value,
    and whether anything else is in it (a key the install created goes only
    when it holds nothing else)."""
    exists: bool
    value: Optional[Value]
    others: bool


def string_value(name, text):
    """A REG_SZ as RegSetValueEx stores one: UTF-16LE and a NUL."""
    return Value(name, REG_SZ, text.encode("utf-16-le", "surrogatepass") + b"\0\0")


def restorable(value):
    """Whether `wine reg import` stores this data unchanged."""
    if value.type in STRING_TYPES:
        data = value.data
        return not data or (len(data) % 2 == 0 and data[-2:] == b"\0\0")
    return True


def fold(name):
    """Registry names compare without case, as wine upper-cases them one
    character at a time."""
    out = []
    for c in name:
        up = c.upper()
        out.append(up if len(up) == 1 else c)
    return "".join(out)


# ------------------------------------------------------------ reading ---

_ESCAPES = {"a": "\a", "b": "\b", "e": "\x1b", "f": "\f", "n": "\n", "r": "\r", "t": "\t", "v": "\v"}
_HEX = "0123456789abcdefABCDEF"


def parse_string(text, pos, end):
    """Undoes wine's escaping from text[pos] up to the unescaped END
    character: returns (the WCHARs as a str, position after END). Escapes as
    the server's loader reads them: \\a..\\v, \\xH to \\xHHHH, octal \\O to
    \\OOO, and a backslash before any other character stands for it."""
    out = []
    n = len(text)
    while True:
        if pos >= n:
            raise RegistryError("a string does not end")
        c = text[pos]
        if c == end:
            return "".join(out), pos + 1
        if c != "\\":
            out.append(c)
            pos += 1
            continue
        pos += 1
        if pos >= n:
            raise RegistryError("a string ends in a backslash")
        c = text[pos]
        if c in _ESCAPES:
            out.append(_ESCAPES[c])
            pos += 1
        elif c == "x":
            pos += 1
            digits = 0
            while digits < 4 and pos + digits < n and text[pos + digits] in _HEX:
                digits += 1
            if digits == 0:
                out.append("x")
            else:
                out.append(chr(int(text[pos:pos + digits], 16)))
                pos += digits
        elif "0" <= c <= "7":
            digits = 1
            while digits < 3 and pos + digits < n and "0" <= text[pos + digits] <= "7":
                digits += 1
            out.append(chr(int(text[pos:pos + digits], 8)))
            pos += digits
        else:
            out.append(c)
            pos += 1


def _wchars(text):
    return text.encode("utf-16-le", "surrogatepass")


def parse_data(text):
    """The right-hand side of a value line (continuations joined): its type
    and data."""
    if text.startswith('"'):
        s, end = parse_string(text, 1, '"')
        kind = REG_SZ
    elif text.startswith("str("):
        close = text.find("):", 4)
        kind = _type_number(text[4:close] if close > 0 else "")
        if close < 0 or not text.startswith('"', close + 2):
            raise RegistryError("a str(...) value is not followed by a string")
        s, end = parse_string(text, close + 3, '"')
    elif text.startswith("dword:"):
        digits = text[6:]
        if not 1 <= len(digits) <= 8 or any(d not in _HEX for d in digits):
            raise RegistryError("a dword value is not hex")
        return REG_DWORD, int(digits, 16).to_bytes(4, "little")
    elif text.startswith("hex:") or text.startswith("hex("):
        if text.startswith("hex:"):
            kind, rest = REG_BINARY, text[4:]
        else:
            close = text.find("):", 4)
            if close < 0:
                raise RegistryError("a hex(...) value has no type")
            kind, rest = _type_number(text[4:close]), text[close + 2:]
        return kind, _hex_bytes(rest)
    else:
        raise RegistryError("a value of a kind wine does not write")
    if text[end:].strip():
        raise RegistryError("something follows a string value")
    # The loader stores the string with a NUL after it; the file leaves it out.
    return kind, _wchars(s) + b"\0\0"


def _type_number(digits):
    if not 1 <= len(digits) <= 8 or any(d not in _HEX for d in digits):
        raise RegistryError("a value type is not hex")
    return int(digits, 16)


def _hex_bytes(text):
    text = text.replace(" ", "").replace("\t", "")
    if not text:
        return b""
    items = text.split(",")
    if items[-1] == "":
        items.pop()
    if len(items) > MAX_DATA:
        raise RegistryError("a value larger than any library name")
    out = bytearray()
    for item in items:
        if len(item) != 2 or item[0] not in _HEX or item[1] not in _HEX:
            raise RegistryError("hex data that is not pairs of digits")
        out.append(int(item, 16))
    return bytes(out)


def _logical_line(lines, i):
    """The line at i with its continuations (hex data goes on in the next
    line when a line ends in a backslash): (text, index of the next line)."""
    text = lines[i]
    i += 1
    while text.endswith("\\"):
        if i >= len(lines):
            raise RegistryError("a value continues past the end of the file")
        text = text[:-1] + lines[i].lstrip(" \t")
        i += 1
    return text, i


def read_key(raw):
    """The ctapi32 key as user.reg (its bytes) holds it."""
    if len(raw) > MAX_USER_REG:
        raise RegistryError("user.reg is larger than any prefix's")
    # wine writes ASCII only (escapes for all else); latin-1 keeps every
    # byte, so one it never writes shows up as itself.
    lines = [line.rstrip("\r") for line in raw.decode("latin-1").split("\n")]
    if lines[0] != "WINE REGISTRY Version 2":
        raise RegistryError("user.reg is not a wine registry file (no 'WINE REGISTRY Version 2')")
    want = tuple(fold(p) for p in KEY_PATH)
    exists, value, others = False, None, False
    section = None  # the path of the key being read, when it is ours or above
    i = 1
    while i < len(lines):
        line = lines[i]
        if line.startswith("["):
            path, _ = parse_string(line, 1, "]")
            parts = tuple(fold(p) for p in path.split("\\"))
            section = parts if parts == want[:len(parts)] else None
            if parts == want:
                if exists:
                    raise RegistryError("user.reg names the ctapi32 key twice")
                exists = True
            elif parts[:len(want)] == want:
                others = True  # a subkey
            i += 1
            continue
        if section is None or not line or line.startswith(";"):
            i += 1
            continue
        if line.startswith("#"):
            # A link key hands every access to another key: what is written
            # through it lands somewhere else.
            if line == "#link":
                link = "\\".join(("HKCU",) + KEY_PATH[:len(section)])
                raise RegistryError(f"{link} is a registry link")
            i += 1
            continue
        if section != want:
            i += 1
            continue
        text, i = _logical_line(lines, i)
        if any(ord(c) > 127 or (ord(c) < 32 and c != "\t") for c in text):
            raise RegistryError("user.reg holds characters wine never writes in a ctapi32 value")
        if text.startswith("@="):
            name, rest = "", text[2:]
        elif text.startswith('"'):
            name, after = parse_string(text, 1, '"')
            if not text.startswith("=", after):
                raise RegistryError("a value name in the ctapi32 key is not followed by '='")
            rest = text[after + 1:]
        else:
            raise RegistryError("a line in the ctapi32 key is not a value")
        kind, data = parse_data(rest)
        if fold(name) == fold(VALUE_NAME):
            if value is not None:
                raise RegistryError("user.reg holds the library value twice")
            value = Value(name, kind, data)
        else:
            others = True
    return KeyState(exists, value, others)


# ------------------------------------------------------------ writing ---

REG_HEADER = "Windows Registry Editor Version 5.00\r\n\r\n"
KEY_LINE = "\\".join(("HKEY_CURRENT_USER",) + KEY_PATH)


def reg_file(value=None, delete_value=None, delete_key=False):
    """A .reg file (UTF-16LE with its mark, as `wine reg import` reads it)
    that sets VALUE, or deletes the value named DELETE_VALUE, or deletes the
    whole key."""
    if delete_key:
        body = f"[-{KEY_LINE}]\r\n"
    elif value is not None:
        items = [f"{b:02x}" for b in value.data]
        data = ",\\\r\n  ".join(",".join(items[i:i + 25]) for i in range(0, len(items), 25))
        body = f"[{KEY_LINE}]\r\n{_reg_name(value.name)}=hex({value.type:x}):{data}\r\n"
    else:
        body = f"[{KEY_LINE}]\r\n{_reg_name(delete_value)}=-\r\n"
    return codecs.BOM_UTF16_LE + f"{REG_HEADER}{body}\r\n".encode("utf-16-le", "surrogatepass")


def _reg_name(name):
    """NAME quoted as a .reg file quotes it."""
    quoted = name.replace("\\", "\\\\").replace('"', '\\"')
    return f'"{quoted}"'


# ------------------------------------------------------------ showing ---

def type_name(kind):
    return TYPE_NAMES.get(kind, f"type 0x{kind:x}")


def describe(value, none="none"):
    """TYPE 'text' for a string type, TYPE and its bytes for others; NONE
    when there is no value."""
    if value is None:
        return none
    if value.type in STRING_TYPES and len(value.data) % 2 == 0:
        text = value.data.decode("utf-16-le", "surrogatepass")
        if text.endswith("\0"):
            text = text[:-1]
        shown = f"'{escape(text)}'"
    elif value.type == REG_DWORD and len(value.data) == 4:
        shown = f"0x{int.from_bytes(value.data, 'little'):08x}"
    else:
        shown = "hex:" + ",".join(f"{b:02x}" for b in value.data[:64])
        if len(value.data) > 64:
            shown += f",... ({len(value.data)} bytes)"
    return f"{type_name(value.type)} {shown}"
