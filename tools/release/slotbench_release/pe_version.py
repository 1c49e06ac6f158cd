"""Prints the file version (a.b.c.d) of a Windows program or library, from
the fixed part of its version resource, which res/version.h sets: how a
program found on a PC tells which release to compare it with.

The resource is read as the release check reads it (pe_checks): one
version block of the shape our .rc files write, or none. A file with a
second version entry, language or string table could show Windows' user
one version and this another, so it is answered with no version at all.

  pe_version.py FILE
"""
import sys

import pe_checks
from text import Refused, one_line_main


def version(path):
    try:
        with open(path, "rb") as f:
            return pe_checks.file_version(f.read(pe_checks.MAX_SIZE + 1), path)
    except pe_checks.Fault as fault:
        raise Refused(f"{fault}: no version read from it") from None
    except OSError:
        raise
    except Exception as error:  # attacker-made input: any fault is "no version", never a traceback
        raise Refused(f"{path}: no version resource found ({error or type(error).__name__})") from None


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        sys.exit(2)
    sys.exit(one_line_main("", lambda: print(version(sys.argv[1]))))
