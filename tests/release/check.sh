# shellcheck shell=bash
# SPDX-License-Identifier: Zlib
# CI's check of the release (scripts/release --check), within CI's time:
# the Linux artifacts and the 64-bit zip only (the 32-bit build is the same
# steps with the other compiler, and 32-bit Wine runs emulated here).
#
# 1. A release signed with a throw-away certificate, built in this checkout;
#    its .deb has a Depends and a Description that names every export.
# 2. Every signed binary in it verifies against the throw-away CA, signed
#    at the commit's time.
# 3. A clone of HEAD in a deeper folder rebuilds it (--verify, at a later
#    time, in its own build folder): every file, SHA256SUMS included, must
#    come out the same once the release's signatures are attached.
# 4. The same --verify refuses the release with one byte of the 64-bit
#    kivcopy.dll changed and the zip and SHA256SUMS remade to match, naming
#    the zip and the DLL.
# 5. The SBOM: its validation refuses a document off CycloneDX's schema and
#    one whose hash is not the artifact's; it lists each Windows binary's
#    real imports and each binary's static runtimes with versions.
# 6. The 64-bit Windows suite passes with its DLLs and front ends signed.
# Sourced by scripts/release, whose functions and repo it uses.

# repo comes from scripts/release.
# shellcheck disable=SC2154

source tests/release/pki.sh

# Runs the numbered checks; any failure ends the run with its reason.
release_check() {
  local work=$repo/build/release-check pki clone started=$SECONDS version
  if [ -n "$(git status --porcelain)" ]; then
    echo "--check compares with a clone of HEAD: commit first" >&2
    exit 1
  fi
  scripts/ensure-tools openssl=openssl git=git /usr/lib/wine/wine64=wine64
  rm -rf "$work"
  mkdir -p "$work"
  pki=$(mktemp -d /tmp/release-pki.XXXXXX)
  # shellcheck disable=SC2064 # the folder is known now
  trap "restore_unsigned; rm -rf '$pki'" EXIT
  make_test_pki "$pki"

  echo "== 1. signed release of linux and win64 ==" >&2
  KIV_RELEASE_PLATFORMS="linux win64" KIV_SIGN_PKCS12=$pki/signer.p12 \
    KIV_SIGN_PASSWORD=$(cat "$pki/password") "$repo/scripts/release" "$work/a" >/dev/null
  version=$(release_version "$repo/build/release-dist/linux")
  check_deb "$work/a/kiv_${version}_$(dpkg --print-architecture).deb"

  echo "== 2. signatures verify against the throw-away CA ==" >&2
  check_signatures "$work/a/kiv-$version-win64.zip" "$pki/ca.pem"

  echo "== 3. a clone in another folder rebuilds the same release ==" >&2
  clone=$work/b/some/deeper/clone
  git clone -q "$repo" "$clone"
  "$clone/scripts/release" --verify "$work/a" >&2
  echo "identical: SHA256SUMS $(sha256sum < "$work/a/SHA256SUMS" | cut -c1-16)..." >&2

  echo "== 4. a changed DLL in a remade zip is refused ==" >&2
  check_tampered_release_refused "$work" "$clone" "$version"

  echo "== 5. the SBOM ==" >&2
  check_sbom "$work/a" "$version"

  echo "== 6. the 64-bit suite with signed binaries ==" >&2
  check_signed_suite "$pki"
  echo "release check passed in $((SECONDS - started)) s" >&2
}

# Fails with MESSAGE.
fail() {
  echo "release check FAILED: $*" >&2
  exit 1
}

# The .deb DEB depends on something (the C library), and its Description
# names every function the libraries export (their linker version scripts'
# global names).
check_deb() {
  local deb=$1 depends description function
  depends=$(dpkg-deb -f "$deb" Depends)
  [ -n "$depends" ] || fail "$(basename "$deb") has no Depends"
  description=$(dpkg-deb -f "$deb" Description)
  for function in $(sed -n 's/^ *global://p' kivcopy/kivcopy.map kivsubst/kivsubst.map kivtransaction/kivtransaction.map | tr ';' ' '); do
    grep -qw "$function" <<< "$description" ||
      fail "the Description of $(basename "$deb") does not name $function"
  done
  echo "$(basename "$deb") depends on $depends; its Description names every export" >&2
}

# Every .dll and .exe in ZIP verifies against the CA CA, is signed by the
# throw-away signer at the commit's time; the same binary with one byte
# changed does not verify.
check_signatures() {
  local zip=$1 ca=$2 dir file last report dlls=0 exes=0 when
  dir=$(mktemp -d)
  unzip -q "$zip" -d "$dir"
  when=$(LC_ALL=C date -u -d "@$SOURCE_DATE_EPOCH" '+%b %e %H:%M:%S %Y')
  while IFS= read -r file; do
    report=$(osslsigncode verify -CAfile "$ca" -in "$file" 2>&1) ||
      fail "${file#"$dir/"} does not verify: $report"
    grep -q 'kiv throw-away test signer' <<< "$report" || fail "${file#"$dir/"}: not our signer"
    grep -q "Signing time: $when" <<< "$report" ||
      fail "${file#"$dir/"}: signing time is not the commit's ($when): $(grep -i 'signing time' <<< "$report")"
    case $file in *.dll) dlls=$((dlls + 1)) ;; *.exe) exes=$((exes + 1)) ;; esac
    last=$file
  done < <(windows_binaries "$dir")
  [ "$dlls" -gt 0 ] && [ "$exes" -gt 0 ] || fail "$zip holds $dlls DLLs and $exes programs"
  flip_byte "$last"
  ! osslsigncode verify -CAfile "$ca" -in "$last" >/dev/null 2>&1 ||
    fail "${last#"$dir/"} with a byte changed still verifies"
  rm -rf "$dir"
  echo "$dlls DLLs and $exes programs verify against the test CA, signed at $when UTC;" \
       "with a byte changed they do not" >&2
}

