"""What the release tools ask git about a commit and the checkout, asked so
that nothing but the commit's own objects decides the answer.

  export.py release ROOT REV         "COMMIT VERSION DATE" of commit REV: its
                                     full id, res/version.h's version there,
                                     its time (seconds since 1970)
  export.py version ROOT             res/version.h's version in the work tree
  export.py tree ROOT COMMIT FOLDER  the commit's files, byte for byte
  export.py changes ROOT             files of HEAD that differ in the work tree
  export.py untracked ROOT           files HEAD lacks that its .gitignore
                                     does not name
  export.py toplevel ROOT            the top folder of ROOT's working tree
  export.py unignored PATH           PATH relative to the git working tree it
                                     lies in, if git does not ignore it there

git archive and checkout pass a commit's files through attributes, filters
and line-end conversion, which ~/.gitconfig, .git/config and
.git/info/attributes can set, and replace refs can swap any object: a
release of one commit could then differ with whoever builds it; git status
runs the repository's filters and fsmonitor too. Here git runs with no
configuration but the repository's own, no replace refs and an empty HOME,
and is asked only for ids (rev-parse) and raw objects (cat-file --batch),
each checked against its id before use: a forged object in a shared store
is refused. Files are written from those blobs, and the working tree is
compared with them directly. Every refusal is one line on stderr and exit
status 1.
"""
import atexit
import fnmatch
import hashlib
import os
import re
import stat
import subprocess
import sys
import tempfile

from text import Refused, escape, one_line_main

VERSION_LINE = re.compile(rb'^#define SLOTBENCH_VERSION_TEXT (.*)$', re.M)
# Four parts, each a 16-bit number: what a version resource can hold.
FOUR_PARTS = re.compile(rb'"([0-9]{1,5}(?:\.[0-9]{1,5}){3})"')
OBJECT_ID = re.compile(rb"[0-9a-f]{40}|[0-9a-f]{64}")
# Only these, whatever the caller's environment holds: other GIT_*
# variables could point git at another repository, index or object store.
KEPT = ("PATH", "LANG", "LC_ALL", "TZ")
_home = None


def environment():
    global _home
    if _home is None:
        _home = tempfile.mkdtemp(prefix="slotbench-git-home.")  # empty: no ~/.gitconfig, no ~/.config/git
        atexit.register(os.rmdir, _home)
    env = {name: os.environ[name] for name in KEPT if name in os.environ}
    env.setdefault("PATH", "/usr/bin:/bin")
    env.update(HOME=_home, GIT_CONFIG_NOSYSTEM="1", GIT_CONFIG_GLOBAL="/dev/null", GIT_NO_REPLACE_OBJECTS="1",
               GIT_TERMINAL_PROMPT="0")
    return env


def git(root, *arguments, stdin=None, check=True):
    """git's output; a failure is a Refused with git's first line of complaint."""
    # core.fsmonitor: a command the repository's config could have status run.
    result = subprocess.run(["git", "-c", "core.fsmonitor=false", "-C", root, *arguments], input=stdin,
                            capture_output=True, env=environment(),
                            stdin=None if stdin is not None else subprocess.DEVNULL)
    if check and result.returncode != 0:
        said = result.stderr.decode("utf-8", "replace").strip().splitlines()
        raise Refused(f"git {arguments[0]} failed: {said[0] if said else f'exit status {result.returncode}'}")
    return result


def commit_id(root, rev):
    found = git(root, "rev-parse", "-q", "--verify", "--end-of-options", f"{rev}^{{commit}}", check=False)
    commit = found.stdout.strip()
    if found.returncode != 0 or not OBJECT_ID.fullmatch(commit):
        raise Refused(f"no commit {escape(rev)} in this repository")
    return commit.decode("ascii")


