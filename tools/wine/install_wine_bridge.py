#!/usr/bin/python3
"""Installs the wine bridge into a wine prefix and names the native CT-API
library wine's ctapi32 hands the calls to; --uninstall takes both out and
puts back what the install found. HELP below is the one description of what
it does; the parts live in tools/wine/wine_bridge/."""
import hashlib
import os
import sys
from collections import namedtuple

# A tool run from a checkout or a release folder leaves nothing beside it.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from wine_bridge import Stop  # noqa: E402
from wine_bridge import binaries, record, wine, winereg  # noqa: E402
from wine_bridge.prefixfs import Folder, Identity  # noqa: E402
from wine_bridge.text import escape, shell_word  # noqa: E402
from wine_bridge.winereg import KEY_NAME, describe  # noqa: E402

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
TOOL = "install_wine_bridge"
DLL = "CT_ORB.dll"
SAVED = "CT_ORB.dll.before-wine-bridge"
DLL_NEW = "CT_ORB.dll.wine-bridge-partial"
ELF_KIND = {"x86": binaries.ELF_I386, "x64": binaries.ELF_X86_64}
DEFAULT_LIBRARY = "libctapimkt.so.1"
INTERRUPTED = "an interrupted install left it, or someone put it there"

USAGE = """usage: bash tools/install_wine_bridge.sh --arch x86|x64 [--library NAME] [--prefix DIR] [--bridge FILE]
       bash tools/install_wine_bridge.sh --uninstall [--arch x86|x64] [--prefix DIR]"""

HELP = USAGE + r"""

Puts the wine bridge (a CT_ORB.dll whose three functions go to wine's
ctapi32.dll) where the program looks for the maker's library: syswow64 for
the x86 program in a 64-bit prefix, system32 for x64 (and for x86 in a
32-bit prefix). Sets HKCU\Software\Wine\ctapi32 "library" to the native
Linux CT-API library ctapi32 hands the calls to. Its last lines give the
command that starts the program in that prefix, and two warnings.

  --arch x86|x64   the program's architecture: x86 for
                   build/windows-x86/SlotBench.exe (the release build; it
                   needs the i386 library, libctapimkt1:i386), x64 for
                   build/windows-x64/SlotBench.exe. Required to install;
                   with --uninstall, only that architecture's bridge is
                   taken out (default: both).
  --library NAME   the native library as ctapi32 asks the dynamic loader for
                   it: a bare name (default libctapimkt.so.1, Debian's
                   libctapimkt1) or an absolute path to the file (a
                   relative one would depend on the program's folder).
  --prefix DIR     the wine prefix; default $WINEPREFIX, else ~/.wine. A
                   folder that does not exist yet, or is empty, becomes a
                   new prefix (wineboot --init, then wineserver -w: about
                   15 s). A folder that holds something but no system.reg
                   is refused.
  --bridge FILE    the DLL to install; default
                   build/windows-<arch>/bridge/CT_ORB.dll (in the release
                   zip: wine-bridge/<arch>/CT_ORB.dll).
  --uninstall      takes out the bridge where an install put it and puts
                   back what that install found: the CT_ORB.dll (file or
                   link) and, once no bridge is left, the "library" value
                   (or its absence, and the key if the install made it).
  -h, --help       this text.

It refuses, before it changes anything, when:
  - the library is missing, or not an ELF shared object of the program's
    architecture (ctapi32 runs inside the program, and with a library it
    cannot load every test ends in CT_INIT fail); the bridge is not a DLL
    of that architecture;
  - the "library" value found could not be put back exactly: wine's
    reg import changes the data of a string value that is not whole
    characters ending in a NUL, so such a value is refused ("change it
    first"); any other value (any characters, any type) is kept;
  - a wine program, or a server started with wineserver -p, still runs in
    the prefix after 6 s: the registry is read from user.reg, which wine
    writes only when its server ends;
  - a symbolic link or a non-file stands at a name it writes (its record,
    the record's and the bridge's temporary names, its lock; drive_c,
    windows, system32 or syswow64 a link), or a CT_ORB.dll.before-wine-bridge
    is there that no install saved, or a CT_ORB.dll that is not the bridge
    is there while another one is saved already;
  - the prefix holds the records of the earlier shell version of this
    installer (CT_ORB-<arch>.wine-bridge, ctapi32-library.before-wine-bridge):
    its message says what to do by hand.

What it keeps, and where: one record per prefix, PREFIX/wine-bridge.json
(the SHA-256 of each bridge it put in place, what it saved, the "library"
value as found: name, type and data bytes). A CT_ORB.dll there that is not
the bridge (the maker's, or a symbolic link) is renamed to
CT_ORB.dll.before-wine-bridge beside it. The first install keeps the value
it found; a later one replaces the bridge and the value it set. Only a file
of exactly the bytes an install recorded is the bridge, whatever it says
inside. Every value it
writes is read back from user.reg and compared byte for byte; every file it
puts back is compared with what it saved before it says so.

What it never does: write through a link or into a file it did not create
(new files are created exclusively and renamed into place); replace a
CT_ORB.dll that is not the bridge; put back a saved copy no install saved,
or one changed since; overwrite, with --uninstall, a "library" value changed
after the install (it keeps it and says so); run beside another
install_wine_bridge in the same prefix (PREFIX/wine-bridge.lock: the second
waits). It never stops wine programs.

Exit status: 0 done, 1 refused or failed (one line on stderr says why and
what, if anything, changed), 2 a wrong argument. In the program, choose
SERIAL (any COM port): wine names its serial ports in a way the USB test
never recognises."""


