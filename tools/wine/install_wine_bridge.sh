#!/usr/bin/env bash
# The installer is tools/wine/install_wine_bridge.py (--help describes it);
# this keeps the name people and scripts type. pycache_prefix: a folder that
# is not there, so no planted __pycache__ bytecode (which -B still reads) runs.
exec /usr/bin/python3 -B -E -s -X pycache_prefix=/nonexistent "$(dirname "$0")/install_wine_bridge.py" "$@"
