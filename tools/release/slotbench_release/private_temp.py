"""The folder the tools make their temporary folders in (TMPDIR, else
/tmp). Whoever may rename entries of it, or of a folder above it, can swap
a folder made there for one of their own after it was made: the check's
build, its zips and its git HOME would then be theirs. So every folder on
the way must belong to root or to the user, and no one else may write into
it unless its sticky bit keeps each to their own entries (as /tmp's does)."""
import os
import stat
import tempfile

from text import Refused, escape


def use_safe_root():
    """Checks tempfile's folder all the way up and pins tempfile to its
    resolved path, so that no link on the way can be turned elsewhere
    afterwards. Refused, naming the folder, otherwise."""
    root = os.path.realpath(tempfile.gettempdir())
    path = root
    while True:
        info = os.stat(path)
        if info.st_uid not in (0, os.geteuid()):
            raise Refused(f"the temporary folder {escape(root)}: {escape(path)} belongs to user {info.st_uid}: "
                          f"set TMPDIR to a folder of your own")
        if info.st_mode & 0o022 and not info.st_mode & stat.S_ISVTX:
            raise Refused(f"the temporary folder {escape(root)}: others can write into {escape(path)} "
                          f"(mode {stat.S_IMODE(info.st_mode):o}, no sticky bit): set TMPDIR to a folder of your own")
        parent = os.path.dirname(path)
        if parent == path:
            break
        path = parent
    tempfile.tempdir = root
