"""Files inside a wine prefix, reached only through folders opened without
following links (a link planted at drive_c, windows or system32 would
otherwise carry every write out of the prefix). Nothing here opens a link
for writing: new files are created with O_EXCL|O_NOFOLLOW and renamed into
place, saved files are moved with a rename that replaces nothing."""
import ctypes
import errno
import fcntl
import hashlib
import os
import stat
from dataclasses import dataclass
from typing import Optional

from . import Stop
from .text import escape

_OPEN_DIR = os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC
# O_NONBLOCK: a FIFO planted where a file should be must not hang the read.
_OPEN_READ = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC


@dataclass(frozen=True)
class Identity:
    """What stands at a name: a link and its target, or a file's SHA-256
    and size."""
    link: Optional[bytes] = None
    sha256: Optional[str] = None
    size: Optional[int] = None


class Folder:
    def __init__(self, fd, path):
        self.fd = fd
        self.path = path  # for messages: the user's prefix and the names below it

    @staticmethod
    def open(path):
        """The prefix itself: the user named it, so a link there is followed."""
        try:
            return Folder(os.open(path, _OPEN_DIR), path)
        except OSError as e:
            raise Stop(f"cannot open {escape(path)}: {e.strerror}") from None

    def name(self, name):
        return os.path.join(self.path, name)

    def shown(self, name):
        return escape(self.name(name))

    def sub(self, name):
        try:
            return Folder(os.open(name, _OPEN_DIR | os.O_NOFOLLOW, dir_fd=self.fd), self.name(name))
        except OSError as e:
            if e.errno == errno.ENOENT:
                raise Stop(f"{self.shown(name)} does not exist") from None
            if e.errno in (errno.ELOOP, errno.ENOTDIR):
                kind = "a symbolic link" if self.kind(name) == "link" else "not a folder"
                raise Stop(f"{self.shown(name)} is {kind}: nothing is written through it; nothing changed") from None
            raise Stop(f"cannot open {self.shown(name)}: {e.strerror}") from None

    def close(self):
        os.close(self.fd)

    # ---------------------------------------------------------- looking ---

    def lstat(self, name):
        try:
            return os.stat(name, dir_fd=self.fd, follow_symlinks=False)
        except FileNotFoundError:
            return None

    def kind(self, name):
        """None, "file", "link" or "other" (a folder, a FIFO, ...)."""
        st = self.lstat(name)
        if st is None:
            return None
        if stat.S_ISLNK(st.st_mode):
            return "link"
        return "file" if stat.S_ISREG(st.st_mode) else "other"

    def names(self):
        return os.listdir(self.fd)

    def must_be_absent(self, name, why):
        if self.lstat(name) is not None:
            raise Stop(f"{self.shown(name)} is there ({why}): remove it first; nothing changed")

    def _open_file(self, name, flags, verb, link_refused=True, not_file="", passing=()):
        """A descriptor on the file NAME, never opened through a link. What
        is not a file, a link (when LINK_REFUSED) and any error but those
        PASSING on to the caller end the run: "cannot VERB NAME"."""
        try:
            fd = os.open(name, flags, 0o644, dir_fd=self.fd)
        except passing:
            raise
        except OSError as e:
            if link_refused and e.errno == errno.ELOOP:
                raise Stop(f"{self.shown(name)} is a symbolic link, which this tool never made: remove it first; "
                           "nothing changed") from None
            raise Stop(f"cannot {verb} {self.shown(name)}: {e.strerror}") from None
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            os.close(fd)
            raise Stop(f"{self.shown(name)} is not a file{not_file}")
        return fd

    def read(self, name, limit):
        """The whole file, if it is a file (not a link) of at most LIMIT bytes."""
        with os.fdopen(self._open_file(name, _OPEN_READ, "read"), "rb") as f:
            data = f.read(limit + 1)
        if len(data) > limit:
            raise Stop(f"{self.shown(name)} is larger than this tool ever writes")
        return data

    def identity(self, name):
        """The Identity of what is at NAME (a file is hashed, never followed)."""
        st = self.lstat(name)
        if st is None:
            return None
        if stat.S_ISLNK(st.st_mode):
            return Identity(link=os.readlink(os.fsencode(name), dir_fd=self.fd))
        # Called after changes too, where a link's "nothing changed" would not hold.
        fd = self._open_file(name, _OPEN_READ, "read", link_refused=False)
        digest, size = hashlib.sha256(), 0
        with os.fdopen(fd, "rb") as f:
            while True:
                block = f.read(1 << 20)
                if not block:
                    break
                digest.update(block)
                size += len(block)
        return Identity(sha256=digest.hexdigest(), size=size)

    # ---------------------------------------------------------- writing ---

    def write_new(self, name, data):
        """A new file NAME holding DATA: created here, by this call, or not
        at all (a file or link already there is refused, never opened)."""
        try:
            fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644,
                         dir_fd=self.fd)
        except FileExistsError:
            raise Stop(f"{self.shown(name)} appeared while this tool worked: remove it first") from None
        except OSError as e:
            raise Stop(f"cannot create {self.shown(name)}: {e.strerror}") from None
        try:
            with os.fdopen(fd, "wb") as f:
                f.write(data)
                f.flush()
                os.fsync(f.fileno())
        except OSError as e:
            os.unlink(name, dir_fd=self.fd)
            raise Stop(f"cannot write {self.shown(name)}: {e.strerror}") from None

    def put_in_place(self, name, new, data, not_done=""):
        """DATA at NAME in one step: written to the new file NEW, then renamed
        over whatever NAME was (a file this tool wrote), unless a link stands
        there now. NOT_DONE ends that refusal's message."""
        self.write_new(new, data)
        if self.kind(name) == "link":
            self.unlink(new)
            raise Stop(f"{self.shown(name)} became a symbolic link while this tool worked{not_done}")
        os.rename(new, name, src_dir_fd=self.fd, dst_dir_fd=self.fd)
        self.fsync()

    def move_aside(self, name, to):
        """Renames NAME to TO, which must not exist: nothing is replaced."""
        _rename_noreplace(self.fd, name, to)

    def unlink(self, name):
        os.unlink(name, dir_fd=self.fd)

    def fsync(self):
        os.fsync(self.fd)

    # ---------------------------------------------------------- locking ---

    def lock(self, name, on_wait):
        """Holds an exclusive flock on NAME (created if missing, never through
        a link) until the process ends; returns whether this call created
        the file. The holder may remove it: a waiter then finds its lock on
        a name that has gone and tries again."""
        not_file = ": remove it first; nothing changed"
        while True:
            try:
                fd = self._open_file(name, _OPEN_READ | os.O_CREAT | os.O_EXCL, "open", not_file=not_file,
                                     passing=FileExistsError)
                created = True
            except FileExistsError:
                try:
                    fd = self._open_file(name, _OPEN_READ, "open", not_file=not_file, passing=FileNotFoundError)
                except FileNotFoundError:
                    continue  # removed by its holder in between
                created = False
            held = os.fstat(fd)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                on_wait()
                fcntl.flock(fd, fcntl.LOCK_EX)
            now = self.lstat(name)
            if now is not None and (now.st_dev, now.st_ino) == (held.st_dev, held.st_ino):
                return created
            os.close(fd)


# renameat2(RENAME_NOREPLACE): Python's os has no rename that refuses to
# replace. Where the file system lacks it, a hard link (which never
# replaces) and an unlink do the same in two steps.
_RENAME_NOREPLACE = 1
_libc = ctypes.CDLL(None, use_errno=True)
_renameat2 = getattr(_libc, "renameat2", None)


def _rename_noreplace(dir_fd, src, dst):
    if _renameat2 is not None:
        if _renameat2(dir_fd, os.fsencode(src), dir_fd, os.fsencode(dst), _RENAME_NOREPLACE) == 0:
            return
        err = ctypes.get_errno()
        if err not in (errno.EINVAL, errno.ENOSYS):
            raise OSError(err, os.strerror(err), dst)
    os.link(src, dst, src_dir_fd=dir_fd, dst_dir_fd=dir_fd, follow_symlinks=False)
    os.unlink(src, dir_fd=dir_fd)
