#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# install_test.sh - installing puts kestrune, the kestrune-decode link and the manual page in place,
# and the installed link decodes without -d.
set -euo pipefail
build_dir=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

DESTDIR=$stage cmake --install "$build_dir" --prefix /usr >/dev/null
bin=$stage/usr/bin
test -x "$bin/kestrune"
test "$(readlink "$bin/kestrune-decode")" = kestrune
test -s "$stage/usr/share/man/man1/kestrune.1"

head -c 50000 /dev/urandom >"$stage/data"
"$bin/kestrune" "$stage/data" >"$stage/data.kst"
"$bin/kestrune-decode" "$stage/data.kst" | cmp - "$stage/data"
echo "install: ok"
