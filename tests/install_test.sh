#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# install_test.sh - installing puts kestrune, the kestrune-decode link and the manual page in place,
# and the installed link decodes without -d; it puts libkestrune (the shared library with its links,
# the static library), kestrune.h, kestrune.pc and the CMake package in place, and the examples
# build against them and run (scripts/check-examples).
set -euo pipefail
build_dir=$1
source_dir=$(cd "$(dirname "$0")/.." && pwd)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
fail() {
  echo "install: $*" >&2
  exit 1
}

DESTDIR=$stage cmake --install "$build_dir" --prefix /usr >/dev/null
bin=$stage/usr/bin
test -x "$bin/kestrune"
test "$(readlink "$bin/kestrune-decode")" = kestrune
test -s "$stage/usr/share/man/man1/kestrune.1"
test -s "$stage/usr/share/man/man3/libkestrune.3"

# The library: in the multiarch directory where the system has one, as the packages want it. The
# installed kestrune loads it from there.
arch=$(gcc -print-multiarch 2>/dev/null || true)
libdir=/usr/lib${arch:+/$arch}
lib=$stage$libdir
export LD_LIBRARY_PATH=$lib

head -c 50000 /dev/urandom >"$stage/data"
"$bin/kestrune" "$stage/data" >"$stage/data.kst"
"$bin/kestrune-decode" "$stage/data.kst" | cmp - "$stage/data"
[ "$(ldd "$bin/kestrune" | awk '$1 == "libkestrune.so.1" { print $3 }')" = "$lib/libkestrune.so.1" ] ||
  fail "the installed kestrune does not load the installed libkestrune.so.1"

version=$("$bin/kestrune" --version)
version=${version#kestrune }
IFS=. read -r major minor patch <<<"$version"
full=$major.$minor.${patch:-0}
[ -f "$lib/libkestrune.so.$full" ] && [ ! -L "$lib/libkestrune.so.$full" ] ||
  fail "no libkestrune.so.$full in $libdir"
[ "$(readlink "$lib/libkestrune.so.$major")" = "libkestrune.so.$full" ] ||
  fail "libkestrune.so.$major is not a link to libkestrune.so.$full"
[ "$(readlink "$lib/libkestrune.so")" = "libkestrune.so.$major" ] ||
  fail "libkestrune.so is not a link to libkestrune.so.$major"
[ "$(stat -c %a "$lib/libkestrune.so.$full")" = 644 ] || fail "libkestrune.so.$full is not 0644"
[ -f "$lib/libkestrune.a" ] || fail "no libkestrune.a in $libdir"
cmp "$source_dir/include/kestrune.h" "$stage/usr/include/kestrune.h" ||
  fail "kestrune.h is not installed as it is"
for file in KestruneConfig.cmake KestruneConfigVersion.cmake KestruneTargets.cmake; do
  [ -f "$lib/cmake/Kestrune/$file" ] || fail "no $file in $libdir/cmake/Kestrune"
done

# kestrune.pc names the prefix the files were installed under, and the project's version.
pc=$lib/pkgconfig/kestrune.pc
[ -f "$pc" ] || fail "no kestrune.pc in $libdir/pkgconfig"
pcvar() { PKG_CONFIG_PATH=$lib/pkgconfig pkg-config "$@" kestrune; }
[ "$(pcvar --modversion)" = "$version" ] || fail "kestrune.pc: version $(pcvar --modversion)"
for variable in prefix=/usr libdir=$libdir includedir=/usr/include; do
  [ "$(pcvar --variable="${variable%%=*}")" = "${variable#*=}" ] ||
    fail "kestrune.pc: ${variable%%=*} is $(pcvar --variable="${variable%%=*}")"
done
[ "$(pcvar --print-requires-private)" = libmd ] || fail "kestrune.pc: libmd not Requires.private"

# A library built with the sanitizers needs their runtime in the program.
cflags=
if grep -qx 'KESTRUNE_SANITIZE:BOOL=ON' "$build_dir/CMakeCache.txt"; then
  cflags=-fsanitize=address,undefined
fi
CFLAGS=$cflags "$source_dir/scripts/check-examples" "$stage" >/dev/null
echo "install: ok"