def say(text):
    # Output nobody reads any more must not stop the work halfway.
    try:
        print(f"{TOOL}: {text}", flush=True)
    except BrokenPipeError:
        sys.stdout = open(os.devnull, "w")


def complain(text):
    print(f"{TOOL}: {text}", file=sys.stderr)


def bad_argument(text):
    complain(f"{text} (--help describes the options)")
    sys.exit(2)


# ------------------------------------------------------------ arguments ---

class Options:
    arch = None
    library = None
    prefix = None
    bridge = None
    uninstall = False


def parse_arguments(argv):
    opts = Options()
    given = set()
    i = 0
    while i < len(argv):
        arg = argv[i]
        if arg in ("-h", "--help"):
            print(HELP)
            sys.exit(0)
        if arg == "--uninstall":
            opts.uninstall = True
            i += 1
            continue
        if arg in ("--arch", "--library", "--prefix", "--bridge"):
            if i + 1 >= len(argv) or not argv[i + 1]:
                bad_argument(f"{arg} needs a value")
            if arg in given:
                bad_argument(f"{arg} given twice")
            given.add(arg)
            setattr(opts, arg[2:], argv[i + 1])
            i += 2
            continue
        bad_argument(f"unknown argument '{escape(arg)}'")
    if opts.arch not in (None, "x86", "x64"):
        bad_argument(f"--arch {escape(opts.arch)}: not x86 or x64")
    if opts.arch is None and not opts.uninstall:
        bad_argument("--arch x86|x64 is missing")
    if opts.uninstall:
        if opts.library is not None:
            bad_argument("--library has no meaning with --uninstall")
        if opts.bridge is not None:
            bad_argument("--bridge has no meaning with --uninstall")
    if opts.library is not None and "/" in opts.library and not opts.library.startswith("/"):
        bad_argument(f"--library {escape(opts.library)} is a relative path: give a bare name (the dynamic loader "
                     "finds it) or an absolute path")
    opts.library = opts.library or DEFAULT_LIBRARY
    # wine takes only an absolute WINEPREFIX: with a relative one every
    # wine call would fail.
    prefix = opts.prefix or os.environ.get("WINEPREFIX") or os.path.join(os.path.expanduser("~"), ".wine")
    opts.prefix = os.path.abspath(prefix)
    if opts.arch and not opts.bridge:
        opts.bridge = os.path.join(ROOT, "build", f"windows-{opts.arch}", "bridge", DLL)
    return opts


# --------------------------------------------------------------- prefix ---

def system_folder(top, arch):
    """Where a program of this architecture looks for CT_ORB.dll, or None
    when it cannot run there: a 32-bit program in a 64-bit prefix sees
    syswow64 as C:\\WINDOWS\\system32; a 32-bit prefix has system32 alone."""
    head = wine.read_own_file(top, "system.reg", 65536).decode("latin-1").split("\n")
    win32 = any(line.rstrip("\r") == "#arch=win32" for line in head if not line.startswith("["))
    if win32 and arch == "x64":
        return None
    windows = top.sub("drive_c").sub("windows")
    return windows.sub("system32" if win32 or arch == "x64" else "syswow64")


