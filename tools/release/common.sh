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

# The same, as written in a commit.
slotbench_version_at() {  # commit
  local version
  version=$(git -C "$ROOT" show "$1:res/version.h" 2>/dev/null |
    sed -n 's/^#define SLOTBENCH_VERSION_TEXT "\([0-9.]*\)"$/\1/p')
  [[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] || return 1
  echo "$version"
}

# Tracked files with uncommitted changes, one per line (empty: clean).
uncommitted_changes() {
  git -C "$ROOT" status --porcelain --untracked-files=no | sed 's/^...//'
}

# Untracked files git does not ignore, one per line: what a build of a
# commit lacks that the working tree has.
untracked_files() {
  git -C "$ROOT" ls-files --others --exclude-standard
}

# Builds the release zip of a commit from an export of it, in a new folder
# under WORK, dated with the commit's time, and sets RELEASE_ZIP to the zip
# it made. The build's log is WORK/release-of-commit.log. Nothing built
# before is used: what is in out/ or build/ may have been put there by anyone.
build_release_of_commit() {  # commit, work folder
  local commit=$1 work=$2 source version file first
  version=$(slotbench_version_at "$commit") || { echo "commit ${commit:0:12} has no four-part version in res/version.h" >&2; return 1; }
  source=$(mktemp -d "$work/source.XXXXXX")
  git -C "$ROOT" archive "$commit" | tar -xf - -C "$source"
  if ! SOURCE_DATE_EPOCH=$(git -C "$ROOT" log -1 --format=%ct "$commit") bash "$source/tools/release.sh" \
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
