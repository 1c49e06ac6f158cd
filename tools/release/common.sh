# shellcheck shell=bash
# Steps the release tools share, sourced by release.sh, sign_release.sh and
# verify_release.sh. Each function prints nothing on success but what it
# returns; a failure is one line on stderr and a non-zero status, and the
# caller's die()/fail() says what to do next.

# The four-part version in res/version.h of a tree (default: the checkout).
slotbench_version() {  # [tree]
  local tree=${1:-$ROOT} version
  version=$(sed -n 's/^#define SLOTBENCH_VERSION_TEXT "\([0-9.]*\)"$/\1/p' "$tree/res/version.h" 2>/dev/null)
  [[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] || return 1
  echo "$version"
}

# git, asked through export.py: no ~/.gitconfig, system config, replace
# refs or GIT_* variable of the caller's changes what a commit holds.
# Failures: one line on stderr.
commit_git() {  # command, arguments (see export.py)
  /usr/bin/python3 -B -E -s -X pycache_prefix=/nonexistent "$ROOT/tools/release/slotbench_release/export.py" "$1" "$ROOT" "${@:2}"
}

# The same, as written in a commit: what a build of the commit is named by.
slotbench_version_at() {  # commit
  commit_git version "$1"
}

# The full id of a commit (HEAD, a tag, ...).
commit_of() {  # rev
  commit_git commit "$1"
}

# The commit's files, byte for byte as committed, into a new folder.
export_commit() {  # commit, folder
  commit_git tree "$1" "$2"
}

# Files of HEAD's commit that differ in the working tree, one per line
# (empty: clean), compared blob by blob without git status.
uncommitted_changes() {
  commit_git changes
}

# Files the commit lacks that its .gitignore does not name, one per line: what a build of a
# commit lacks that the working tree has.
untracked_files() {
  commit_git untracked
}

# Builds the release zip of a commit from an export of it, in a new folder
# under WORK, dated with the commit's time, and sets RELEASE_ZIP to the zip
# it made. The build's log is WORK/release-of-commit.log. Nothing built
# before is used: what is in out/ or build/ may have been put there by anyone.
build_release_of_commit() {  # commit, work folder
  local commit=$1 work=$2 source version date file first
  version=$(slotbench_version_at "$commit") || return 1
  date=$(commit_git date "$commit") || return 1
  source=$(mktemp -d "$work/source.XXXXXX")
  export_commit "$commit" "$source" || return 1
  # The export's own release.sh, in the fixed environment it would choose,
  # under bash -p: not its wrapper, which a plain bash would start with
  # this shell's exported functions (one named exec among them).
  if ! /usr/bin/env -i PATH=/usr/bin:/bin HOME=/nonexistent LANG=C.UTF-8 SOURCE_DATE_EPOCH="$date" \
      /bin/bash -p "$source/tools/release/release.sh" >"$work/release-of-commit.log" 2>&1; then
    while IFS= read -r file; do
      [[ -z $file ]] || echo "not in the commit: $file (git add it?)" >&2
    done < <(untracked_files)
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
