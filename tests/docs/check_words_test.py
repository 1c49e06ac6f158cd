#!/usr/bin/python3
"""The docs check against doc text written to fool it: each row is a name or a
quote and whether the check must let it pass.

  tests/docs/check_words_test.py
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../tools"))
import check_words  # noqa: E402

FILES = ["log/result_log.cpp", "tests/e2e/run_e2e.sh", "tests/host/result_log_test.cpp"]
FOLDERS = {"log", "tests"}
CORPUS = '#!/usr/bin/env bash\ncmake -B build/host\nvoid CSlotBenchDlg::LogText(std::string text);\nTEST_F(ResultLogTest, Kept) {}\nTEST(BridgeTimeout, Waits) {}\nmkdir -p out/release\n' \
         'zip="out/release/SlotBench-$version-windows.zip"\n'
NAMES = [  # backticked text, the start of what the check must say (None: it passes)
    ("LogText", None), ("LogText(text)", None), ("LogTexts", "not in the code"),
    ("Decade", "not in the code"), ("CSlotBenchDlg::LogText", None),
    ("ResultLogTest.Kept", None), ("ResultLogTest.Lost", "no test"),
    ("BridgeTimeout.Waits", None), ("BridgeTimeout.Lost", "not in the code"),
    ("tests/e2e/run_e2e.sh", None), ("tests/e2e/no_such.sh", "no such file"), ("tests/", None),
    ("bash tests/e2e/run_e2e.sh CASE", None), ("bash tests/nosuch.sh", "no such file"),
    ("ctest --test-dir build/host -R NAME", None),
    ("out/release/SlotBench-<version>-windows.zip", None), ("out/release/SlotBench-1.0.1.0-windows.zip", None),
    ("out/release/SlotBench-<version>-linux.zip", "nothing in the code makes"),
    ("90 00", None), ("20 12 01 00 01 3C", None), ("e2e", None), ("ult", "not in the code"),
]
TEXTS = {"Error : the log file can not be opened", "Com Error Terminal", "Windows XP",
         "trusted through the CA in {path} (SHA-256 {digest})", "{key}: {value}"}
PREFIXES = ["Operating System:"]
QUOTES = [  # quoted text, whether it passes
    ("Error : the log file can not be opened", True), ("Error : the log file cannot be opened", False),
    ("Com Error ...", True), ("Com Error Terminal", True), ("Zzz ...", False),
    ("Operating System: Windows XP", True), ("Operating System: Windows 12", False),
    ("trusted through the CA in FILE (SHA-256 ...)", True), ("anything: at all", False),
    ("Valid", True), ("Invalid", False), ("Under wine", True), ("Under", False),
]

COMMAND_LINES = [  # a package README's lines, the numbers of those the check must name
    (["  Get-FileHash x86\\SlotBench.exe", "     wine x86/SlotBench.exe"], []),
    (["     rm ~/.wine/drive_c/windows/syswow64/CT_ORB.dll     (x86)"], [1]),
    (["     wine x86/SlotBench.exe        (or: wine x64/SlotBench.exe)"], [1]),
    (["     # apt-get update", "     $ wine x86/SlotBench.exe"], [1, 2]),
    (["     wine reg add 'HKCU\\Software\\Wine\\ctapi32' /v library \\", "       /d libctapimkt.so.1 /f"], []),
    (["     wine reg add 'HKCU\\Software \\", "       /d libctapimkt.so.1 /f"], [1]),
    (["     WINEPREFIX=~/p wine reg delete 'HKCU\\x' /f'"], [1]),
    (["     Wine cannot find any usable hardware library, ctapi32.dll not working.",
      "     L\"...SlotBench.exe\") not found", "   wine refuses it with (a note)"], []),
]

PACKAGE_TABLE = ["What is in this package", "-----------------------", "", "  x86\\SlotBench.exe   the program.",
                 "                      CHANGES.txt is not this table's", "  README.txt          this file.", "",
                 "Each program is a single file.", "  CHANGES.txt         after the table"]
TABLES = [  # entry names, those the table above lacks
    (["x86/SlotBench.exe", "README.txt"], []),
    (["x86/SlotBench.exe", "README.txt", "CHANGES.txt"], ["CHANGES.txt"]),
]


def main():
    wrong = []
    for name, said in NAMES:
        problem = check_words.name_problem(name, FILES, FOLDERS, CORPUS)
        if (problem is None) != (said is None) or (said and not problem.startswith(said)):
            wrong.append(f"`{name}`: {problem!r}, not {said!r}")
    for quote, passes in QUOTES:
        if check_words.quote_ok(quote, TEXTS, PREFIXES, {"Under wine (Linux)"}) != passes:
            wrong.append(f'"{quote}" should {"pass" if passes else "fail"}')
    for lines, named in COMMAND_LINES:
        found = [number for number, _ in check_words.command_problems(lines)]
        if found != named:
            wrong.append(f"{lines}: lines {found} named, not {named}")
    for names, lacked in TABLES:
        if check_words.unlisted(PACKAGE_TABLE, names) != lacked:
            wrong.append(f"{names}: {check_words.unlisted(PACKAGE_TABLE, names)} unlisted, not {lacked}")
    for line in wrong:
        print(line)
    print(f"check_words_test: {len(NAMES) + len(QUOTES) + len(COMMAND_LINES) + len(TABLES) - len(wrong)} of {len(NAMES) + len(QUOTES) + len(COMMAND_LINES) + len(TABLES)} as they should")
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
