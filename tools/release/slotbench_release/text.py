"""Text taken from input (certificate names, file and entry names, command
line arguments) on its way to a terminal: a name may carry a tab, a line
feed, an escape sequence, invisible or direction-changing characters, or
look-alike punctuation that would forge or hide part of the report."""
import os
import sys
import unicodedata

# A name longer than this is cut: a screen of made-up words would push the
# check's own words out of sight.
MAX_NAME = 200
# Letters by their class that are drawn as blank space (Hangul fillers).
BLANK_LETTERS = {0x115F, 0x1160, 0x3164, 0xFFA0}


def _readable(ch):
    """Printable ASCII, or a left-to-right letter or digit (a name in
    German or Greek stays legible). Everything else — controls, format and
    bidirectional characters, other spaces, punctuation that imitates the
    report's own, marks drawn over other letters — is escaped."""
    code = ord(ch)
    if 0x20 <= code < 0x7F:
        return ch != "\\"
    if code in BLANK_LETTERS:
        return False
    return unicodedata.category(ch) in ("Lu", "Ll", "Lt", "Lo", "Nd") and unicodedata.bidirectional(ch) == "L"


def escape(value):
    """value (str or bytes) as printable text: what is not plainly readable
    is written as \\xNN or \\uNNNN (\\UNNNNNNNN), a backslash as \\\\, and for
    bytes whatever is not UTF-8 as \\xNN, so nothing from the input acts on
    the terminal or passes for the report's own words."""
    if isinstance(value, (bytes, bytearray)):
        value = bytes(value).decode("utf-8", "surrogateescape")
    out = []
    for ch in value:
        code = ord(ch)
        if _readable(ch):
            out.append(ch)
        elif ch == "\\":
            out.append("\\\\")
        elif 0xDC80 <= code <= 0xDCFF:  # a byte that was not UTF-8
            out.append(f"\\x{code - 0xDC00:02x}")
        elif code < 0x100:
            out.append(f"\\x{code:02x}")
        elif code < 0x10000:
            out.append(f"\\u{code:04x}")
        else:
            out.append(f"\\U{code:08x}")
    return "".join(out)


def name(x509_name):
    """A certificate name (cryptography's x509.Name), escaped and cut to
    MAX_NAME characters."""
    text = escape(x509_name.rfc4514_string())
    if len(text) > MAX_NAME:
        text = f"{text[:MAX_NAME]}... ({len(text) - MAX_NAME} more characters)"
    return text


class Refused(Exception):
    """Why a tool will not go on: one line, every text from input in it
    escaped."""


def one_line_main(prefix, call):
    """Runs a tool's command: a refusal or a file that cannot be read or
    written ends it in one line on stderr and status 1, the file's name
    escaped."""
    try:
        call()
    except Refused as why:
        print(f"{prefix}{why}", file=sys.stderr)
        return 1
    except OSError as error:
        name = error.filename if error.filename is not None else ""
        print(f"{prefix}{escape(os.fsdecode(name))}: {error.strerror}", file=sys.stderr)
        return 1
    return 0
