#!/bin/bash
# windres, given every folder and file it hands its preprocessor through a
# link of a plain name. windres runs the preprocessor through sh, escaping
# only spaces and parentheses: a folder whose name holds a quote would end
# the build (windres_rule.cmake makes this the resource compiler's rule).
#
#   windres.sh WINDRES ARGUMENTS... SOURCE OBJECT
set -euo pipefail
windres=$1
shift
# Beside the object, whose path the build names from the tree's own files.
links=${!#}.folders
rm -rf -- "$links"
mkdir -p -- "$links"
count=0
link() {  # folder: $linked becomes a plain name for it
  count=$((count + 1))
  linked=$links/$count
  ln -s -- "$1" "$linked"
}
arguments=()
while (($#)); do
  if [[ $1 == -I && $# -gt 1 ]]; then
    link "$2"
    arguments+=(-I "$linked")
    shift
  elif (($# == 2)); then
    link "$(dirname -- "$1")"
    arguments+=("$linked/$(basename -- "$1")")
  else
    arguments+=("$1")
  fi
  shift
done
exec "$windres" "${arguments[@]}"