class Objects:
    """The repository's objects through one `git cat-file --batch`, each
    checked against its id: git reads loose objects, packs and alternates
    without checking them, and a forged one in a shared store would be
    exported, built and signed as the commit's."""

    def __init__(self, root):
        fmt = git(root, "rev-parse", "--show-object-format", check=False)
        if fmt.returncode != 0 or fmt.stdout.strip() != b"sha1":
            raise Refused("this repository's objects are not named by SHA-1: the release tools check only SHA-1 ids")
        self.batch = subprocess.Popen(["git", "-C", root, "cat-file", "--batch"], stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=environment())
        self.trees = {}

    def close(self):
        self.batch.stdin.close()
        self.batch.stdout.close()
        self.batch.wait()

    def read(self, oid, kind):
        """The object's bytes, after checking them against oid (hex bytes)."""
        # One request at a time, answered before the next: no pipe fills up.
        self.batch.stdin.write(oid + b"\n")
        self.batch.stdin.flush()
        header = self.batch.stdout.readline().split()
        if len(header) != 3 or header[0] != oid or header[1] != kind:
            raise Refused(f"git cat-file gave no {kind.decode()} {oid.decode()}")
        size = int(header[2])
        data = self.batch.stdout.read(size)
        if len(data) != size or self.batch.stdout.read(1) != b"\n":
            raise Refused(f"git cat-file cut object {oid.decode()} short")
        if hashlib.sha1(kind + b" %d\0" % size + data).hexdigest().encode() != oid:
            raise Refused(f"object {oid.decode()} in this repository is not what its id says (forged or damaged):"
                          " run `git fsck`, or build from a fresh clone")
        return data

    def commit(self, oid):
        """(tree id, committer time) of a commit, checked."""
        body = self.read(oid, b"commit")
        head = body.split(b"\n\n", 1)[0].split(b"\n")
        tree = head[0][5:] if head[0].startswith(b"tree ") else b""
        if not OBJECT_ID.fullmatch(tree):
            raise Refused(f"commit {oid.decode()[:12]} names no tree")
        when = [line for line in head if line.startswith(b"committer ")]
        found = re.search(rb"> (-?[0-9]+) [-+][0-9]{4}$", when[0]) if when else None
        if not found:
            raise Refused(f"commit {oid.decode()[:12]} has no committer time")
        return tree, int(found.group(1))

    def files(self, tree, commit, prefix=b""):
        """(mode, blob id, path) of every file under tree, read from the
        checked tree objects (<mode> <name>\\0<20-byte id> each)."""
        data = self.read(tree, b"tree")
        at = 0
        while at < len(data):
            space = data.find(b" ", at)
            nul = data.find(b"\0", space + 1)
            if space < 0 or nul < 0 or nul + 21 > len(data):
                raise Refused(f"tree {tree.decode()} of commit {commit[:12]} is malformed")
            mode, name = data[at:space], data[space + 1:nul]
            oid = data[nul + 1:nul + 21].hex().encode()
            at = nul + 21
            path = prefix + name
            shown = escape(os.fsdecode(path))
            if name in (b"", b".", b"..") or b"/" in name or name.lower() == b".git":
                raise Refused(f"{shown} in commit {commit[:12]} is no path to write a file to")
            if mode == b"40000":
                yield from self.files(oid, commit, path + b"/")
            elif mode == b"120000":
                raise Refused(f"{shown} is a symbolic link in commit {commit[:12]}: a release holds files only;"
                              " commit the file itself")
            elif mode == b"160000":
                raise Refused(f"{shown} is a submodule in commit {commit[:12]}: a release is built from one"
                              " repository; commit its files instead")
            elif mode not in (b"100644", b"100755"):
                raise Refused(f"{shown} has git mode {mode.decode('ascii', 'replace')} in commit {commit[:12]}")
            else:
                yield mode, oid, path


def checked(root, commit):
    """(objects, committer time, files) of a commit, its objects checked."""
    commit = commit_id(root, commit)
    objects = Objects(root)
    tree, date = objects.commit(commit.encode())
    return objects, date, list(objects.files(tree, commit))