def read_record(top):
    """The prefix's record, once nothing left by an earlier installer or an
    interrupted run stands in the way."""
    for name in record.OLD_NAMES:
        if top.lstat(name) is not None:
            raise Stop(f"{top.shown(name)} was left by the earlier shell version of this installer, whose record of "
                       "the library value cannot be trusted: by hand, put each CT_ORB.dll.before-wine-bridge back as "
                       f"CT_ORB.dll (or remove the bridge where none was saved), check {KEY_NAME} library, and remove "
                       "CT_ORB-x86.wine-bridge, CT_ORB-x64.wine-bridge and ctapi32-library.before-wine-bridge "
                       "from the prefix; nothing changed")
    rec = record.load(top)
    top.must_be_absent(record.NEW_NAME, INTERRUPTED)
    return rec


# The prefixes this run locked, and whether it made the lock file there.
LOCKED = []


def open_locked(prefix):
    top = Folder.open(prefix)
    created = top.lock(record.LOCK_NAME, lambda: say(f"waiting for another {TOOL} in {escape(prefix)} to finish"))
    LOCKED.append((top, created))
    return top


def release(emptied):
    """The lock file is there only while a run holds it: the run that made
    it removes it again, still holding it (a waiter finds its name gone and
    tries again), and so does an uninstall that leaves no record (one left
    by a run that was killed). Otherwise one found there stays."""
    for top, created in LOCKED:
        if (created or (emptied and top.lstat(record.NAME) is None)) and top.kind(record.LOCK_NAME) == "file":
            top.unlink(record.LOCK_NAME)
            top.fsync()


def same_as_saved(folder, saved):
    """Whether CT_ORB.dll.before-wine-bridge is what an install saved."""
    return saved is not None and folder.identity(SAVED) == saved


# -------------------------------------------------------- library value ---

def set_value(prefix, top, value, changed):
    """Writes the library value and reads it back from user.reg. CHANGED
    says, for a failure, what has been done already."""
    ok = wine.import_reg(prefix, winereg.reg_file(value=value))
    now = wine.read_key(top).value
    if now != value:
        raise Stop(f"could not set {KEY_NAME} library in {escape(prefix)} (reg import {'ran' if ok else 'failed'}): "
                   f"it reads {describe(now, 'as none')}, not {describe(value)}; {changed}")


def remove_value(prefix, top, name, whole_key):
    ok = wine.import_reg(prefix, winereg.reg_file(delete_key=True) if whole_key
                         else winereg.reg_file(delete_value=name))
    after = wine.read_key(top)
    if after.value is not None or (whole_key and after.exists):
        raise Stop(f"could not remove {KEY_NAME} library in {escape(prefix)} (reg import {'ran' if ok else 'failed'}): "
                   f"it reads {describe(after.value, 'as none, but the key is still there')}; the bridge is out")


# -------------------------------------------------------------- install ---

def install(opts):
    resolved, bridge = check_binaries(opts)
    top = open_prefix(opts.prefix)
    rec = read_record(top)
    sysdir = install_folder(top, opts.arch, opts.prefix)
    save_now, saved_after = what_to_save(sysdir, rec.arches.get(opts.arch))
    point_ctapi32_at(opts.prefix, top, rec, opts.library)
    place_bridge(top, rec, sysdir, opts.arch, bridge, save_now, saved_after)
    tell_how_to_start(opts, sysdir, resolved)


def check_binaries(opts):
    """The file the loader would load for the library, and the bridge's
    bytes: both of the program's architecture."""
    multiarch = ":i386" if opts.arch == "x86" else ""
    hint = f" (apt-get install libctapimkt1{multiarch})" if opts.library == DEFAULT_LIBRARY else ""
    resolved = binaries.resolve_library(opts.library, ELF_KIND[opts.arch], opts.arch, hint)
    return resolved, binaries.read_bridge(opts.bridge, opts.arch)


