"""Prints the file version (a.b.c.d) of a Windows program or library, from
the fixed part of its version resource, which res/version.h sets: how a
program found on a PC tells which release to compare it with.

  pe_version.py FILE
"""
import os
import sys

import pefile

# Far above the release's programs (360 KB at most): more is not ours.
MAX_SIZE = 16 << 20


def version(path):
    if os.path.getsize(path) > MAX_SIZE:
        raise ValueError(f"over {MAX_SIZE >> 20} MiB")
    with open(path, "rb") as f:
        pe = pefile.PE(data=f.read(), fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    fixed = getattr(pe, "VS_FIXEDFILEINFO", None)
    if not fixed:
        raise ValueError("no fixed version")
    high, low = fixed[0].FileVersionMS, fixed[0].FileVersionLS
    return f"{high >> 16}.{high & 0xFFFF}.{low >> 16}.{low & 0xFFFF}"


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        sys.exit(2)
    try:
        print(version(sys.argv[1]))
    except Exception as error:  # attacker-made input: any fault is "no version", never a traceback
        print(f"{sys.argv[1]}: no version resource found ({error or type(error).__name__})", file=sys.stderr)
        sys.exit(1)