def release(root, rev):
    """(commit, version, date) of a commit, its objects read once."""
    commit = commit_id(root, rev)
    objects, date, listed = checked(root, commit)
    try:
        header = next((objects.read(oid, b"blob") for _, oid, path in listed if path == b"res/version.h"), None)
    finally:
        objects.close()
    return commit, version_in(header, f"res/version.h of commit {commit[:12]}"), zip_date(commit, date)


def version_in(header, where):
    """SLOTBENCH_VERSION_TEXT of res/version.h's bytes: one line of it,
    "a.b.c.d", each part a 16-bit number. The build (cmake/version.cmake)
    and every release tool read it by this rule."""
    found = VERSION_LINE.findall(header or b"")
    parts = FOUR_PARTS.fullmatch(found[0]) if len(found) == 1 else None
    if not parts or any(int(part) > 0xFFFF for part in parts.group(1).split(b".")):
        raise Refused(f"{where} has no single '#define SLOTBENCH_VERSION_TEXT \"a.b.c.d\"' line, each part at most"
                      " 65535: write it so")
    return parts.group(1).decode()


def tree_version(root):
    with open(os.path.join(root, "res/version.h"), "rb") as f:
        return version_in(f.read(1 << 20), "res/version.h")


# 2107-12-31 23:59:59 UTC: a zip entry's year has seven bits, from 1980
# (package.py packs an earlier time as 1980).
LAST_ZIP_TIME = 4354819199


def zip_date(commit, date):
    if date > LAST_ZIP_TIME:
        raise Refused(f"commit {commit[:12]} is dated after 2107, which a zip cannot date: commit it again"
                      " (`git commit --amend --no-edit` dates it now)")
    return date


def export(root, commit, folder):
    """Writes the commit's files into folder (new or empty) from their raw,
    checked blobs: no attribute, filter or line-end conversion applies."""
    objects, date, listed = checked(root, commit)
    try:
        folders = set()
        for mode, oid, path in listed:
            data = objects.read(oid, b"blob")
            target = os.path.join(os.fsencode(folder), path)
            parent = os.path.dirname(target)
            os.makedirs(parent, exist_ok=True)
            folders.add(parent)
            # O_EXCL and no links followed: a path is written once, where it says.
            fd = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW,
                         0o755 if mode == b"100755" else 0o644)
            with os.fdopen(fd, "wb") as f:
                f.write(data)
            os.utime(target, (date, date))
    finally:
        objects.close()
    # As git archive dates them: the commit's time.
    for parent in sorted(folders, key=len, reverse=True):
        os.utime(parent, (date, date))


def changes(root):
    """Files of HEAD's commit whose working copy is missing or differs in
    bytes or mode. Compared here, blob by blob, not by git status: that
    runs the repository's filters and fsmonitor, and trusts the index's
    skip-worktree and assume-unchanged marks."""
    objects, _, listed = checked(root, commit_id(root, "HEAD"))
    objects.close()
    out = []
    for mode, oid, path in listed:
        full = os.path.join(os.fsencode(root), path)
        try:
            fd = os.open(full, os.O_RDONLY | os.O_NOFOLLOW)
        except OSError:
            out.append(path)
            continue
        with os.fdopen(fd, "rb") as f:
            info = os.fstat(f.fileno())
            if not stat.S_ISREG(info.st_mode) or (info.st_mode & 0o100 != 0) != (mode == b"100755"):
                out.append(path)
                continue
            data = f.read()
        if hashlib.sha1(b"blob %d\0" % len(data) + data).hexdigest().encode() != oid:
            out.append(path)
    return [escape(os.fsdecode(p)).encode() for p in out]


