# shellcheck shell=bash
# SPDX-License-Identifier: Zlib
# The release's builds and packages, made so that the same commit gives the
# same bytes in any folder, at any time, for any user: sourced by
# scripts/release, after scripts/lib/windows-zip.sh, and by scripts/package,
# which makes the Linux packages alone with the same functions.
# SOURCE_DATE_EPOCH must be exported (the commit's time): the PE linker
# takes it as the time stamp, and every archive member gets it as its time.

# Configures and builds SRC's libraries and front ends in BUILD for
# PLATFORM (linux, win32 or win64): a Release build without tests, no
# source or build folder in any file (-ffile-prefix-map; the later, more
# specific map wins), no run path, the PE image base fixed rather than
# hashed from the output's name, and a link map beside each binary for the
# SBOM (scripts/lib/release-link-map).
release_build() {
  local src=$1 build=$2 platform=$3 args
  args=(-S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release
        -DKIV_BUILD_TESTS=OFF -DKIV_BUILD_BENCHMARKS=OFF -DCMAKE_SKIP_RPATH=ON
        "-DCMAKE_CXX_FLAGS=-ffile-prefix-map=$src=. -ffile-prefix-map=$build=."
        "-DCMAKE_CXX_LINKER_LAUNCHER=$src/scripts/lib/release-link-map")
  case $platform in
    linux) args+=(-DCMAKE_INSTALL_PREFIX=/usr) ;;
    win32|win64)
      local triplet=i686-w64-mingw32
      [ "$platform" = win64 ] && triplet=x86_64-w64-mingw32
      args+=("-DCMAKE_TOOLCHAIN_FILE=$src/cmake/toolchain-$triplet.cmake"
             "-DCMAKE_SHARED_LINKER_FLAGS=-Wl,--disable-auto-image-base") ;;
    *) echo "unknown platform $platform" >&2; return 64 ;;
  esac
  # The PE linker writes SOURCE_DATE_EPOCH into every binary, but a new
  # value is no change to Ninja: a build made for another time starts anew.
  if [ -d "$build" ] && [ "$(cat "$build/release-epoch" 2>/dev/null)" != "$SOURCE_DATE_EPOCH" ]; then
    rm -rf "$build"
  fi
  cmake "${args[@]}" >/dev/null
  cmake --build "$build" -j "${KIV_RELEASE_JOBS:-2}" >/dev/null
  echo "$SOURCE_DATE_EPOCH" > "$build/release-epoch"
}

# The project's version, as the build in BUILD configured it.
release_version() {
  sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$1/CMakeCache.txt"
}

# Modes that no umask changes and the commit's time on every entry of a
# tree about to be packed.
normalize_tree() {
  chmod -R u+w,go-w,a+rX "$1"
  find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}

# Installs the Linux build BUILD under /usr in STAGE (a folder named as the
# tarball's top folder).
stage_linux() {
  local build=$1 stage=$2
  rm -rf "$stage"
  DESTDIR=$stage cmake --install "$build" >/dev/null
  normalize_tree "$stage"
}

# Writes OUT/NAME.tar.gz of STAGE: members sorted, owned by root, with the
# commit's time and no access or change times, compressed without a name or
# time in the gzip header.
pack_tarball() {
  local stage=$1 out=$2
  tar -C "$(dirname "$stage")" --sort=name --format=posix --mtime="@$SOURCE_DATE_EPOCH" \
      --owner=0 --group=0 --numeric-owner \
      --pax-option=exthdr.name=%d/PaxHeaders/%f,delete=atime,delete=ctime \
      -cf - "$(basename "$stage")" | gzip -9n > "$out/$(basename "$stage").tar.gz"
}

