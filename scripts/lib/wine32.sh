# shellcheck shell=bash
# SPDX-License-Identifier: Zlib
# 32-bit Windows programs under Wine, on any x86-64 machine: sourced by the
# scripts that run them (scripts/test-windows, scripts/test-installers).
#
# 32-bit Wine needs a kernel that runs 32-bit x86 programs; where it does
# not, they run under QEMU's user-mode emulation of i386, registered with
# binfmt_misc inside a private user and mount namespace, so the machine
# itself is left as it was. KIV_WINE32 forces the way:
#   native    32-bit Wine as the kernel runs it
#   emulated  32-bit Wine under qemu-i386
#   skip      no 32-bit programs at all
# Unset, native is taken where it works, else emulated, else none; and
# none where 32-bit Wine is not installed and cannot be (apt may find no
# set of i386 packages that fits the machine's own, while a mirror syncs).
#
#   install_wine32       installs wine32:i386 where it is missing, on its
#                        own and best-effort: the scripts' other tools
#                        never wait on it
#   choose_wine32_path   sets path32 (native, emulated or skip) and why32
#   prepare_wine32       readies the emulation where path32 is emulated;
#                        returns 2 with the reason in skip_reason where it
#                        cannot be had (and exits where KIV_WINE32 forced it)
#   run_wine32 CMD...    runs CMD (a script that starts 32-bit programs) the
#                        chosen way

wine32_loader=/usr/lib/wine/wine
wine32_lib=$(realpath "${BASH_SOURCE[0]}")
qemu_dir=$(dirname "$wine32_lib")/../../build/qemu-user

# 32-bit Wine is one package among many i386 ones that must fit the
# machine's amd64 packages version for version: where apt cannot install
# it, wine32_missing keeps the line that says why (the package and apt's
# reason), and the 32-bit runs are skipped rather than the whole script.
wine32_missing=
install_wine32() {
  local output
  [ "${KIV_WINE32:-}" != skip ] || return 0
  [ ! -x "$wine32_loader" ] || return 0
  output=$("$(dirname "$wine32_lib")/../ensure-tools" --best-effort "$wine32_loader=wine32:i386" 2>&1) ||
    true
  [ -z "$output" ] || echo "$output" >&2
  if [ ! -x "$wine32_loader" ]; then
    wine32_missing=$(grep -m 1 -e '^cannot install' -e '^missing packages' <<< "$output" ||
      echo "wine32:i386 is not installed")
  fi
}

choose_wine32_path() {
  case ${KIV_WINE32:-} in
    native|emulated|skip)
      path32=$KIV_WINE32
      why32="KIV_WINE32=$KIV_WINE32"
      ;;
    "")
      if [ -n "$wine32_missing" ]; then
        path32=skip
        why32=$wine32_missing
      elif why32=$("$wine32_loader" --version 2>&1); then
        path32=native
        why32="this machine runs 32-bit x86 programs"
      else
        path32=emulated
        why32="natively: $(echo "$why32" | tail -n 1)"
      fi
      ;;
    *)
      echo "KIV_WINE32 must be native, emulated or skip, not '$KIV_WINE32'" >&2
      exit 64
      ;;
  esac
}

# The Debian mirror of the system's own package sources (deb822 or
# one-line format), else Debian's default.
debian_mirror() {
  local mirror
  mirror=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
    sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\/debian\)\/*$/\1/p' | head -n 1)
  [ -n "$mirror" ] || mirror=$(cat /etc/apt/sources.list 2>/dev/null |
    sed -n 's/^deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]*\/debian\)\/*[[:space:]].*/\2/p' |
    head -n 1)
  echo "${mirror:-http://deb.debian.org/debian}"
}

# Debian 12's qemu-i386 crashes while Wine sets up a prefix; Debian 13's
# works. Its package is fetched with a private apt configuration (its own
# sources list, lists and cache, all under build/) from the mirror that the
# system's own sources name, and unpacked there: the system's package
# sources and installed packages are not touched.
fetch_qemu() {
  local qemu=$qemu_dir/root/usr/bin/qemu-i386 apt
  if [ -x "$qemu" ]; then
    echo "$qemu"
    return
  fi
  mkdir -p "$qemu_dir/lists/partial" "$qemu_dir/cache/archives/partial" "$qemu_dir/deb"
  echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(debian_mirror) trixie main" \
    > "$qemu_dir/sources.list"
  apt=(-o "Dir::Etc::SourceList=$qemu_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
       -o "Dir::State::Lists=$qemu_dir/lists" -o "Dir::Cache=$qemu_dir/cache"
       -o APT::Architectures::=amd64 -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
  apt-get "${apt[@]}" -qq update >&2 || return 1
  (cd "$qemu_dir/deb" && apt-get "${apt[@]}" -qq download qemu-user >&2) || return 1
  dpkg-deb -x "$qemu_dir"/deb/qemu-user_*.deb "$qemu_dir/root" || return 1
  [ -x "$qemu" ] || return 1
  echo "$qemu"
}

# Inside a new user and mount namespace: mounts a binfmt_misc of its own and
# hands every 32-bit x86 ELF program to qemu-i386. The F flag opens the
# interpreter now, so it is found from any mount namespace later.
register_qemu() {
  local qemu=$1
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  printf '%s' ":kiv-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:$qemu:F" \
    > /proc/sys/fs/binfmt_misc/register
}

in_emulation() {
  unshare --user --map-root-user --mount bash "$wine32_lib" --in-emulation "$qemu" "$@"
}

prepare_wine32() {
  local failure
  [ "$path32" = emulated ] || return 0
  if ! qemu=$(fetch_qemu); then
    skip_reason="qemu-i386 could not be fetched from Debian 13's packages"
  elif ! failure=$(in_emulation "$wine32_loader" --version 2>&1); then
    skip_reason="32-bit Wine did not start under qemu-i386 in a user namespace (kernel"
    skip_reason+=" $(uname -r); binfmt_misc there needs 6.7 or later): $(echo "$failure" | tail -n 1)"
  else
    echo "32-bit programs run under $("$qemu" --version | head -n 1)"
    return 0
  fi
  if [ -n "${KIV_WINE32:-}" ]; then
    echo "KIV_WINE32=emulated, but $skip_reason" >&2
    exit 1
  fi
  return 2
}

run_wine32() {
  if [ "$path32" = emulated ]; then
    in_emulation "$@"
  else
    "$@"
  fi
}

# Run as a program inside the namespace: "--in-emulation QEMU CMD...".
if [ "${BASH_SOURCE[0]}" = "$0" ] && [ "${1:-}" = --in-emulation ]; then
  set -euo pipefail
  register_qemu "$2"
  shift 2
  exec "$@"
fi
