# shellcheck shell=bash
# SPDX-License-Identifier: Zlib
# The Windows zip of one architecture, in one place for scripts/test-windows
# and scripts/release: what goes into it (stage_windows) and how it is
# written, byte for byte the same on every machine (zip_tree). Source it
# from the repository's root.

# The time every packed file carries: the commit's, so that two packings of
# one commit are the same zip whenever and wherever they are made.
source_date_epoch() {
  git log -1 --format=%ct 2>/dev/null || date +%s
}

# Fills STAGE with what an installer ships for one architecture: the DLLs,
# their import libraries and headers, the front ends, the manual pages and
# CMake package (all from the build's install), the installer-engine kit
# (integrations/ as committed), README and LICENSE.
stage_windows() {
  local build=$1 stage=$2
  rm -rf "$stage"
  cmake --install "$build" --prefix "$stage" >/dev/null
  cp README.md LICENSE "$stage/"
  git ls-files -z integrations | xargs -0 cp --parents -t "$stage"
}

# Writes ZIP from the folder STAGE, which it holds as its one top folder:
# members sorted by name, each with the time SOURCE_DATE_EPOCH (or the
# commit's) in UTC, modes without the umask's say, no extra fields (owners,
# Unix times) and no directory entries.
zip_tree() {
  local stage=$1 zip=$2 epoch
  epoch=${SOURCE_DATE_EPOCH:-$(source_date_epoch)}
  zip=$(realpath -m "$zip")
  rm -f "$zip"
  chmod -R u+w,go-w,a+rX "$stage"
  find "$stage" -exec touch -h -d "@$epoch" {} +
  (cd "$(dirname "$stage")" &&
    find "$(basename "$stage")" -type f | LC_ALL=C sort |
    TZ=UTC zip -q -X -D "$zip" -@)
}