def open_prefix(prefix):
    """The prefix, locked; a folder that does not exist yet, or is empty,
    becomes one first."""
    # Only a folder that holds nothing yet may become a prefix: anything
    # else without system.reg is somebody's folder, not a prefix to fill.
    not_prefix = (f"{escape(prefix)} is not a wine prefix (no system.reg) and not empty: name a new folder or an "
                  "existing prefix")
    if os.path.lexists(prefix) and not os.path.isdir(prefix):
        raise Stop(not_prefix)
    # With a lock file there, another install may be making the prefix right
    # now: the question is asked again once the lock is held.
    if os.path.isdir(prefix) and not os.path.isfile(os.path.join(prefix, "system.reg")):
        names = set(os.listdir(prefix))
        if record.LOCK_NAME not in names and names:
            raise Stop(not_prefix)
    try:
        os.makedirs(prefix, exist_ok=True)
    except OSError as e:
        raise Stop(f"cannot create {escape(prefix)}: {e.strerror}") from None
    top = open_locked(prefix)
    if top.kind("system.reg") is None:
        if set(top.names()) - {record.LOCK_NAME}:
            raise Stop(not_prefix)
        say(f"creating wine prefix {escape(prefix)} (about 15 s)")
        wine.create_prefix(prefix)
        if top.kind("system.reg") is None:
            raise Stop(f"wineboot left {escape(prefix)} without system.reg")
    return top


def install_folder(top, arch, prefix):
    sysdir = system_folder(top, arch)
    if sysdir is None:
        raise Stop(f"{escape(prefix)} is a 32-bit prefix: the x64 program cannot run there")
    sysdir.must_be_absent(DLL_NEW, INTERRUPTED)
    return sysdir


def what_to_save(sysdir, entry):
    """What stands at CT_ORB.dll and is to be saved now (None when nothing
    is), and what the record then says is saved."""
    # What is there stays, under a name that says what it is: a file or a
    # link that is not the bridge is renamed (a rename never writes through
    # a link), unless an earlier install saved another one there already.
    recorded_saved = entry.saved if entry else None
    dll_kind, saved_kind = sysdir.kind(DLL), sysdir.kind(SAVED)
    if saved_kind is not None and recorded_saved is None:
        raise Stop(f"{sysdir.shown(SAVED)} is there, but no install here saved it: move it away first")
    if saved_kind is not None and not same_as_saved(sysdir, recorded_saved):
        raise Stop(f"{sysdir.shown(SAVED)} is not the CT_ORB.dll an install saved there (it changed since): move it "
                   "away first")
    if dll_kind == "other":
        raise Stop(f"{sysdir.shown(DLL)} is neither a file nor a link: move it away first")
    found = sysdir.identity(DLL)
    # Bytes equal to the bridge's are somebody's file all the same unless an
    # install recorded them: --uninstall must not say there was nothing.
    ours = found is not None and entry is not None and found.sha256 == entry.bridge_sha256
    save_now = None
    if found is not None and not ours:
        if saved_kind is None:
            save_now = found
        elif found != recorded_saved:
            raise Stop(f"{sysdir.shown(DLL)} is not the bridge, and {sysdir.shown(SAVED)} holds another CT_ORB.dll "
                       "saved at an earlier install: move one of them away first")
    return save_now, save_now or (recorded_saved if saved_kind is not None else None)


def point_ctapi32_at(prefix, top, rec, library):
    """Sets the library value; the first install records the one it found."""
    # The value only at the first install: a later one finds its own there.
    wine.settle(prefix, "nothing changed")
    key = wine.read_key(top)
    lib = rec.library
    first = lib is None
    if first:
        if key.value is not None and not winereg.restorable(key.value):
            raise Stop(f"{KEY_NAME} library is {describe(key.value)}: wine would not store it back exactly as it is "
                       "(a string value must be whole characters ending in a NUL), so --uninstall could not put it "
                       "back; change it first; nothing changed")
        lib = record.LibraryEntry(key.value, key.exists, None)
    name = key.value.name if key.value is not None else winereg.VALUE_NAME
    value = winereg.string_value(name, library)
    rec.library = record.LibraryEntry(lib.before, lib.key_existed, value)
    record.save(top, rec)
    if first and lib.before is not None:
        say(f"saved {KEY_NAME} library as found ({describe(lib.before)}) in {top.shown(record.NAME)}: --uninstall "
            "puts it back")
    if key.value != value:
        set_value(prefix, top, value, "the bridge is not installed yet")
        if not first and key.value != lib.set:
            say(f"replaced {KEY_NAME} library {describe(key.value, '(none)')}, set after the last install, by "
                f"{describe(value)}; --uninstall puts back {describe(lib.before)}, as the first install found it")


