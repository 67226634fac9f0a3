# shellcheck shell=bash
# SPDX-License-Identifier: Zlib
# Authenticode for the release's Windows binaries, with osslsigncode:
# sourced by scripts/release. A signature is kept detached as
# SIGNATURES/<path in the zip>.sig, so that anyone can attach it to the
# binary they rebuild and compare the result with the release's.

# The .dll and .exe files under a staged tree, sorted.
windows_binaries() {
  find "$1" -type f \( -name '*.dll' -o -name '*.exe' \) | LC_ALL=C sort
}

# Signs every binary of STAGE in place with the PKCS#12 file
# KIV_SIGN_PKCS12 (password KIV_SIGN_PASSWORD, read through a pipe so that
# no command line shows it), SHA-256, with the commit's time as the signing
# time, and writes each signature to SIGNATURES.
sign_stage() {
  local stage=$1 signatures=$2 file relative
  while IFS= read -r file; do
    relative=${file#"$(dirname "$stage")/"}
    osslsigncode sign -pkcs12 "$KIV_SIGN_PKCS12" -readpass <(printf '%s' "$KIV_SIGN_PASSWORD") \
      -h sha256 -n kiv -time "$SOURCE_DATE_EPOCH" -in "$file" -out "$file.signed" >/dev/null
    mv "$file.signed" "$file"
    mkdir -p "$signatures/$(dirname "$relative")"
    osslsigncode extract-signature -in "$file" -out "$signatures/$relative.sig" >/dev/null
  done < <(windows_binaries "$stage")
}

# Attaches to the binaries of STAGE the signatures that SIGNATURES holds
# for them; fails, naming it, on a signature that fits no binary of STAGE.
attach_stage() {
  local stage=$1 signatures=$2 base signature file
  base=$(basename "$stage")
  [ -d "$signatures/$base" ] || return 0
  while IFS= read -r signature; do
    file=$(dirname "$stage")/${signature#"$signatures/"}
    file=${file%.sig}
    if [ ! -f "$file" ]; then
      echo "signatures/${signature#"$signatures/"}: this commit builds no ${file#"$(dirname "$stage")/"}" >&2
      return 1
    fi
    # Its status says whether the chain is trusted here, which is not the
    # question: the comparison with the release says whether it fits.
    rm -f "$file.signed"
    osslsigncode attach-signature -sigin "$signature" -in "$file" -out "$file.signed" \
      >/dev/null 2>&1 || true
    if [ ! -s "$file.signed" ]; then
      echo "signatures/${signature#"$signatures/"}: cannot be attached to the rebuilt file" >&2
      return 1
    fi
    mv "$file.signed" "$file"
  done < <(find "$signatures/$base" -type f -name '*.sig' | LC_ALL=C sort)
}
