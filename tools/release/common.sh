# shellcheck shell=bash
# Steps the release tools share, sourced by release.sh, sign_release.sh,
# verify_release.sh and make_trial_certificates.sh. A failure is one line on
# stderr and a non-zero status; the caller's die() says what to do next.

# Debian's Python with its pefile, asn1crypto and cryptography (tools/setup.sh).
# -E: no PYTHONPATH puts another module in place of ours; -s: nor the user's
# site folder; -B: nothing written into the tree; pycache_prefix: a folder
# that is not there, so no __pycache__ of the tree (which -B still reads)
# stands in for a module.
PYTHON=(/usr/bin/python3 -B -E -s -X pycache_prefix=/nonexistent)

# Continues when the shell runs with -p (no function or BASH_ENV from the
# environment stands in for a builtin) and its environment as the kernel
# handed it over (/proc/$$/environ: names bash does not show, exported
# functions among them) is PATH=/usr/bin:/bin, LANG=C.UTF-8 and the kept
# variables alone; otherwise starts the script again so. A kept NAME=VALUE
# is set so, a kept NAME (or PREFIX*) carried over from the environment.
fixed_environment() {  # tool, script, kept..., --, the script's arguments...
  local tool=$1 script=$2 entry name rule count=0 same=1
  local -a kept=() restart=()
  local -A wanted=([PATH]=/usr/bin:/bin [LANG]=C.UTF-8)
  shift 2
  while [[ $1 != -- ]]; do
    kept+=("$1")
    shift
  done
  shift
  [[ -r /proc/$$/environ ]] || { echo "$tool: /proc/$$/environ cannot be read: run it where /proc is mounted" >&2; exit 1; }
  for rule in "${kept[@]}"; do
    [[ $rule != *=* ]] || wanted[${rule%%=*}]=${rule#*=}
  done
  while IFS= read -r -d '' entry; do
    count=$((count + 1))
    name=${entry%%=*}
    [[ -n $name && $entry == *=* ]] || { same=0; continue; }
    for rule in "${kept[@]}"; do
      # shellcheck disable=SC2053  # the pattern is meant
      [[ $rule == *=* || $name != $rule ]] || wanted[$name]=${entry#*=}
    done
    [[ ${wanted[$name]+set} && ${wanted[$name]} == "${entry#*=}" ]] || same=0
  done </proc/$$/environ
  [[ $- == *p* ]] || same=0
  ((same && count == ${#wanted[@]})) && return 0
  for entry in "${!wanted[@]}"; do
    restart+=("$entry=${wanted[$entry]}")
  done
  exec /usr/bin/env -i "${restart[@]}" /bin/bash -p -- "$script" "$@"
}

# git, asked through export.py: no ~/.gitconfig, system config, replace
# refs or GIT_* variable of the caller's changes what a commit holds.
commit_git() {  # command, arguments (see export.py)
  "${PYTHON[@]}" "$ROOT/tools/release/slotbench_release/export.py" "$1" "$ROOT" "${@:2}"
}

# Builds the release zip of a commit from an export of it, in a new folder
# under WORK, dated with the commit's time, and sets RELEASE_ZIP to the zip
# it made. The build's log is WORK/release-of-commit.log. Nothing built
# before is used: what is in out/ or build/ may have been put there by anyone.
# A value from the command line as the tools print every name (text.py's
# escape): nothing in it acts on the terminal or forges a line. Needs ROOT.
escaped() {
  "${PYTHON[@]}" -c 'import sys; sys.path.insert(0, sys.argv[1]); from text import escape; print(escape(sys.argv[2]))' \
    "$ROOT/tools/release/slotbench_release" "$1"
}

# How a file the build needs but the commit lacks is named, by both
# release.sh and the check.
not_in_commit() { echo "not in the commit: $1 (git add it?)"; }

build_release_of_commit() {  # commit, work folder
  local commit=$1 work=$2 source described version date file first
  described=$(commit_git release "$commit") || return 1
  read -r commit version date <<<"$described"
  source=$(mktemp -d "$work/source.XXXXXX")
  commit_git tree "$commit" "$source" || return 1
  # The export's own release.sh, in the fixed environment it would choose,
  # under bash -p: not its wrapper, which a plain bash would start with
  # this shell's exported functions (one named exec among them).
  if ! /usr/bin/env -i PATH=/usr/bin:/bin HOME=/nonexistent LANG=C.UTF-8 SOURCE_DATE_EPOCH="$date" \
      /bin/bash -p -- "$source/tools/release/release.sh" >"$work/release-of-commit.log" 2>&1; then
    while IFS= read -r file; do
      [[ -z $file ]] || not_in_commit "$file" >&2
    done < <(commit_git untracked)
    # The export's first finding (its progress lines and the logs it points
    # to are in a folder that is gone by now); release.sh in the checkout
    # builds the same and keeps its logs.
    first=$(grep '^release: ' "$work/release-of-commit.log" |
      grep -v -e '^release: building the ' -e '\.log' | head -n 1)
    first=${first#release: }
    echo "building release $version of commit ${commit:0:12} failed${first:+ ($first)}; \`bash tools/release.sh\` shows why" >&2
    return 1
  fi
  RELEASE_ZIP=$source/out/release/SlotBench-$version-windows.zip
  [[ -f $RELEASE_ZIP ]] || { echo "building release $version of commit ${commit:0:12} made no zip of that version" >&2; return 1; }
}

# git reads these before its own configuration (GIT_DIR, GIT_INDEX_FILE,
# ...): left set, "the commit" could be another repository's.
while IFS= read -r name; do
  [[ $name != GIT_* ]] || unset "$name"
done < <(compgen -e)
