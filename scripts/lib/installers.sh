# shellcheck shell=bash
# SPDX-License-Identifier: Zlib
# The engines' side of the installer kit, shared by scripts/test-installers
# and bench/installers: where things go, the DLLs the installers embed,
# Inno Setup's compiler, and running an installer under 32-bit Wine. Source
# it from the repository's root, after scripts/lib/wine32.sh.

# repo comes from the sourcing script, wine32_loader from scripts/lib/wine32.sh.
# shellcheck disable=SC2154

inno_version=6.4.1
work=$repo/build/installers
export WINEPREFIX=$work/wineprefix WINEARCH=win32

# A path in this machine's file system as Wine's programs see it.
windows_path() {
  echo "Z:${1//\//\\}"
}

stage_dlls() {
  cmake --preset windows >/dev/null
  cmake --build --preset windows --target kivcopy kivsubst >/dev/null
  rm -rf "$work/dlls"
  mkdir -p "$work/dlls"
  cp build/windows/kivcopy/kivcopy.dll build/windows/kivsubst/kivsubst.dll "$work/dlls/"
}

fetch_inno() {
  local iscc=$work/innosetup/package/bin/ISCC.exe
  if [ ! -f "$iscc" ]; then
    mkdir -p "$work/innosetup"
    (cd "$work/innosetup" && npm pack --silent "innosetup@$inno_version" >/dev/null &&
      tar xzf "innosetup-$inno_version.tgz")
  fi
  echo "$iscc"
}

# Wine does not pass the Unix TMP on: the installer gets it from cmd, which
# waits for it to end ("start /wait": an installer is a windowed program).
run_installer() {
  local run=$1
  shift
  "$wine32_loader" cmd /c "set TMP=$(windows_path "$run/tmp")&& start /wait $*" >/dev/null 2>&1
}

