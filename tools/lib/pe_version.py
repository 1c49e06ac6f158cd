"""Prints the file version (a.b.c.d) of a Windows program or library, from
the fixed part of its version resource, which res/version.h sets: how a
program found on a PC tells which release to compare it with.

  pe_version.py FILE
"""
import struct
import sys

RT_VERSION = 16
FIXED_SIGNATURE = 0xFEEF04BD


def fail(message):
    print(message, file=sys.stderr)
    sys.exit(1)


def version(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[:2] != b"MZ" or data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a Windows program")
    sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + {0x10B: 96, 0x20B: 112}[magic]
    resources_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]

    def offset(rva):
        for i in range(sections):
            size, address, raw_size, raw = struct.unpack_from(
                "<IIII", data, optional + optional_size + 40 * i + 8)
            if address <= rva < address + max(size, raw_size):
                return raw + rva - address
        raise ValueError("a resource outside every section")

    base = offset(resources_rva)

    def entries(directory):
        named, numbered = struct.unpack_from("<HH", data, base + directory + 12)
        for i in range(named + numbered):
            yield struct.unpack_from("<II", data, base + directory + 16 + 8 * i)

    # Type, then name, then language: the first of each below RT_VERSION.
    node = next(target for ident, target in entries(0) if ident == RT_VERSION)
    for _ in range(2):
        node = next(entries(node & 0x7FFFFFFF))[1]
    rva, size = struct.unpack_from("<II", data, base + node)
    block = data[offset(rva):offset(rva) + size]
    key = "VS_VERSION_INFO\0".encode("utf-16-le")
    if block[6:6 + len(key)] != key:
        raise ValueError("a version resource without VS_VERSION_INFO")
    fixed = (6 + len(key) + 3) & ~3
    signature, _, high, low = struct.unpack_from("<IIII", block, fixed)
    if signature != FIXED_SIGNATURE:
        raise ValueError("a version resource without its fixed part")
    return f"{high >> 16}.{high & 0xFFFF}.{low >> 16}.{low & 0xFFFF}"


if __name__ == "__main__":
    if len(sys.argv) != 2:
        fail(__doc__.strip())
    try:
        with open(sys.argv[1], "rb") as f:
            print(version(f.read()))
    except (OSError, ValueError, KeyError, StopIteration, struct.error) as error:
        fail(f"{sys.argv[1]}: no version resource found ({error or 'none'})")
