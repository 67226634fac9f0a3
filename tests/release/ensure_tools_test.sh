#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# scripts/ensure-tools as root against an apt that behaves like a mirror in
# mid-sync: apt-get update fails for one package list, and one package
# cannot be installed (its dependencies do not fit the machine's). A
# stand-in apt-get and id on the PATH play the system; the stand-in
# installs all of a command's packages or none, as apt does, and records
# what it installed.
#
# 1. A failed update is a warning: the install runs from the lists at hand.
# 2. A package that does not install is named with apt's reason, the
#    others are installed, and the run fails.
# 3. With --best-effort the same run names it and succeeds.
# 4. scripts/lib/wine32.sh: where wine32:i386 does not install, the 32-bit
#    runs are skipped with the package and apt's reason as the why.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir "$work/bin"
printf '#!/bin/sh\necho 0\n' > "$work/bin/id"
printf '#!/bin/sh\nexit 0\n' > "$work/bin/dpkg"
cat > "$work/bin/apt-get" <<'APT'
#!/usr/bin/env bash
packages=()
verb=
while [ $# -gt 0 ]; do
  case $1 in
    -o) shift ;;
    -*) ;;
    *) if [ -z "$verb" ]; then verb=$1; else packages+=("$1"); fi ;;
  esac
  shift
done
case $verb in
  update)
    echo "E: Failed to fetch http://mirror.invalid/dists/security/binary-i386/Packages.xz" \
         "File has unexpected size (2 != 1). Mirror sync in progress?" >&2
    exit 100 ;;
  install)
    for package in "${packages[@]}"; do
      if [ "$package" = kiv-unfit ] || [ "$package" = wine32:i386 ]; then
        echo "The following packages have unmet dependencies:"
        echo " libkiv-other : Depends: libkiv-x (= 1) but 2 is to be installed"
        echo " $package : Depends: libkiv-old (= 1) but 2 is to be installed"
        echo "E: Unable to correct problems, you have held broken packages." >&2
        exit 100
      fi
    done
    printf '%s\n' "${packages[@]}" >> "$KIV_TEST_INSTALLED" ;;
esac
APT
chmod +x "$work/bin/id" "$work/bin/dpkg" "$work/bin/apt-get"

failures=0
fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}

# Runs ensure-tools with ARGS against the stand-ins: sets status, err (its
# standard error) and installed (what the stand-in installed).
ensure() {
  : > "$work/installed"
  status=0
  PATH=$work/bin:$PATH KIV_TEST_INSTALLED=$work/installed \
    "$repo/scripts/ensure-tools" "$@" 2> "$work/err" || status=$?
  err=$(cat "$work/err")
  installed=$(sort "$work/installed" | tr '\n' ' ')
}

echo "1. a failed apt-get update is a warning"
ensure kiv-no-such-tool-a=kiv-a
[ "$status" = 0 ] || fail "exit $status after a failed update: $err"
grep -q '^warning: apt-get update' <<< "$err" || fail "no warning about the update: $err"
[ "$installed" = "kiv-a " ] || fail "installed [$installed], not kiv-a"

echo "2. a package that does not install is named, the others installed"
ensure kiv-no-such-tool-a=kiv-a kiv-no-such-tool-u=kiv-unfit kiv-no-such-tool-b=kiv-b
[ "$status" = 1 ] || fail "exit $status with kiv-unfit not installed: $err"
grep -qx "cannot install kiv-unfit: Unable to correct problems, you have held broken packages. (unmet dependency: kiv-unfit : Depends: libkiv-old (= 1) but 2 is to be installed)" <<< "$err" ||
  fail "kiv-unfit is not named with apt's reason in one line: $err"
grep -q 'cannot install kiv-[ab]' <<< "$err" && fail "a package that installed is named: $err"
[ "$installed" = "kiv-a kiv-b " ] || fail "installed [$installed], not kiv-a and kiv-b"

echo "3. --best-effort names it and goes on"
ensure --best-effort kiv-no-such-tool-u=kiv-unfit
[ "$status" = 0 ] || fail "--best-effort: exit $status: $err"
grep -q '^cannot install kiv-unfit: ' <<< "$err" || fail "--best-effort did not name kiv-unfit: $err"

echo "4. a 32-bit Wine that does not install skips the 32-bit runs, saying why"
why=$(PATH=$work/bin:$PATH KIV_TEST_INSTALLED=$work/installed KIV_WINE32='' bash -c '
  source "$1/scripts/lib/wine32.sh"
  wine32_loader=$2/no-wine
  install_wine32 2>/dev/null
  choose_wine32_path
  echo "$path32: $why32"' - "$repo" "$work") || fail "wine32.sh failed: $why"
[ "$why" = "skip: cannot install wine32:i386: Unable to correct problems, you have held broken packages. (unmet dependency: wine32:i386 : Depends: libkiv-old (= 1) but 2 is to be installed)" ] ||
  fail "not skipped with the package and apt's reason: $why"

[ "$failures" = 0 ] || exit 1
echo "ensure-tools: all 4 cases passed"
