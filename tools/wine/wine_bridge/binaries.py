"""The two binaries an install joins: the native CT-API library (an ELF
shared object of the program's architecture, as the dynamic loader would
find it) and the bridge (a Windows DLL of the same architecture)."""
import os
import stat
import struct
import subprocess

import pefile

from . import Stop
from .text import escape

ELF_I386, ELF_X86_64 = (1, 3), (2, 62)
PE_I386, PE_AMD64 = 0x014C, 0x8664
IMAGE_FILE_DLL = 0x2000
# The bridge is under 20 KB; a file far larger is not one.
MAX_BRIDGE = 16 << 20

KIND_NAMES = {ELF_I386: "32-bit i386", ELF_X86_64: "64-bit x86-64"}


def elf_kind(path):
    """(class, machine) of an ELF shared object, or None for any other file
    (a folder, a FIFO, a little-endian ELF that is not ET_DYN, ...)."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            return None
        header = os.read(fd, 20)
    except OSError:
        return None
    finally:
        os.close(fd)
    if len(header) < 20 or header[:4] != b"\x7fELF":
        return None
    elf_class, data = header[4], header[5]
    # Both fields little-endian, as every x86 object is.
    if data != 1:
        return None
    e_type, e_machine = struct.unpack_from("<HH", header, 16)
    if e_type != 3:  # ET_DYN
        return None
    return elf_class, e_machine


def describe_kind(kind):
    if kind is None:
        return "not an ELF shared library"
    return KIND_NAMES.get(kind, f"ELF class {kind[0]}, machine {kind[1]}")


def loader_candidates(name):
    """The files the dynamic loader would try for a bare name, in its order:
    LD_LIBRARY_PATH, its cache, then the trusted folders. The loader skips a
    file of another architecture and goes on, so every candidate counts."""
    found = []
    for folder in os.environ.get("LD_LIBRARY_PATH", "").split(":"):
        if folder and os.path.isfile(os.path.join(folder, name)):
            found.append(os.path.join(folder, name))
    for ldconfig in ("ldconfig", "/sbin/ldconfig"):
        try:
            out = subprocess.run([ldconfig, "-p"], capture_output=True, timeout=30).stdout
        except (OSError, subprocess.TimeoutExpired):
            continue
        for line in out.decode("utf-8", "surrogateescape").splitlines():
            fields = line.split()
            if fields and fields[0] == name:
                found.append(fields[-1])
        break
    for folder in ("/lib/i386-linux-gnu", "/usr/lib/i386-linux-gnu", "/lib/x86_64-linux-gnu",
                   "/usr/lib/x86_64-linux-gnu", "/lib32", "/usr/lib32", "/lib64", "/usr/lib64", "/lib", "/usr/lib"):
        if os.path.isfile(os.path.join(folder, name)):
            found.append(os.path.join(folder, name))
    return found


def resolve_library(library, want, arch, hint):
    """The file the loader would load for LIBRARY in a program of kind WANT."""
    machine = KIND_NAMES[want]
    if "/" in library:
        # A path is opened as it is, nothing else is tried.
        if not os.path.isfile(library):
            raise Stop(f"native CT-API library {escape(library)} not found")
        kind = elf_kind(library)
        if kind != want:
            raise Stop(f"{escape(library)} is {describe_kind(kind)}, but the {arch} program needs a {machine} library")
        return library
    other = None
    for candidate in loader_candidates(library):
        kind = elf_kind(candidate)
        if kind == want:
            return candidate
        if other is None:
            other = f"{escape(candidate)} ({describe_kind(kind)})"
    if other is not None:
        raise Stop(f"{escape(library)} is only found as {other}; the {arch} program needs a {machine} one{hint}")
    raise Stop(f"native CT-API library {escape(library)} not found by the dynamic loader{hint}")


def read_bridge(path, arch):
    """The bridge's bytes, once checked to be a DLL the ARCH program can
    load: the bytes checked are the bytes installed."""
    shown = escape(path)
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        raise Stop(f"no bridge at {shown} (bash tools/build.sh)") from None
    with os.fdopen(fd, "rb") as f:
        if not stat.S_ISREG(os.fstat(f.fileno()).st_mode):
            raise Stop(f"no bridge at {shown} (bash tools/build.sh)")
        data = f.read(MAX_BRIDGE + 1)
    if len(data) > MAX_BRIDGE:
        raise Stop(f"{shown} is not a Windows DLL (larger than any bridge)")
    try:
        pe = pefile.PE(data=data, fast_load=True)
        machine, flags = pe.FILE_HEADER.Machine, pe.FILE_HEADER.Characteristics
    except Exception:  # pefile raises more than PEFormatError on a damaged file
        raise Stop(f"{shown} is not a Windows DLL") from None
    if not flags & IMAGE_FILE_DLL:
        raise Stop(f"{shown} is not a Windows DLL")
    if arch == "x86" and machine == PE_AMD64:
        raise Stop(f"{shown} is a 64-bit DLL: the x86 program needs build/windows-x86/bridge/CT_ORB.dll")
    if arch == "x64" and machine == PE_I386:
        raise Stop(f"{shown} is a 32-bit DLL: the x64 program needs build/windows-x64/bridge/CT_ORB.dll")
    if machine != (PE_I386 if arch == "x86" else PE_AMD64):
        raise Stop(f"{shown} is not a Windows DLL for x86 or x64")
    return data
