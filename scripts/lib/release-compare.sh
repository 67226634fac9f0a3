# shellcheck shell=bash
# SPDX-License-Identifier: Zlib
# Comparing a release with a rebuild of it, file by file: sourced by
# scripts/release (--verify) and its tests.

# Unpacks the archive ARCHIVE (.zip, .tar.gz or .deb) into the new folder DIR.
unpack() {
  local archive=$1 dir=$2
  mkdir -p "$dir"
  case $archive in
    *.zip) unzip -q "$archive" -d "$dir" ;;
    *.tar.gz) tar -xzf "$archive" -C "$dir" ;;
    *.deb) dpkg-deb -R "$archive" "$dir" ;;
  esac
}

# Says which members of two archives of one name differ, are missing or
# are extra, so that a changed archive is named with the file changed in it.
archive_members_differ() {
  local ours=$1 theirs=$2 work
  work=$(mktemp -d)
  unpack "$ours" "$work/release" && unpack "$theirs" "$work/rebuilt" &&
    diff -rq "$work/release" "$work/rebuilt" | sed "s|$work/release/||g; s|$work/rebuilt/||g; s/^/    /" >&2
  rm -rf "$work"
}

# Exits 0 only if the folders RELEASE and REBUILT hold the same files with
# the same bytes; names on standard error every file that differs, is
# missing from RELEASE or is not one that the rebuild made.
compare_release() {
  local release=$1 rebuilt=$2 name status=0
  while IFS= read -r name; do
    if [ ! -f "$release/$name" ]; then
      echo "$name: missing from $release, and this commit builds it" >&2
      status=1
    elif [ ! -f "$rebuilt/$name" ]; then
      echo "$name: in $release, but this commit builds no such file" >&2
      status=1
    elif ! cmp -s "$release/$name" "$rebuilt/$name"; then
      echo "$name: differs from what this commit builds" >&2
      case $name in
        *.zip|*.tar.gz|*.deb) archive_members_differ "$release/$name" "$rebuilt/$name" ;;
      esac
      status=1
    fi
  done < <( (cd "$release" && find . -type f; cd "$rebuilt" && find . -type f) |
            sed 's|^\./||' | LC_ALL=C sort -u)
  return "$status"
}
