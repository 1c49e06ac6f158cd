"""wine itself: making a prefix, waiting for its server, and the two
registry steps (read user.reg once the server has written it; import a .reg
file and wait until it is written)."""
import os
import shutil
import stat
import subprocess
import tempfile

from . import Stop
from . import winereg
from .text import escape

# A server that only lingers after its last program ends goes within 3 s.
# One still there after this long serves a program, or was started with
# wineserver -p: its registry reaches user.reg only when it ends.
SERVER_WAIT = 6
# wineboot --init takes 10-15 s on an idle machine.
BOOT_WAIT = 300


def environment(prefix):
    env = dict(os.environ)
    env.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    return env


def _run(prefix, argv, timeout):
    try:
        return subprocess.run(argv, env=environment(prefix), stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=timeout).returncode
    except FileNotFoundError:
        raise Stop(f"{argv[0]} is not installed (apt-get install wine wine64 wine32:i386)") from None
    except subprocess.TimeoutExpired:
        return None


def server_ended(prefix, seconds=SERVER_WAIT):
    """Waits up to SECONDS for the prefix's wine server to end (at once when
    none runs): only then is user.reg what the registry holds."""
    return _run(prefix, ["wineserver", "-w"], seconds) is not None


def settle(prefix, changed):
    """Refuses to go on while a wine server keeps the prefix's registry in
    memory. CHANGED says what has been done already, for the message."""
    if not server_ended(prefix):
        raise Stop(f"a wine program (or a server started with wineserver -p) still runs in {escape(prefix)}, and wine "
                   "writes the registry to user.reg only when its server ends: close its programs or end it "
                   f"(WINEPREFIX={escape(prefix)} wineserver -k) and run this again; {changed}")


def create_prefix(prefix):
    # A prefix made without wine32 cannot run the 32-bit program.
    try:
        status = subprocess.run(["dpkg-query", "-W", "-f=${Status}", "wine32:i386"], capture_output=True).stdout
    except OSError:
        status = b""
    if b"ok installed" not in status:
        raise Stop("wine32:i386 is not installed (bash tools/setup.sh): a prefix made now could not run "
                   "32-bit programs; nothing changed")
    if _run(prefix, ["wineboot", "--init"], BOOT_WAIT) != 0:
        raise Stop(f"could not create the wine prefix {escape(prefix)} (wineboot --init failed)")
    # wineboot writes system.reg only when its server ends, a few seconds
    # after wineboot itself.
    if not server_ended(prefix, BOOT_WAIT):
        raise Stop(f"the wine server of the new prefix {escape(prefix)} did not end")


def read_own_file(top, name, limit):
    """Up to LIMIT bytes of one of wine's files in the prefix. wine follows
    a link there, so it is read through one: only written files must not be
    links."""
    try:
        fd = os.open(top.name(name), os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as e:
        raise Stop(f"cannot read {top.shown(name)}: {e.strerror}") from None
    with os.fdopen(fd, "rb") as f:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise Stop(f"{top.shown(name)} is not a file")
        return f.read(limit)


def read_key(top):
    """The ctapi32 key from the prefix's user.reg (call settle() first)."""
    if top.lstat("user.reg") is None:
        return winereg.KeyState(False, None, False)
    raw = read_own_file(top, "user.reg", winereg.MAX_USER_REG + 1)
    try:
        return winereg.read_key(raw)
    except winereg.RegistryError as e:
        raise Stop(f"{top.shown('user.reg')}: {e}; nothing changed") from None


def import_reg(prefix, data):
    """`wine reg import` of a .reg file holding DATA, then waits until the
    server has written user.reg. The file lives in a private temporary
    folder, removed afterwards; False when reg failed."""
    folder = tempfile.mkdtemp(prefix="wine-bridge-")
    try:
        path = os.path.join(folder, "value.reg")
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        windows_path = "Z:" + os.path.realpath(path).replace("/", "\\")
        status = _run(prefix, ["wine", "reg", "import", windows_path], 120)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    if not server_ended(prefix, 60):
        raise Stop(f"the wine server of {escape(prefix)} did not end after reg import: what it wrote cannot be "
                   "read back")
    return status == 0