def place_bridge(top, rec, sysdir, arch, bridge, save_now, saved_after):
    bridge_sha = hashlib.sha256(bridge).hexdigest()
    # Recorded before the bridge is in place: a bridge without its record
    # would be somebody's file to the next install and to --uninstall.
    rec.arches[arch] = record.ArchEntry(bridge_sha, saved_after)
    record.save(top, rec)
    if save_now is not None:
        save_found(sysdir, save_now)
    sysdir.put_in_place(DLL, DLL_NEW, bridge, ": the bridge is not installed")
    if sysdir.identity(DLL) != Identity(sha256=bridge_sha, size=len(bridge)):
        raise Stop(f"{sysdir.shown(DLL)} does not read back as the bridge")


def save_found(sysdir, found):
    sysdir.move_aside(DLL, SAVED)
    if sysdir.identity(SAVED) != found:
        raise Stop(f"{sysdir.shown(SAVED)} is not what was renamed there a moment ago")
    if found.link is not None:
        say(f"saved the link found there, {sysdir.shown(DLL)} -> {escape(os.fsdecode(found.link))}, as "
            f"{sysdir.shown(SAVED)} (never written through): --uninstall puts it back")
    else:
        say(f"saved the CT_ORB.dll found there (not the bridge) as {sysdir.shown(SAVED)}: --uninstall puts it back")


def tell_how_to_start(opts, sysdir, resolved):
    say(f"{sysdir.shown(DLL)} -> ctapi32 -> {escape(opts.library)} ({escape(resolved)}, "
        f"{binaries.KIND_NAMES[ELF_KIND[opts.arch]]})")
    if os.path.basename(opts.library).startswith("libctapimkt.so"):
        say("every program in this prefix that loads CT_ORB.dll now drives /dev/ttyS0, whatever COM port it names")
    else:
        say(f"which device the terminal is reached on is up to {escape(opts.library)}")
    say("a terminal that does not answer fails the test after 10 s (a card wait: 10 s after its end), and "
        "only a restart of the program tests it again: check the cable and the device first")
    exe = os.path.join(ROOT, "build", f"windows-{opts.arch}", "SlotBench.exe")
    say(f"start it, then choose SERIAL (any COM port): WINEPREFIX={shell_word(opts.prefix)} wine {shell_word(exe)}")


# ------------------------------------------------------------ uninstall ---

# What --uninstall found for one architecture it takes the bridge out for.
Removal = namedtuple("Removal", "arch sysdir entry found is_bridge saved_kind saved_ok")


def uninstall(opts):
    """First every decision, then every change: a refusal while deciding
    leaves all as it was."""
    prefix = opts.prefix
    if not os.path.isfile(os.path.join(prefix, "system.reg")):
        raise Stop(f"{escape(prefix)} is not a wine prefix (no system.reg): there is nothing to remove")
    top = open_locked(prefix)
    rec = read_record(top)
    removals, still = plan_removals(top, rec, [opts.arch] if opts.arch else record.ARCHES)
    key = None
    if not still:
        wine.settle(prefix, "nothing changed")
        key = wine.read_key(top)
    for removal in removals:
        take_out(top, rec, removal)
    put_back_library(prefix, top, rec, key, still)


def plan_removals(top, rec, chosen):
    """A Removal for each CHOSEN architecture the prefix can run, and the
    others whose bridge is still in place."""
    removals, still = [], []
    for arch in record.ARCHES:
        sysdir = system_folder(top, arch)
        if sysdir is None:
            continue
        entry = rec.arches.get(arch)
        found = sysdir.identity(DLL)
        is_bridge = entry is not None and found is not None and found.sha256 == entry.bridge_sha256
        if arch not in chosen:
            if is_bridge:
                still.append(arch)
            continue
        saved_kind = sysdir.kind(SAVED)
        saved_ok = entry is not None and saved_kind is not None and same_as_saved(sysdir, entry.saved)
        removals.append(Removal(arch, sysdir, entry, found, is_bridge, saved_kind, saved_ok))
    return removals, still