# Changes the byte in the middle of FILE (xor 1).
flip_byte() {
  local file=$1 offset byte
  offset=$(( $(stat -c %s "$file") / 2 ))
  byte=$(od -An -tu1 -j "$offset" -N1 "$file" | tr -d ' ')
  # shellcheck disable=SC2059 # the format is the octal escape of the byte
  printf "$(printf '\\%03o' $((byte ^ 1)))" |
    dd of="$file" bs=1 seek="$offset" conv=notrunc status=none
}

# WORK/a with one byte of the 64-bit kivcopy.dll changed, its zip and
# SHA256SUMS remade to match, must be refused by CLONE's --verify, which
# must name the zip and the DLL.
check_tampered_release_refused() {
  local work=$1 clone=$2 version=$3 tampered=$1/tampered dir zip output
  zip=kiv-$version-win64.zip
  cp -r "$work/a" "$tampered"
  dir=$(mktemp -d)
  unzip -q "$tampered/$zip" -d "$dir"
  flip_byte "$dir/kiv-$version-win64/bin/kivcopy.dll"
  zip_tree "$dir/kiv-$version-win64" "$tampered/$zip"
  rm -rf "$dir"
  write_sums "$tampered"
  (cd "$tampered" && sha256sum --quiet -c SHA256SUMS) || fail "the remade SHA256SUMS does not match"
  if output=$("$clone/scripts/release" --verify "$tampered" 2>&1); then
    fail "--verify accepted a release with a changed DLL: $output"
  fi
  grep -q "^$zip: differs" <<< "$output" || fail "--verify did not name $zip: $output"
  grep -q "bin/kivcopy.dll" <<< "$output" || fail "--verify did not name kivcopy.dll: $output"
  echo "refused, naming: $(grep -E "^$zip|kivcopy.dll" <<< "$output" | tr -s ' \n' ' ')" >&2
}

# The SBOM of the release OUT: what tests/release/sbom_expectations.py
# says of it; and its validation must refuse a document off the schema and
# one with an artifact's hash changed.
check_sbom() {
  local out=$1 dir schemas
  schemas=$(cyclonedx_schemas)
  /usr/bin/python3 tests/release/sbom_expectations.py "$out" >&2
  dir=$(mktemp -d)
  cp "$out/SHA256SUMS" "$dir/"
  sed '0,/"alg": "SHA-256"/s//"alg": "SHA256"/' "$out/kiv.cdx.json" > "$dir/kiv.cdx.json"
  ! /usr/bin/python3 tools/release_sbom.py validate "$dir/kiv.cdx.json" "$schemas" 2>/dev/null ||
    fail "the SBOM's validation took an unknown hash algorithm"
  /usr/bin/python3 - "$out/kiv.cdx.json" "$dir/kiv.cdx.json" <<'PY'
import json, sys
document = json.load(open(sys.argv[1]))
first = document["components"][0]["hashes"][0]
first["content"] = ("0" if first["content"][0] != "0" else "1") + first["content"][1:]
json.dump(document, open(sys.argv[2], "w"))
PY
  ! /usr/bin/python3 tools/release_sbom.py validate "$dir/kiv.cdx.json" "$schemas" \
      "$dir/SHA256SUMS" 2>/dev/null ||
    fail "the SBOM's validation took an artifact's wrong hash"
  rm -rf "$dir"
  echo "the SBOM's validation refuses a wrong hash algorithm and a wrong hash" >&2
}

# The 64-bit Windows suite (scripts/test-windows --suite64) on the
# windows64 preset's own DLLs and front ends, signed in place with the
# throw-away key (where its test programs load them) and put back unsigned
# afterwards; the names are those of the binaries the release zip holds.
check_signed_suite() {
  local pki=$1 version names=() file
  version=$(release_version "$repo/build/release-dist/linux")
  cmake --preset windows64 >/dev/null
  cmake --build --preset windows64 >/dev/null
  cmake --preset release >/dev/null
  cmake --build --preset release --target kivcopy-cli kivsubst-cli >/dev/null
  while IFS= read -r file; do
    names+=(-o -name "$(basename "$file")")
  done < <(windows_binaries "$repo/build/release-dist/stage/kiv-$version-win64")
  signed=()
  while IFS= read -r file; do
    cp -p "$file" "$file.unsigned"
    signed+=("$file")
    osslsigncode sign -pkcs12 "$pki/signer.p12" -readpass "$pki/password" -h sha256 \
      -time "$SOURCE_DATE_EPOCH" -in "$file" -out "$file.signed" >/dev/null
    mv "$file.signed" "$file"
    osslsigncode verify -CAfile "$pki/ca.pem" -in "$file" >/dev/null ||
      fail "${file#"$repo/"} does not verify"
  done < <(find "$repo/build/windows64" -path "$repo/build/windows64/wineprefix" -prune -o \
             -type f \( "${names[@]:1}" \) -print | LC_ALL=C sort)
  echo "signed ${#signed[@]} binaries of build/windows64; running the 64-bit suite on them" >&2
  scripts/test-windows --suite64 >&2
}

# Puts back the unsigned binaries check_signed_suite signed.
restore_unsigned() {
  local file
  for file in "${signed[@]}"; do
    mv "$file.unsigned" "$file"
  done
  signed=()
}
signed=()
