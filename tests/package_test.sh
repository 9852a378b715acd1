#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# package_test.sh - `cpack -G DEB` makes three packages: kestrune (the programs, the kestrune-decode
# link and the manual pages), libkestrune1 (the shared library, with its shlibs file) and
# libkestrune-dev (the header, the link to the shared library, the static library, the pkg-config
# module and the CMake package). Each holds exactly its files under /usr, the libraries in the
# multiarch directory; declares what it needs; carries the copyright file and changelog Debian asks
# for; and all three pass lintian without an error or a warning. The unpacked programs round-trip a
# file. Nothing is installed on the machine: the packages are unpacked into a temporary directory
# (scripts/check-packages installs them).
set -euo pipefail
build_dir=$1
source_dir=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "package: $*" >&2
  exit 1
}

(cd "$work" && cpack -G DEB --config "$build_dir/CPackConfig.cmake" -B "$work/out" >cpack.log 2>&1) ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
packages=(kestrune libkestrune1 libkestrune-dev)
debs=("$work"/out/*.deb)
[ ${#debs[@]} -eq ${#packages[@]} ] || fail "expected ${#packages[@]} .debs, got: ${debs[*]}"
declare -A deb
for file in "${debs[@]}"; do
  deb[$(dpkg-deb -f "$file" Package)]=$file
done
for package in "${packages[@]}"; do
  [ -n "${deb[$package]:-}" ] || fail "no package $package among: ${debs[*]}"
done
field() { dpkg-deb -f "${deb[$1]}" "$2"; }

version=$(field kestrune Version)
upstream=${version%-*}
IFS=. read -r major minor patch <<<"$upstream"
full=$major.$minor.${patch:-0}
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
lib=./usr/lib/$multiarch
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build_dir/CMakeCache.txt")
build_type=${build_type:-noconfig}

# Contents: exactly these files and links (directories aside).
cat >"$work/expected-kestrune" <<EOF
./usr/bin/kestrune
./usr/bin/kestrune-decode -> kestrune
./usr/bin/kestrune-scan
./usr/share/doc/kestrune/changelog.Debian.gz
./usr/share/doc/kestrune/copyright
./usr/share/lintian/overrides/kestrune
./usr/share/man/man1/kestrune-decode.1.gz -> kestrune.1.gz
./usr/share/man/man1/kestrune-scan.1.gz
./usr/share/man/man1/kestrune.1.gz
EOF
cat >"$work/expected-libkestrune1" <<EOF
$lib/libkestrune.so.$major -> libkestrune.so.$full
$lib/libkestrune.so.$full
./usr/share/doc/libkestrune1/changelog.Debian.gz
./usr/share/doc/libkestrune1/copyright
./usr/share/lintian/overrides/libkestrune1
EOF
cat >"$work/expected-libkestrune-dev" <<EOF
./usr/include/kestrune.h
$lib/cmake/Kestrune/KestruneConfig.cmake
$lib/cmake/Kestrune/KestruneConfigVersion.cmake
$lib/cmake/Kestrune/KestruneTargets-${build_type,,}.cmake
$lib/cmake/Kestrune/KestruneTargets.cmake
$lib/libkestrune.a
$lib/libkestrune.so -> libkestrune.so.$major
$lib/pkgconfig/kestrune.pc
./usr/share/doc/libkestrune-dev/changelog.Debian.gz
./usr/share/doc/libkestrune-dev/copyright
./usr/share/lintian/overrides/libkestrune-dev
./usr/share/man/man3/libkestrune.3.gz
EOF
for package in "${packages[@]}"; do
  dpkg-deb -c "${deb[$package]}" |
    awk '$1 !~ /^d/ { $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }' | sort >"$work/contents"
  sort "$work/expected-$package" | diff -u - "$work/contents" ||
    fail "unexpected contents of $package"
done

# The control fields: those of every package, then each one's section, what it depends on (a name,
# or a name and its version exactly) and the source it comes from.
depends_on() {
  local item items
  IFS=, read -ra items <<<"$(field "$1" Depends)"
  for item in "${items[@]}"; do
    item=${item# }
    [[ "$item" == "$2" || "$item" == "$2 ("* ]] && return 0
  done
  return 1
}
for package in "${packages[@]}"; do
  [ "$(basename "${deb[$package]}")" = "${package}_${version}_$arch.deb" ] ||
    fail "$package: file name $(basename "${deb[$package]}")"
  [ "$(field "$package" Version)" = "$version" ] || fail "$package: Version $(field "$package" Version)"
  [ "$(field "$package" Architecture)" = "$arch" ] ||
    fail "$package: Architecture $(field "$package" Architecture)"
  [[ "$(field "$package" Maintainer)" =~ ^[^\<]+\ \<[^\>]+@[^\>]+\>$ ]] ||
    fail "$package: Maintainer $(field "$package" Maintainer)"
  [[ "$(field "$package" Description)" == *erasure\ code* ]] ||
    fail "$package: Description $(field "$package" Description)"
done
while IFS='|' read -r package section source depends; do
  [ "$(field "$package" Section)" = "$section" ] || fail "$package: Section $(field "$package" Section)"
  [ "$(field "$package" Source)" = "$source" ] || fail "$package: Source $(field "$package" Source)"
  IFS=';' read -ra needs <<<"$depends"
  for need in "${needs[@]}"; do
    depends_on "$package" "$need" || fail "$package: Depends lacks $need: $(field "$package" Depends)"
  done
done <<EOF
kestrune|utils||libkestrune1 (= $version)
libkestrune1|libs|kestrune|libmd0;libstdc++6
libkestrune-dev|libdevel|kestrune|libkestrune1 (= $version);libmd-dev
EOF
# A program linked with libkestrune.so.1 depends on libkestrune1 of this version or later.
shlibs=$(dpkg-deb -I "${deb[libkestrune1]}" shlibs) || fail "libkestrune1 has no shlibs file"
[ "$shlibs" = "libkestrune $major libkestrune1 (>= $version)" ] || fail "libkestrune1 shlibs: $shlibs"
# ldconfig runs by its trigger, not from maintainer scripts.
[ "$(dpkg-deb -I "${deb[libkestrune1]}" triggers)" = "activate-noawait ldconfig" ] ||
  fail "libkestrune1 does not activate the ldconfig trigger"

# Debian's policy, as lintian checks it, on the three together: any error or warning fails, and so
# does a missing lintian (scripts/install-deps installs it).
command -v lintian >/dev/null || fail "lintian is not installed (scripts/install-deps installs it)"
lintian --fail-on error,warning "${debs[@]}" >"$work/lintian" 2>&1 ||
  { cat "$work/lintian" >&2; fail "lintian finds errors or warnings"; }

root=$work/root
for package in "${packages[@]}"; do
  dpkg-deb -x "${deb[$package]}" "$root"
done
# Each package's changelog's latest entry is the one of the packages' version; its copyright file
# holds the license text of LICENSE, in the machine-readable format's indented form.
format=https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
sed -n '/^Permission/,$ p' "$source_dir/LICENSE" >"$work/expected-license"
for package in "${packages[@]}"; do
  doc=$root/usr/share/doc/$package
  gzip -dc "$doc/changelog.Debian.gz" >"$work/changelog"
  [ "$(dpkg-parsechangelog -l "$work/changelog" -S Version)" = "$version" ] ||
    fail "$package: changelog.Debian.gz has no entry for $version on top"
  grep -qx "Format: $format" "$doc/copyright" ||
    fail "$package: copyright not in the machine-readable format"
  sed -n '/^License: MIT$/,$ p' "$doc/copyright" | tail -n +2 >"$work/license"
  ! grep -q '^[[:space:]]*$' "$work/license" ||
    fail "$package: copyright has an empty line in the license text"
  sed 's/^ \.$//; s/^ //' "$work/license" | diff -u "$work/expected-license" - ||
    fail "$package: copyright lacks the license text of LICENSE"
done

# The unpacked programs, kestrune with the unpacked libkestrune.so.1: the version the package
# carries, and a file round-tripped through kestrune and the kestrune-decode link, and checked by
# kestrune-scan.
bin=$root/usr/bin
multiarch=$(gcc -print-multiarch 2>/dev/null || true)
export LD_LIBRARY_PATH=$root/usr/lib${multiarch:+/$multiarch}
[ "$("$bin/kestrune" --version)" = "kestrune $upstream" ] || fail "kestrune --version"
[ "$("$bin/kestrune-scan" --version)" = "kestrune-scan $upstream" ] ||
  fail "kestrune-scan --version"
head -c 300000 /dev/urandom >"$work/data"
"$bin/kestrune" -b 2K -n 10 -k 7 "$work/data" >"$work/data.kst"
"$bin/kestrune-decode" -b 2K -n 10 -k 7 "$work/data.kst" | cmp - "$work/data"
"$bin/kestrune-scan" --salvage - "$work/data.kst" 2>"$work/report" | cmp - "$work/data"
grep -qx "result: every chunk intact (exit 0)" "$work/report" || fail "kestrune-scan report"

# The manual pages: each one's header carries the version, and man finds the decode name's page.
man=$root/usr/share/man/man1
for page in kestrune.1 kestrune-scan.1; do
  gzip -dc "$man/$page.gz" >"$work/$page"
  grep -q "^\.TH .* \"kestrune $upstream\"" "$work/$page" ||
    fail "$page does not say version $upstream"
done
found=$(man -M "$root/usr/share/man" -w kestrune-decode) || fail "man does not find kestrune-decode"
[ "$(readlink -f "$found")" = "$(readlink -f "$man/kestrune.1.gz")" ] ||
  fail "man kestrune-decode shows $found, not kestrune.1.gz"
echo "package: ok ($(cd "$work/out" && echo *.deb))"
