"""Text taken from input (a path, a registry value, an argument), as this
tool shows it: in a message, and in a command to copy."""
import os
import re
import shlex


def escape(text):
    """TEXT on one line: printable characters as they are, a backslash and a
    quote escaped, everything else as \\n, \\xHH (a byte of a path that
    was not UTF-8 too), \\uHHHH or \\UHHHHHHHH."""
    out = []
    for c in text:
        o = ord(c)
        if c in "\\'":
            out.append(f"\\{c}")
        elif c == "\n":
            out.append("\\n")
        elif c == "\r":
            out.append("\\r")
        elif c == "\t":
            out.append("\\t")
        elif c.isprintable() and not 0xD800 <= o <= 0xDFFF:
            out.append(c)
        elif 0xDC80 <= o <= 0xDCFF:  # a byte of a path that was not UTF-8
            out.append(f"\\x{o - 0xDC00:02x}")
        elif o < 0x100:
            out.append(f"\\x{o:02x}")
        elif o < 0x10000:
            out.append(f"\\u{o:04x}")
        else:
            out.append(f"\\U{o:08x}")
    return "".join(out)


def shell_word(text):
    """TEXT as one shell word on one line. What is not printable goes into
    $'...' as its bytes, \\xHH each: bash reads \\u escapes back only in a
    UTF-8 locale, bytes in any."""
    if re.fullmatch(r"[\w@%+=:,./-]+", text, re.ASCII):
        return text
    if text.isprintable():
        return shlex.quote(text)
    kept = (chr(b) if 0x20 <= b < 0x7F and b not in b"\\'" else f"\\x{b:02x}" for b in os.fsencode(text))
    return f"$'{''.join(kept)}'"
