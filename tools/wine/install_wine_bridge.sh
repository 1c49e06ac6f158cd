#!/usr/bin/env bash
# The installer is tools/wine/install_wine_bridge.py (--help describes it);
# this keeps the name people and scripts type.
exec /usr/bin/python3 -B "$(dirname "$0")/install_wine_bridge.py" "$@"