def untracked(root):
    """Files of the working tree that HEAD's commit lacks, less those its
    .gitignore names (its simple patterns: enough to point at a file
    forgotten in `git add`); git is not asked, it would read the index."""
    commit = commit_id(root, "HEAD")
    objects, _, listed = checked(root, commit)
    try:
        committed = {path for _, _, path in listed}
        ignore = next((objects.read(oid, b"blob") for _, oid, path in listed if path == b".gitignore"), b"")
    finally:
        objects.close()
    patterns = [p.strip() for p in ignore.split(b"\n")]
    patterns = [p for p in patterns if p and not p.startswith((b"#", b"!"))]

    def ignored(relative, is_dir):
        name = relative.rsplit(b"/", 1)[-1]
        for pattern in patterns:
            if pattern.endswith(b"/"):
                if not is_dir:
                    continue
                pattern = pattern[:-1]
            if pattern.startswith(b"/") or b"/" in pattern:
                if fnmatch.fnmatchcase(relative, pattern.lstrip(b"/")):
                    return True
            elif fnmatch.fnmatchcase(name, pattern):
                return True
        return False

    out, top = [], os.fsencode(root)
    for folder, dirs, names in os.walk(top):
        relative_folder = os.path.relpath(folder, top)
        prefix = b"" if relative_folder == b"." else relative_folder + b"/"
        dirs[:] = sorted(d for d in dirs if d != b".git" and not ignored(prefix + d, True))
        for name in sorted(names):
            path = prefix + name
            if path not in committed and not (prefix == b"" and name == b".git") and not ignored(path, False):
                out.append(path)
    return [escape(os.fsdecode(p)).encode() for p in out]


def toplevel(root):
    found = git(root, "rev-parse", "--show-toplevel", check=False)
    if found.returncode != 0:
        said = found.stderr.decode("utf-8", "replace").strip().splitlines()
        dot_git = os.path.join(root, ".git")
        try:
            owner = os.lstat(dot_git).st_uid
        except OSError:
            owner = None
        if owner is not None and owner != os.geteuid():
            raise Refused(f"git does not answer for this checkout: .git belongs to user {owner}, not to"
                          f" you ({os.geteuid()}): run it as the checkout's owner")
        raise Refused(f"git does not answer for this checkout"
                      f" ({escape(said[0]) if said else f'exit status {found.returncode}'}):"
                      " repair .git (core.bare, ...), or build from a fresh clone")
    return found.stdout.rstrip(b"\n")


def unignored(path):
    """path (which need not exist yet) relative to the top of the working
    tree it lies in, when git would take it in with `git add -A`; else None."""
    for candidate in dict.fromkeys([os.path.abspath(path), os.path.realpath(path)]):
        existing = candidate
        while not os.path.isdir(existing):
            existing = os.path.dirname(existing)
        top = git(existing, "rev-parse", "--show-toplevel", check=False)
        if top.returncode != 0:
            continue
        top = os.fsdecode(top.stdout.rstrip(b"\n"))
        full = os.path.normpath(os.path.join(os.path.realpath(existing), os.path.relpath(candidate, existing)))
        relative = os.path.relpath(full, os.path.realpath(top))
        if relative.split(os.sep)[0] == os.pardir:
            continue
        if relative == os.curdir or git(top, "check-ignore", "-q", "--", relative, check=False).returncode != 0:
            return relative
    return None


def lines(paths):
    for path in paths:
        sys.stdout.buffer.write(path + b"\n")


def print_unignored(path):
    found = unignored(path)
    if found is not None:
        print(escape(found))


# Command: (what it prints, its number of arguments).
COMMANDS = {
    "release": (lambda *a: print(*release(*a)), 2),
    "version": (lambda root: print(tree_version(root)), 1),
    "tree": (export, 3),
    "changes": (lambda root: lines(changes(root)), 1),
    "untracked": (lambda root: lines(untracked(root)), 1),
    "unignored": (print_unignored, 1),
    "toplevel": (lambda root: lines([toplevel(root)]), 1),
}


def main(argv):
    command, count = COMMANDS.get(argv[1] if len(argv) > 1 else "", (None, -1))
    if len(argv) != 2 + count:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    return one_line_main("", lambda: command(*argv[2:]))


if __name__ == "__main__":
    sys.exit(main(sys.argv))
