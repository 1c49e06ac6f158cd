"""What the release tools ask git about a commit and the checkout, asked so
that nothing but the commit's own objects decides the answer.

  export.py commit ROOT REV          the full id of commit REV
  export.py version ROOT COMMIT      res/version.h's four-part version there
  export.py date ROOT COMMIT         the commit's time (seconds since 1970)
  export.py tree ROOT COMMIT FOLDER  the commit's files, byte for byte
  export.py changes ROOT             tracked files with uncommitted changes
  export.py hidden ROOT              tracked files git status is told to skip
  export.py untracked ROOT           untracked files git does not ignore
  export.py toplevel ROOT            the top folder of ROOT's working tree
  export.py unignored PATH           PATH relative to the git working tree it
                                     lies in, if git does not ignore it there

git archive and checkout pass a commit's files through attributes, filters
and line-end conversion, which ~/.gitconfig, .git/config and
.git/info/attributes can set, and replace refs can swap any object: a
release of one commit could then differ with whoever builds it. Here git
runs with no configuration but the repository's own, no replace refs and
an empty HOME, and files are written from the raw blobs. Every refusal is
one line on stderr and exit status 1.
"""
import atexit
import os
import re
import stat
import subprocess
import sys
import tempfile
import threading

import text

VERSION_LINE = re.compile(rb'^#define SLOTBENCH_VERSION_TEXT "([0-9.]*)"$', re.M)
FOUR_PARTS = re.compile(r"[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+")
OBJECT_ID = re.compile(rb"[0-9a-f]{40}|[0-9a-f]{64}")
# Only these, whatever the caller's environment holds: other GIT_*
# variables could point git at another repository, index or object store.
KEPT = ("PATH", "LANG", "LC_ALL", "TZ")
_home = None


class Refusal(Exception):
    pass


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
    """git's output; a failure is a Refusal with git's first line of complaint."""
    # core.fsmonitor: a command the repository's config could have status run.
    result = subprocess.run(["git", "-c", "core.fsmonitor=false", "-C", root, *arguments], input=stdin,
                            capture_output=True, env=environment(),
                            stdin=None if stdin is not None else subprocess.DEVNULL)
    if check and result.returncode != 0:
        said = result.stderr.decode("utf-8", "replace").strip().splitlines()
        raise Refusal(f"git {arguments[0]} failed: {said[0] if said else f'exit status {result.returncode}'}")
    return result


def commit_id(root, rev):
    found = git(root, "rev-parse", "-q", "--verify", "--end-of-options", f"{rev}^{{commit}}", check=False)
    commit = found.stdout.strip()
    if found.returncode != 0 or not OBJECT_ID.fullmatch(commit):
        raise Refusal(f"no commit {text.escape(rev)} in this repository")
    return commit.decode("ascii")


def blob_at(root, commit, path):
    found = git(root, "cat-file", "blob", f"{commit}:{path}", check=False)
    return found.stdout if found.returncode == 0 else None


def version_at(root, commit):
    header = blob_at(root, commit, "res/version.h")
    found = VERSION_LINE.search(header) if header is not None else None
    version = found.group(1).decode() if found else ""
    if not FOUR_PARTS.fullmatch(version):
        raise Refusal(f"commit {commit[:12]} has no four-part SLOTBENCH_VERSION_TEXT in res/version.h")
    return version


def date_at(root, commit):
    return int(git(root, "show", "-s", "--format=%ct", commit).stdout.strip())


def entries(root, commit):
    """(mode, object id, path) of every file in the commit's tree."""
    listing = git(root, "ls-tree", "-r", "-z", "--full-tree", commit).stdout
    for record in listing.split(b"\0"):
        if not record:
            continue
        meta, path = record.split(b"\t", 1)
        mode, kind, oid = meta.split(b" ")
        shown = text.escape(os.fsdecode(path))
        if mode == b"120000":
            raise Refusal(f"{shown} is a symbolic link in commit {commit[:12]}: a release holds files only;"
                          " commit the file itself")
        if mode == b"160000" or kind != b"blob":
            raise Refusal(f"{shown} is a submodule in commit {commit[:12]}: a release is built from one"
                          " repository; commit its files instead")
        if mode not in (b"100644", b"100755"):
            raise Refusal(f"{shown} has git mode {mode.decode('ascii', 'replace')} in commit {commit[:12]}")
        parts = path.split(b"/")
        if any(p in (b"", b".", b"..") or p.lower() == b".git" for p in parts):
            raise Refusal(f"{shown} in commit {commit[:12]} is no path to write a file to")
        yield mode, oid, path


