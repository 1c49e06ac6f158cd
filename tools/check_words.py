#!/usr/bin/python3
"""Checks that what the docs say about the code names things that exist and
quotes texts the tool really shows.

- Every name in backticks in docs/*.md, README.md and simulator/README.md
  that is not a plain lower-case word must exist in the code (every tracked
  file but the docs and this check): a path under a folder of the tree must be
  there or be named by the code, one elsewhere (build/, out/) made by it; a
  test Suite.Name must be a TEST of that suite; any other name must appear in
  the code as a whole word. In a command of the tree's, every word but plain
  lower-case ones, numbers and <placeholders> is a name; in a command of
  others' (EXCEPTIONS), only the tree's paths and -D definitions are.
- Every text in double quotes there and in the package README must be a
  string of the code, and so must an indented line that starts with "***"
  (a verdict line): a message of res/messages.def or a literal of the
  program, tools or simulator (never of a test), whole, or its start when
  the quote ends in "..."; a message that takes a value ("Operating System: ")
  may be quoted with one, and a quote may name a section of its own file.
- Each text of the release zip (the package README among them), filled in
  by the release tools' own code, has no @FIELD@ left and no line over 76
  characters, and every line indented further than its text (four spaces
  or more) that starts with a command (a program on the PATH or one of
  COMMANDS), with the lines its backslashes continue, is a command as
  written: bash -n takes it, and no prompt sign (# or $) stands before it,
  which would make a comment or an error of it when pasted.
Anything else must be in EXCEPTIONS with why. One line per finding,
file:line: what is wrong; exit status 1 if there is any.

  tools/check_words.py
"""
import glob
import os
import re
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools/release/slotbench_release"))
sys.dont_write_bytecode = True  # nothing of this check lands in the tree

NAME_DOCS = ["README.md", "simulator/README.md"] + sorted(glob.glob("docs/*.md", root_dir=ROOT))
QUOTE_DOCS = NAME_DOCS + ["docs/release/README.txt"]
PACKAGE_README_WIDTH = 76
# The package README's table of its files, and the list of what the zip holds.
PACKAGE_TABLE = "What is in this package"
LIST = "tools/release/slotbench_release/release_zip.py"

# Names and quotes the code does not hold, each on purpose.
EXCEPTIONS = {
    # Commands of the system and of other projects, run as the docs show.
    "adduser": "Debian's command", "apt-get": "Debian's command", "cmake": "the build tool",
    "ctest": "CMake's test runner", "git": "version control", "ln": "a shell command",
    "rm": "a shell command", "umount": "a shell command", "wineboot": "wine's command",
    "wineserver": "wine's command", "CC": "make's variable", "CFLAGS": "make's variable",
    "CXXFLAGS": "make's variable", "LDFLAGS": "make's variable", "MAKEFLAGS": "make's variable",
    "CMAKE_*": "CMake's variables", "<windows.h>": "the Windows SDK header",
    "fs:[0]": "the x86 register that heads the exception-frame chain",
    "open": "the C library call Debian's library makes",
    "O_RDWR|O_NOCTTY|O_NONBLOCK": "the flags Debian's library passes",
    "libctapi.so": "the name other Linux CT-API libraries go by",
    "err:module:import_dll": "wine's loader message",
    "...SlotBench.exe": "the program's path in wine's loader message",
    "failed (error c000007b)": "the end of wine's loader message for a DLL of the other kind",
    "exe: Inappropriate ioctl for device": "what Debian's library prints before it ends the program",
    # Texts of Windows, PowerShell and wine, which the docs tell the user to look for.
    "Details": "Windows' Properties tab", "Digital Signatures": "Windows' Properties tab",
    "Product version": "Windows' Properties field", "Start in": "Windows' shortcut field",
    "This digital signature is OK": "Windows' signature window", "Thumbprint": "Windows' certificate window",
    "Valid": "PowerShell's signature status", "NotSigned": "PowerShell's signature status",
    "The application was unable to start correctly (0xc000007b)": "Windows' loader box",
    "MS Sans Serif": "the font the dialog asks for",
    "Invalid argument": "the C library's error text",
    # Not the tool's words but the doc's own.
    "Test Fail": "the end of both Fail verdict lines (103, 105)",
    "the log before the crashed session": "what the old log is not, in the doc's words",
    "$check": "a shell variable of the README's own commands",
    "QSX 7100-K": "the terminal's model, which the tool's texts contain",
    "no SEH": "Windows' name for the flag the release check refuses",
    "Wine cannot find any usable hardware library, ctapi32.dll not working.": "wine's message",
    "Bad EXE format": "wine's message for a 64-bit program in a 32-bit prefix",
    "certutil -hashfile x86\\SlotBench.exe SHA256": "a Windows command line",
    "certutil": "Windows' command",
    "dosdevices/com1": "wine's link for COM1 in a prefix",
    "KIND": "stands for the kind of fault in the scenario syntax above it",
    "dad<<4 | sad": "the NAD byte as an expression of the two addresses",
    "@FIELD@": "stands for any of the package README's fields",
    "\\Device\\Serial0": "wine's name for a serial port",
    "\\Device\\Serial1": "wine's name for a serial port",
    "IN>OUT": "the simulator trace's notation for a call's lengths",
    "lenr=65535>..": "the simulator trace's notation for a call's lengths",
    "release: not in the commit: app/new.cpp (git add it?)": "an example refusal about a file of the user's",
}
# The package README's commands, known here also where the check runs
# without them.
COMMANDS = {"adduser", "apt-get", "chgrp", "chmod", "cp", "dpkg", "ln", "ls", "mount", "rm", "su", "sudo",
            "umount", "wine", "wineserver"}