# The Depends field of the programs and libraries in STAGE, as
# dpkg-shlibdeps reads it from their dynamic sections, and the
# Installed-Size as dpkg counts it (KiB per file, rounded up, and one per
# directory or link), so that neither depends on the file system. A stage
# without binaries, or binaries that dpkg-shlibdeps cannot read, give no
# Depends: that fails, with the reason, rather than make a package that
# installs without the C library it needs.
deb_depends() {
  local stage=$1 work binaries=() depends status=0
  mapfile -d '' -t binaries < <(find "$stage/usr/bin" "$stage/usr/lib" -type f \
    \( -path '*/bin/*' -o -name '*.so.*' \) -print0 2>/dev/null | sort -z)
  if [ ${#binaries[@]} -eq 0 ]; then
    echo "no programs or libraries under $stage/usr to take the .deb's Depends from" >&2
    return 1
  fi
  work=$(mktemp -d)
  mkdir "$work/debian"
  touch "$work/debian/control"
  depends=$(cd "$work" && dpkg-shlibdeps -O "${binaries[@]}" 2>"$work/errors" |
    sed -n 's/^shlibs:Depends=//p') || status=$?
  # The stage is no package build's folder, which dpkg-shlibdeps warns of
  # every time; anything else it says is shown.
  grep -v "should already be installed in their package's directory" "$work/errors" >&2 || true
  rm -rf "$work"
  if [ $status -ne 0 ] || [ -z "$depends" ]; then
    echo "dpkg-shlibdeps gave no Depends for the ${#binaries[@]} binaries in $stage" >&2
    return 1
  fi
  echo "$depends"
}
installed_size() {
  find "$1" -mindepth 1 -printf '%y %s\n' |
    awk '$1 == "f" { kib += int(($2 + 1023) / 1024); next } { kib += 1 } END { print kib }'
}

# The .deb's Description from the package's one description, FILE
# (cmake/kiv.description, which the build reads too): the summary as the
# first line, then each other line a paragraph (a library's led by its
# name, the tools' line as it is), folded to 72 columns and indented one
# space, the paragraphs parted by " .".
deb_description() {
  local file=$1 summary first=1 line key text
  summary=$(sed -n 's/^summary: //p' "$file")
  if [ -z "$summary" ]; then
    echo "$file has no summary line" >&2
    return 1
  fi
  echo "$summary"
  while IFS= read -r line; do
    key=${line%%: *}
    text=${line#*: }
    case $key in
      summary) continue ;;
      tools) ;;
      *) text="$key: $text" ;;
    esac
    [ "$first" = 1 ] || echo " ."
    first=0
    fold -s -w 72 <<< "$text" | sed 's/ *$//; s/^/ /'
  done < <(grep -E '^[a-z]+: ' "$file")
}

# Writes OUT/kiv_VERSION_ARCH.deb from STAGE with dpkg-deb: the control
# file (its Description from DESCRIPTION_FILE, cmake/kiv.description, its
# Depends checked before it is written) and md5sums made here, every entry owned by root with the commit's time
# (dpkg-deb sorts the members and takes SOURCE_DATE_EPOCH for its own).
pack_deb() {
  local stage=$1 out=$2 version=$3 description_file=$4 arch root depends description
  arch=$(dpkg --print-architecture)
  depends=$(deb_depends "$stage") || return 1
  description=$(deb_description "$description_file") || return 1
  root=$(mktemp -d)
  cp -a "$stage/." "$root/"
  mkdir "$root/DEBIAN"
  cat > "$root/DEBIAN/control" <<CONTROL
Package: kiv
Version: $version
Architecture: $arch
Maintainer: kiv maintainers <maintainers@kiv.invalid>
Installed-Size: $(installed_size "$stage")
Depends: $depends
Section: libs
Priority: optional
Description: $description
CONTROL
  (cd "$root" && find usr -type f | LC_ALL=C sort | xargs md5sum) > "$root/DEBIAN/md5sums"
  normalize_tree "$root"
  chmod 0755 "$root" "$root/DEBIAN"
  dpkg-deb --root-owner-group -Zxz --build "$root" "$out/kiv_${version}_$arch.deb" >/dev/null
  rm -rf "$root"
}

# Writes OUT/SHA256SUMS over every other file in OUT, sorted by name.
write_sums() {
  local out=$1
  (cd "$out" && find . -type f ! -name 'SHA256SUMS*' | sed 's|^\./||' | LC_ALL=C sort |
    xargs sha256sum) > "$out/SHA256SUMS.new"
  mv "$out/SHA256SUMS.new" "$out/SHA256SUMS"
}
