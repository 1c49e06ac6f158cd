#!/usr/bin/env bash
# The command people type; the tool lives in tools/release/.
exec bash "$(dirname "$0")/release/sign_release.sh" "$@"