# Backticked spans the docs use as notation, not names.
NOT_A_NAME = re.compile(r'([0-9A-F]{2}){2,}|(\.\. )?[0-9A-F]{2}( [0-9A-F]{2})*|"?\d+(\.\d+)*"?|[-#]|\*\w+|#.*|\\[ux]\w+')


def tracked():
    out = subprocess.run(["git", "-C", ROOT, "ls-files"], capture_output=True, text=True, check=True)
    return out.stdout.split("\n")[:-1]


def is_doc(path):
    # This check and its fooling table name what it looks for: they are no evidence.
    return path.endswith((".md", "README.txt")) or path.startswith(("docs/", "tests/docs/")) or \
        path == "tools/check_words.py"


def code_texts(files):
    """Each code file's text, by its path."""
    texts = {}
    for path in files:
        if is_doc(path):
            continue
        try:
            with open(os.path.join(ROOT, path), encoding="utf-8") as f:
                texts[path] = f.read()
        except (UnicodeDecodeError, IsADirectoryError, FileNotFoundError):
            pass  # binary files name nothing
    return texts


def literals(corpus):
    found = set()
    for match in re.finditer(r'"((?:[^"\\\n]|\\.)*)"' + r"|'((?:[^'\\\n]|\\.)*)'", corpus):
        text = match.group(1) if match.group(1) is not None else match.group(2)
        text = text.replace("\\n", "").replace('\\"', '"').replace("\\'", "'").replace("\\\\", "\\")
        found.add(" ".join(text.split()))
    found.discard("")
    return found


def messages():
    with open(os.path.join(ROOT, "res/messages.def"), encoding="ascii") as f:
        return [m.replace("\\n", "") for m in re.findall(r'^MESSAGE\(\d+, "(.*)"\)$', f.read(), re.M)]


def in_code(name, corpus):
    for form in {name, name.replace("\\", "\\\\")}:
        if re.search(r"(?<![\w-])" + re.escape(form) + r"(?![\w-])", corpus):
            return True
    return False


PLACEHOLDER = r"(?:\$\{?\w+\}?|\{[^}]*\}|<[^>]*>)+"


def made_by_code(path, corpus):
    """Whether the code writes out `path` (outside the tree), or at least its last part, with a
    <placeholder> or a version standing for a variable of the code."""
    def pattern(text):
        parts = re.split(r"(<[^>]*>|\*|\d+(?:\.\d+){3})", text)
        return "".join(PLACEHOLDER if i % 2 else re.escape(p) for i, p in enumerate(parts))
    last = path.split("/")[-1]
    return any(re.search(r"(?<![\w-])" + pattern(t) + r"(?![\w-])", corpus) for t in (path, last) if t)


