#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# The .deb that scripts/release and scripts/package make
# (scripts/lib/release-build.sh's pack_deb), on small stages of their own:
#
# 1. A stage without programs or libraries gives no Depends: pack_deb
#    fails, saying why, and makes no .deb.
# 2. A stage with a program gives a .deb whose Depends names the C library
#    and whose Description is cmake/kiv.description's: its summary first,
#    and every function the libraries export (their version scripts'
#    global names) named.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
source "$repo/scripts/lib/release-build.sh"
SOURCE_DATE_EPOCH=$(git -C "$repo" log -1 --format=%ct)
export SOURCE_DATE_EPOCH
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}

echo "1. a stage without binaries stops the package"
mkdir -p "$work/empty/usr/share/doc/kiv" "$work/out1"
echo "notes" > "$work/empty/usr/share/doc/kiv/README.md"
status=0
(pack_deb "$work/empty" "$work/out1" 1.0.0 "$repo/cmake/kiv.description") 2> "$work/err" ||
  status=$?
[ "$status" != 0 ] || fail "pack_deb succeeded without a Depends"
grep -q "no programs or libraries under $work/empty/usr" "$work/err" ||
  fail "pack_deb did not say why: $(cat "$work/err")"
[ -z "$(ls -A "$work/out1")" ] || fail "pack_deb left $(ls "$work/out1")"

echo "2. a stage with a program: Depends and Description"
mkdir -p "$work/full/usr/bin" "$work/out2"
cp "$(type -P true)" "$work/full/usr/bin/kivcopy"
pack_deb "$work/full" "$work/out2" 1.0.0 "$repo/cmake/kiv.description" ||
  fail "pack_deb failed on a stage with a program"
deb=$(ls "$work/out2"/*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
grep -q '^libc6 ' <<< "$depends" || fail "Depends does not name libc6: [$depends]"
description=$(dpkg-deb -f "$deb" Description)
[ "$(head -n 1 <<< "$description")" = "$(sed -n 's/^summary: //p' "$repo/cmake/kiv.description")" ] ||
  fail "the Description's first line is not the summary: $(head -n 1 <<< "$description")"
exports=$(sed -n 's/^ *global://p' "$repo"/kivcopy/kivcopy.map "$repo"/kivsubst/kivsubst.map \
  "$repo"/kivtransaction/kivtransaction.map |
  tr -s ' ;' '\n\n' | sed '/^$/d')
[ "$(wc -l <<< "$exports")" -ge 4 ] || fail "found only [$exports] as exports"
for function in $exports; do
  grep -qw "$function" <<< "$description" || fail "the Description does not name $function"
done

[ "$failures" = 0 ] || exit 1
echo "deb: both cases passed"
