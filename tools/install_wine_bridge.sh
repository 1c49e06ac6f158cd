#!/usr/bin/env bash
# The command people type; the tool lives in tools/wine/.
exec bash "$(dirname "$0")/wine/install_wine_bridge.sh" "$@"