def export(root, commit, folder):
    """Writes the commit's files into folder (new or empty) from their raw
    blobs: no attribute, filter or line-end conversion applies."""
    listed = list(entries(root, commit))
    date = date_at(root, commit)
    batch = subprocess.Popen(["git", "-C", root, "cat-file", "--batch"], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=environment())
    try:
        # Fed from a thread of its own: git answers while it reads, and both
        # pipes full at once would stop both sides.
        def feed():
            with batch.stdin:
                batch.stdin.write(b"".join(oid + b"\n" for _, oid, _ in listed))
        feeder = threading.Thread(target=feed, daemon=True)
        feeder.start()
        folders = set()
        for mode, oid, path in listed:
            header = batch.stdout.readline().split()
            if len(header) != 3 or header[0] != oid or header[1] != b"blob":
                raise Refusal(f"git cat-file gave no blob {oid.decode()} for {text.escape(os.fsdecode(path))}")
            size = int(header[2])
            data = batch.stdout.read(size)
            if len(data) != size or batch.stdout.read(1) != b"\n":
                raise Refusal(f"git cat-file cut {text.escape(os.fsdecode(path))} short")
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
        batch.stdout.close()
        batch.wait()
    if batch.returncode != 0:
        raise Refusal(f"git cat-file failed (exit status {batch.returncode})")
    # As git archive dates them: the commit's time.
    for parent in sorted(folders, key=len, reverse=True):
        os.utime(parent, (date, date))


def changes(root):
    listing = git(root, "status", "--porcelain", "-z", "--untracked-files=no").stdout
    out, records = [], iter(listing.split(b"\0"))
    for record in records:
        if record:
            out.append(record[3:])
            if record[:1] in (b"R", b"C"):
                next(records, None)  # the name it had
    return out


def hidden(root):
    """Index entries git status does not look at: skip-worktree ('S') and
    assume-unchanged (a lower-case tag)."""
    listing = git(root, "ls-files", "-v", "-z").stdout
    return [r[2:] for r in listing.split(b"\0") if r and (r[:1] == b"S" or r[:1].islower())]


def untracked(root):
    return [p for p in git(root, "ls-files", "-z", "--others", "--exclude-standard").stdout.split(b"\0") if p]


def toplevel(root):
    found = git(root, "rev-parse", "--show-toplevel", check=False)
    if found.returncode != 0:
        raise Refusal(f"{text.escape(root)} is not in a git working tree")
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


def main(argv):
    command, arguments = (argv[1], argv[2:]) if len(argv) > 1 else ("", [])
    try:
        if command == "commit" and len(arguments) == 2:
            print(commit_id(*arguments))
        elif command == "version" and len(arguments) == 2:
            print(version_at(*arguments))
        elif command == "date" and len(arguments) == 2:
            print(date_at(*arguments))
        elif command == "tree" and len(arguments) == 3:
            export(*arguments)
        elif command in ("changes", "hidden", "untracked") and len(arguments) == 1:
            lines(globals()[command](*arguments))
        elif command == "unignored" and len(arguments) == 1:
            found = unignored(*arguments)
            if found is not None:
                print(text.escape(found))
        elif command == "toplevel" and len(arguments) == 1:
            lines([toplevel(*arguments)])
        else:
            print(__doc__.strip(), file=sys.stderr)
            return 2
    except Refusal as refusal:
        print(refusal, file=sys.stderr)
        return 1
    except OSError as error:
        print(f"{text.escape(os.fsdecode(error.filename or ''))}: {error.strerror}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
