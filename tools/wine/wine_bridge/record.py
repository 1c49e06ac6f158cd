"""What the installs did in one prefix, kept in one file there
(wine-bridge.json), so that --uninstall puts back exactly that and nothing
else:

- per architecture, the SHA-256 of the bridge it put in place (only a file
  of exactly those bytes is the bridge: any text inside one can be in a
  maker's DLL too) and what it saved as CT_ORB.dll.before-wine-bridge: a
  link and its target, or a file's SHA-256 and size;
- the library value as the first install found it (its name, type and
  data bytes, or none), whether the key was there, and the value an
  install set.

The file is replaced whole: written to wine-bridge.json.partial, created
exclusively, then renamed over it. It is read strictly: anything else in it
is refused rather than half believed.
"""
import json
from dataclasses import dataclass, field
from typing import Dict, Optional

from . import Stop
from .prefixfs import Identity
from .winereg import Value

NAME = "wine-bridge.json"
NEW_NAME = NAME + ".partial"
LOCK_NAME = "wine-bridge.lock"
FORMAT = "slotbench wine bridge 1"
ARCHES = ("x86", "x64")
MAX_SIZE = 4 << 20
# An earlier installer kept three text files instead; they cannot be
# trusted with the library value (it recorded "none" for one it could not
# read).
OLD_NAMES = ("CT_ORB-x86.wine-bridge", "CT_ORB-x64.wine-bridge", "ctapi32-library.before-wine-bridge")


@dataclass
class ArchEntry:
    bridge_sha256: str
    saved: Optional[Identity]


@dataclass
class LibraryEntry:
    before: Optional[Value]
    key_existed: bool
    set: Optional[Value]


@dataclass
class Record:
    library: Optional[LibraryEntry] = None
    arches: Dict[str, ArchEntry] = field(default_factory=dict)

    def empty(self):
        return self.library is None and not self.arches

    def to_bytes(self):
        obj = {"format": FORMAT, "arches": {}}
        for arch, entry in sorted(self.arches.items()):
            obj["arches"][arch] = {"bridge_sha256": entry.bridge_sha256, "saved": _identity_json(entry.saved)}
        if self.library is not None:
            lib = self.library
            obj["library"] = {
                "before": lib.before.to_json() if lib.before else None,
                "key_existed": lib.key_existed,
                "set": lib.set.to_json() if lib.set else None,
            }
        return (json.dumps(obj, indent=1, sort_keys=True) + "\n").encode("ascii")


def _identity_json(ident):
    if ident is None:
        return None
    if ident.link is not None:
        return {"link": ident.link.hex()}
    return {"sha256": ident.sha256, "size": ident.size}


def _no_duplicates(pairs):
    obj = {}
    for key, value in pairs:
        if key in obj:
            raise ValueError("a name given twice")
        obj[key] = value
    return obj


def _keys(obj, required, optional=()):
    if not isinstance(obj, dict) or not set(required) <= set(obj) <= set(required) | set(optional):
        raise ValueError(f"fields other than {', '.join(sorted(required))}")


def _sha256(text):
    if not isinstance(text, str) or len(text) != 64 or any(c not in "0123456789abcdef" for c in text):
        raise ValueError("a SHA-256 that is not 64 hex digits")
    return text


def _identity(obj):
    if obj is None:
        return None
    if isinstance(obj, dict) and "link" in obj:
        _keys(obj, ("link",))
        target = obj["link"]
        if not isinstance(target, str) or not target or len(target) > 8192:
            raise ValueError("a link target that is not hex")
        raw = bytes.fromhex(target)
        if raw.hex() != target:
            raise ValueError("a link target that is not lower-case hex")
        return Identity(link=raw)
    _keys(obj, ("sha256", "size"))
    size = obj["size"]
    if not isinstance(size, int) or isinstance(size, bool) or size < 0:
        raise ValueError("a size that is not a count of bytes")
    return Identity(sha256=_sha256(obj["sha256"]), size=size)


def parse(data):
    """The Record in DATA (the file's bytes); ValueError says what is wrong."""
    obj = json.loads(data.decode("ascii"), object_pairs_hook=_no_duplicates)
    _keys(obj, ("format", "arches"), ("library",))
    if obj["format"] != FORMAT:
        raise ValueError(f"not format '{FORMAT}'")
    record = Record()
    arches = obj["arches"]
    if not isinstance(arches, dict) or not set(arches) <= set(ARCHES):
        raise ValueError("architectures other than x86 and x64")
    for arch, entry in arches.items():
        _keys(entry, ("bridge_sha256", "saved"))
        record.arches[arch] = ArchEntry(_sha256(entry["bridge_sha256"]), _identity(entry["saved"]))
    if "library" in obj:
        lib = obj["library"]
        _keys(lib, ("before", "key_existed", "set"))
        if not isinstance(lib["key_existed"], bool):
            raise ValueError("key_existed is not true or false")
        record.library = LibraryEntry(
            Value.from_json(lib["before"]) if lib["before"] is not None else None,
            lib["key_existed"],
            Value.from_json(lib["set"]) if lib["set"] is not None else None)
    return record


def load(folder):
    """The prefix's record, an empty one when there is none. A record that
    is a link, or not one this tool wrote, is refused."""
    kind = folder.kind(NAME)
    if kind is None:
        return Record()
    if kind != "file":
        what = "a symbolic link" if kind == "link" else "not a file"
        raise Stop(f"{folder.shown(NAME)} is {what}, which this tool never made: remove it first; nothing changed")
    data = folder.read(NAME, MAX_SIZE)
    try:
        return parse(data)
    except (ValueError, UnicodeDecodeError, RecursionError) as e:
        why = str(e).splitlines()[0] if str(e) else type(e).__name__
        raise Stop(f"{folder.shown(NAME)} is not a record this tool wrote ({why}): nothing changed") from None


def save(folder, record):
    """Replaces the record (or removes it when empty); what is on disk
    afterwards is read back and compared."""
    if record.empty():
        if folder.lstat(NAME) is not None:
            folder.unlink(NAME)
        folder.fsync()
        return
    folder.put_in_place(NAME, NEW_NAME, record.to_bytes())
    if load(folder) != record:
        raise Stop(f"{folder.shown(NAME)} does not read back as written")
