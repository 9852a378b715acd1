#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# package_test.sh - `cpack -G DEB` makes a package that holds the programs, the kestrune-decode link
# and the manual pages under /usr, declares what it needs, carries the copyright file and changelog
# Debian asks for, passes lintian without an error or a warning, and whose unpacked programs
# round-trip a file. Nothing is installed on the machine: the package is unpacked into a temporary
# directory.
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
debs=("$work"/out/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb, got: ${debs[*]}"
deb=${debs[0]}

# Contents: exactly these files and links (directories aside).
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }' |
  sort >"$work/contents"
sort >"$work/expected" <<'EOF'
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
diff -u "$work/expected" "$work/contents" || fail "unexpected contents"

# The control fields.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = kestrune ] || fail "Package: $(field Package)"
[ "$(field Section)" = utils ] || fail "Section: $(field Section)"
[[ "$(field Maintainer)" =~ ^[^\<]+\ \<[^\>]+@[^\>]+\>$ ]] || fail "Maintainer: $(field Maintainer)"
[[ "$(field Description)" == *erasure\ code* ]] || fail "Description: $(field Description)"
[[ ", $(field Depends)," =~ ,\ libmd0[\ ,] ]] || fail "Depends lacks libmd0: $(field Depends)"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] ||
  fail "Architecture: $(field Architecture)"

# Debian's policy, as lintian checks it: any error or warning fails, and so does a missing lintian
# (scripts/install-deps installs it).
command -v lintian >/dev/null || fail "lintian is not installed (scripts/install-deps installs it)"
lintian --fail-on error,warning "$deb" >"$work/lintian" 2>&1 ||
  { cat "$work/lintian" >&2; fail "lintian finds errors or warnings"; }

root=$work/root
dpkg-deb -x "$deb" "$root"
version=$(field Version)
upstream=${version%-*}
# The changelog's latest entry is the one of the package's version; the copyright file holds the
# license text of LICENSE, in the machine-readable format's indented form.
doc=$root/usr/share/doc/kestrune
gzip -dc "$doc/changelog.Debian.gz" >"$work/changelog"
[ "$(dpkg-parsechangelog -l "$work/changelog" -S Version)" = "$version" ] ||
  fail "changelog.Debian.gz has no entry for $version on top"
format=https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
grep -qx "Format: $format" "$doc/copyright" || fail "copyright: not in the machine-readable format"
sed -n '/^License: MIT$/,$ p' "$doc/copyright" | tail -n +2 >"$work/license"
! grep -q '^[[:space:]]*$' "$work/license" || fail "copyright: an empty line in the license text"
sed -n '/^Permission/,$ p' "$source_dir/LICENSE" >"$work/expected-license"
sed 's/^ \.$//; s/^ //' "$work/license" | diff -u "$work/expected-license" - ||
  fail "copyright lacks the license text of LICENSE"

# The unpacked programs: the version the package carries, and a file round-tripped through kestrune
# and the kestrune-decode link, and checked by kestrune-scan.
bin=$root/usr/bin
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
echo "package: ok ($(basename "$deb"))"