def name_problem(name, files, folders, corpus):
    """Why `name` does not exist in the code, or None."""
    if name in EXCEPTIONS or NOT_A_NAME.fullmatch(name) or name.startswith("-DCMAKE_"):
        return None
    call = re.fullmatch(r"([\w.:@]+)\((.*)\)", name, re.S)
    if call:
        return name_problem(call.group(1), files, folders, corpus)
    define = re.fullmatch(r"-D(\w+)=(\S*)", name)
    if define:  # a CMake variable of the tree's own, and its value if a path
        return name_problem(define.group(1), files, folders, corpus) or (
            name_problem(define.group(2), files, folders, corpus) if "/" in define.group(2) else None)
    if re.fullmatch(r"\w+=", name):  # a key of a key=value file: the code reads the key
        name = name[:-1]
    words = name.split()
    if len(words) > 1 and words[0] in EXCEPTIONS:  # a command of others': the tree's paths in it
        problems = [name_problem(w, files, folders, corpus) for w in words[1:] if "/" in w or w.startswith("-D")]
        return next((p for p in problems if p), None)
    if len(words) > 1:  # a command or a line: its names
        problems = [name_problem(w.strip(",;"), files, folders, corpus) for w in words
                    if w == words[0] or not re.fullmatch(r"[a-z]+|[A-Z]+|\S*\d\S*|\[.*|.*\]|[-.&|]+", w)]
        problems = [p for p in problems if p]
        return problems[0] if problems else None
    name = re.sub(r"\[:?N\]$|:N$|\.h/\.cpp$", lambda m: ".h" if "h" in m.group() else "", name)
    test = re.fullmatch(r"([A-Z]\w*)\.([A-Z]\w*)", name)
    if test and re.search(r"TEST(_F|_P)?\(\s*%s,\s*%s\s*\)" % test.groups(), corpus):
        return None
    if test and test.group(1).endswith("Test"):
        return "no test " + name
    if "/" in name and not name.startswith(("/", "~", "$", "C:\\")):
        path = name.rstrip("/")
        path = re.sub(r"\{(\w+),\w+\}", r"\1", path)  # {x86,x64}: the first stands for both
        pattern = re.escape(path).replace(r"\*", "[^/]*")
        pattern = re.sub(r"<[^>]*>", "[^/]+", pattern.replace(r"\<", "<").replace(r"\>", ">"))
        last = re.sub(r"<[^>]*>|\*", "", path.split("/")[-1])
        if path.split("/")[0] in folders:
            # In the tree, or named by the code, or made by it in a folder of the tree.
            parent = pattern.rsplit("/", 1)[0]
            if any(re.fullmatch(pattern + "(/.*)?", f) for f in files) or in_code(path, corpus):
                return None
            if in_code(last, corpus) and any(re.fullmatch(parent + "/.*", f) for f in files):
                return None
            return "no such file or folder " + name
        return None if made_by_code(path, corpus) else "nothing in the code makes " + name
    if name.startswith(("/", "~", "$", "C:\\")):
        return None  # the system's and the user's own files
    if in_code(name, corpus) or any(f.split("/")[-1] == name for f in files):
        return None
    if re.fullmatch(r"\w+", name) and re.search(r"(?<!\w)%s(?!\w)" % name, "\n".join(files)):
        return None  # the name of a folder or a test case's file
    return "not in the code: " + name


def doc_text(path):
    """The doc with code blocks blanked, line breaks kept."""
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        text = f.read()
    return re.sub(r"```.*?```", lambda m: re.sub(r"[^\n]", " ", m.group()), text, flags=re.S)


def line_of(text, offset):
    return text.count("\n", 0, offset) + 1


def check_names(files, folders, corpus):
    for path in NAME_DOCS:
        text = doc_text(path)
        for match in re.finditer(r"`([^`]+)`", text):
            name = " ".join(match.group(1).split())
            if re.fullmatch(r"[a-z]+", name):
                continue
            problem = name_problem(name, files, folders, corpus)
            if problem:
                yield f"{path}:{line_of(text, match.start())}: {problem}"


def quote_ok(quote, texts, prefixes, headings):
    if quote in EXCEPTIONS or quote in texts or quote.startswith("$"):
        return True
    if any(h == quote or h.startswith(quote + " (") for h in headings):
        return True  # a section of the same file, by its name
    for template in (t for t in texts if "{" in t):  # a text with values filled in
        parts = re.split(r"\{[^}]*\}", template)
        if len(parts) > 1 and len("".join(parts)) >= 12 and re.fullmatch(".+".join(map(re.escape, parts)), quote):
            return True
    start = re.sub(r"\s*(\.\.\.|…)$", "", quote)
    if start != quote and any(t.startswith(start) for t in texts):
        return True
    # A message that takes a value, quoted with one.
    return any(quote.startswith(p) and (quote[len(p):].strip() in texts or start != quote) for p in prefixes)


