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
  /usr/bin/python3 -B -E -s "$ROOT/tools/release/slotbench_release/export.py" "$1" "$ROOT" "${@:2}"
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

# Tracked files with uncommitted changes, one per line (empty: clean).
uncommitted_changes() {
  commit_git changes
}

# Tracked files git status is told not to look at (update-index
# --skip-worktree or --assume-unchanged): changed, they would still look
# committed. One per line.
hidden_from_status() {
  commit_git hidden
}

# The one-line refusal for those, or nothing.
hidden_refusal() {
  local hidden count
  hidden=$(hidden_from_status) || return 1
  [[ -n $hidden ]] || return 0
  count=$(wc -l <<<"$hidden")
  ((count == 1)) && count="1 tracked file" || count="$count tracked files"
  echo "git status is told to skip $count ($(head -n 3 <<<"$hidden" | paste -sd ' ')), so changes to them look committed: run \`git update-index --no-skip-worktree\` and \`git update-index --no-assume-unchanged\` on them, commit or drop their changes, then try again"
}

# Untracked files git does not ignore, one per line: what a build of a
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
  # The export's release.sh starts itself again in a fixed environment:
  # nothing of this shell's reaches the build.
  if ! SOURCE_DATE_EPOCH=$date /bin/bash "$source/tools/release.sh" \
      >"$work/release-of-commit.log" 2>&1; then
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
