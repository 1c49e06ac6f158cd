"""Text taken from input (certificate names, file and entry names, command
line arguments) on its way to a terminal: a name may carry a tab, a line
feed or an escape sequence that would forge or hide a line of the report."""


def escape(value):
    """value (str or bytes) as printable text: backslash, control
    characters (C0, DEL, C1) and, for bytes, anything that is not UTF-8 are
    written as escapes, so nothing from the input acts on the terminal."""
    if isinstance(value, (bytes, bytearray)):
        value = bytes(value).decode("utf-8", "surrogateescape")
    out = []
    for ch in value:
        code = ord(ch)
        if ch == "\\":
            out.append("\\\\")
        elif code < 0x20 or 0x7F <= code < 0xA0:
            out.append(f"\\x{code:02x}")
        elif 0xDC80 <= code <= 0xDCFF:  # a byte that was not UTF-8
            out.append(f"\\x{code - 0xDC00:02x}")
        elif code in (0x2028, 0x2029, 0x200E, 0x200F) or 0x202A <= code <= 0x202E or 0x2066 <= code <= 0x2069:
            # Line separators and bidirectional overrides reorder or break
            # what a reader sees without being control characters.
            out.append(f"\\u{code:04x}")
        else:
            out.append(ch)
    return "".join(out)


def name(x509_name):
    """A certificate name (cryptography's x509.Name), escaped."""
    return escape(x509_name.rfc4514_string())