def check_quotes(corpus):
    table = messages()
    texts = literals(corpus) | {" ".join(m.split()) for m in table}
    prefixes = [" ".join(m.split()) for m in table if m.endswith((" ", ":"))]
    for path in QUOTE_DOCS:
        text = re.sub(r"`(?:[^`\n]|\n(?!\s*\n))+`", lambda m: re.sub(r"[^\n]", " ", m.group()), doc_text(path))
        headings = set(re.findall(r"^#+ (.*)$|^(.+)\n-{3,}$", text, re.M))
        headings = {h for pair in headings for h in pair if h}
        # Quoted, or shown on a line of its own as a verdict line is.
        for match in re.finditer(r'"([^"]+)"|^ +(\*\*\* .*)$', text, re.M):
            quote = " ".join((match.group(1) or match.group(2)).split())
            if not quote_ok(quote, texts, prefixes, headings):
                yield f'{path}:{line_of(text, match.start())}: the code has no text "{quote}"'


def check_package_readme():
    """Every text of the release zip (release_zip's list), filled in as
    the release fills it: the package README and any text added beside it."""
    import export  # the release tools' own reading of the version
    import package  # and their own filling-in
    import release_zip  # and their one list of what the zip holds
    for path in [entry.source for entry in release_zip.CONTENTS if entry.kind == "text"]:
        try:
            filled = package.text(ROOT, path, export.tree_version(ROOT)).decode("ascii").split("\r\n")
        except package.Refused as refusal:
            yield f"{path}:1: {refusal}"
            continue
        except OSError as error:
            yield f"{LIST}:1: lists the text {path}, which cannot be read ({error.strerror})"
            continue
        except UnicodeDecodeError:
            yield f"{path}:1: not plain ASCII once filled in"
            continue
        for number, line in enumerate(filled, 1):
            if len(line) > PACKAGE_README_WIDTH:
                yield f"{path}:{number}: {len(line)} characters once filled in, over {PACKAGE_README_WIDTH}"
        for number, why in command_problems(filled):
            yield f"{path}:{number}: {why}"
        if path == package.README:
            for name in unlisted(filled, [entry.name for entry in release_zip.CONTENTS] + [release_zip.SUMS]):
                yield f"{path}:1: no line for {name} in its table \"{PACKAGE_TABLE}\", which {LIST} puts in the zip"


def unlisted(lines, names):
    """The names of zip entries (/ shown as Windows shows it, \\) that the
    package README's table of the package's files has no line for."""
    try:
        start = lines.index(PACKAGE_TABLE) + 2  # below its underline
    except ValueError:
        return list(names)
    listed = set()
    for line in lines[start:]:
        if line and not line.startswith(" "):  # the next paragraph
            break
        if line.startswith("  ") and not line.startswith("   "):
            listed.add(line.split()[0])
    return [name for name in names if name.replace("/", "\\") not in listed]


def is_command(word):
    return word in COMMANDS or (re.fullmatch(r"[a-z][\w.+-]*", word) is not None and shutil.which(word) is not None)


def command_problems(lines):
    """(line number, why) for each indented command line that is not one as written."""
    number = 0
    while number < len(lines):
        line = lines[number]
        number += 1
        words = line.split()
        if not line.startswith("    ") or not words:
            continue
        prompt = words[0] in ("#", "$") and len(words) > 1 and is_command(words[1])
        if not prompt and not is_command(re.sub(r"^(\w+=\S*\s+)+", "", line.strip()).split()[0]):
            continue
        start = number
        command = line
        while command.endswith("\\") and number < len(lines):
            command += "\n" + lines[number]
            number += 1
        if prompt:
            yield start, f"a prompt sign before the command: pasted, it runs nothing ({line.strip()})"
            continue
        run = subprocess.run(["bash", "-n", "-c", command], capture_output=True, text=True)
        if run.returncode != 0:
            yield start, f"not a command as written: {line.strip()}"


def main():
    files = tracked()
    folders = {f.split("/")[0] for f in files if "/" in f}
    texts = code_texts(files)
    corpus = "\n".join(texts.values())
    # A text only a test holds is no text the tool shows.
    own_corpus = "\n".join(t for path, t in texts.items() if not path.startswith(("tests/", "fuzz/", "bench/")))
    problems = [*check_names(files, folders, corpus), *check_quotes(own_corpus), *check_package_readme()]
    for problem in problems:
        print(problem)
    if problems:
        print(f"check_words: {len(problems)} finding(s)", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