def take_out(top, rec, r):
    sysdir, entry = r.sysdir, r.entry
    keep_entry = False
    if r.is_bridge:
        sysdir.unlink(DLL)
        if r.saved_ok:
            put_back(sysdir, entry.saved)
        elif entry.saved is not None and r.saved_kind is not None:
            say(f"removed {sysdir.shown(DLL)} (the {r.arch} bridge); left {sysdir.shown(SAVED)} where it is: it is "
                "not the CT_ORB.dll the install saved (it changed since)")
        elif entry.saved is not None:
            say(f"removed {sysdir.shown(DLL)} (the {r.arch} bridge); the CT_ORB.dll the install saved as "
                f"{sysdir.shown(SAVED)} is gone")
        else:
            say(f"removed {sysdir.shown(DLL)} (the {r.arch} bridge; there was no CT_ORB.dll before)")
    elif r.found is not None:
        say(f"left {sysdir.shown(DLL)} where it is: it is not the wine bridge")
        if r.saved_kind is not None:
            say(f"left {sysdir.shown(SAVED)} beside it: put one of the two in place yourself")
            keep_entry = r.saved_ok
    elif r.saved_ok:
        put_back(sysdir, entry.saved)
    elif r.saved_kind is not None:
        why = ("it changed since the install saved it" if entry is not None and entry.saved is not None
               else "no install saved it")
        say(f"left {sysdir.shown(SAVED)} where it is: {why}")
    if entry is not None and not keep_entry:
        del rec.arches[r.arch]
        record.save(top, rec)
    sysdir.fsync()


def put_back(sysdir, saved):
    sysdir.move_aside(SAVED, DLL)
    if sysdir.identity(DLL) != saved:
        raise Stop(f"{sysdir.shown(DLL)}, just put back, is not what the install saved")
    if saved.link is not None:
        say(f"put back the link {sysdir.shown(DLL)} -> {escape(os.fsdecode(saved.link))}, as the install found it")
    else:
        say(f"put back {sysdir.shown(DLL)} as the install found it, byte for byte")


def put_back_library(prefix, top, rec, key, still):
    # The value is shared by the x86 and the x64 program, so it goes only
    # with the last bridge.
    lib = rec.library
    if still:
        say(f"kept {KEY_NAME} library: the {' and '.join(still)} bridge still needs it")
        return
    if lib is None:
        said = f" ({describe(key.value)})" if key.value else ""
        say(f"kept {KEY_NAME} library{said}: no record of what it was before the install")
        return
    now, before = key.value, lib.before
    # A key the install made goes when nothing else is in it.
    made_key = not lib.key_existed and key.exists and not key.others
    if now == before:
        if made_key:
            remove_value(prefix, top, None, True)
            say(f"left {KEY_NAME} library as the install found it: none; removed the key, which the install made")
        else:
            say(f"left {KEY_NAME} library as it is: as the install found it ({describe(before)})")
    elif now != lib.set:
        say(f"kept {KEY_NAME} library ({describe(now)}): it changed after the install set it to {describe(lib.set)}; "
            f"before the install it was {describe(before)}")
    elif before is not None:
        set_value(prefix, top, before, "the bridge is out")
        say(f"put back {KEY_NAME} library as the install found it: {describe(before)}")
    else:
        remove_value(prefix, top, now.name, made_key)
        gone = " (nor the key, which is gone again)" if made_key else ""
        say(f"removed {KEY_NAME} library: there was none before the install{gone}")
    rec.library = None
    record.save(top, rec)


def main(argv):
    try:
        sys.stdout.reconfigure(errors="backslashreplace")
        sys.stderr.reconfigure(errors="backslashreplace")
    except AttributeError:
        pass
    opts = parse_arguments(argv)
    emptied = False
    try:
        if opts.uninstall:
            uninstall(opts)
            emptied = True
        else:
            install(opts)
        return 0
    except Stop as e:
        complain(e)
    except OSError as e:
        where = f": {escape(os.fsdecode(e.filename))}" if e.filename else ""
        complain(f"{e.strerror or type(e).__name__}{where}")
    except KeyboardInterrupt:
        complain("interrupted")
    except Exception as e:  # a fault of this tool: still one line
        complain(f"stopped by an error of its own ({type(e).__name__}: {escape(str(e))})")
    finally:
        try:
            release(emptied)
        except OSError:
            pass
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
