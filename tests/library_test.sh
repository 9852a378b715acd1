#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# library_test.sh - libkestrune.so is named libkestrune.so.1 (its SONAME), exports the functions of
# kestrune.h and nothing else, each in version node KESTRUNE_1, and needs no library beyond libmd
# and the C and C++ runtimes; libkestrune.a holds every object of the internal libraries.
#   library_test.sh LIBKESTRUNE.so LIBKESTRUNE.a INTERNAL.a...
set -euo pipefail
shared=$1
static=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "library: $*" >&2
  exit 1
}

readelf -d "$shared" >"$work/dynamic"
soname=$(sed -n 's/.*(SONAME).*\[\(.*\)\]$/\1/p' "$work/dynamic")
[ "$soname" = libkestrune.so.1 ] || fail "SONAME is '$soname'"

# Exported: kestrune_* functions, versioned KESTRUNE_1; the node itself is an absolute symbol.
nm -D --defined-only --with-symbol-versions "$shared" >"$work/exported"
grep -q ' A KESTRUNE_1$' "$work/exported" || fail "no version node KESTRUNE_1"
grep -v ' A KESTRUNE_1$' "$work/exported" >"$work/functions" || true
stray=$(awk '$2 != "T" || $3 !~ /^kestrune_[a-z0-9_]+@@KESTRUNE_1$/' "$work/functions")
[ -z "$stray" ] || fail "exported beyond the kestrune_* functions of KESTRUNE_1:"$'\n'"$stray"
for function in kestrune_version_number kestrune_version_string; do
  grep -q " T $function@@KESTRUNE_1$" "$work/functions" || fail "$function is not exported"
done

# Needed: libmd, the C and C++ runtimes, and the sanitizers' in a sanitizer build.
needed=$(sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p' "$work/dynamic")
grep -qx 'libmd\.so\.0' <<<"$needed" || fail "does not link libmd: $needed"
others=$(grep -vxE 'lib(md|stdc\+\+|m|gcc_s|c|asan|ubsan)\.so\.[0-9]+' <<<"$needed" || true)
[ -z "$others" ] || fail "needs more than libmd and the runtimes: $others"

# libkestrune.a: every member of every internal library (names repeat across them), and the
# functions of kestrune.h.
for archive in "$@"; do ar t "$archive"; done | sort >"$work/internal"
ar t "$static" | sort >"$work/members"
missing=$(comm -23 "$work/internal" "$work/members")
[ -z "$missing" ] || fail "libkestrune.a lacks objects of the internal libraries: $missing"
nm --defined-only "$static" 2>/dev/null | grep -q ' T kestrune_version_string$' ||
  fail "libkestrune.a does not define kestrune_version_string"
echo "library: ok ($(wc -l <"$work/functions") functions exported, $(wc -l <"$work/members") objects)"
