#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# install_test.sh - installing the scan component puts kestrune-scan and its manual page in place,
# and the installed scanner, with the run-time library installed beside it, finds the parameters of
# a stream kestrune wrote.
set -euo pipefail
build_dir=$1
kestrune=$2
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

DESTDIR=$stage cmake --install "$build_dir" --prefix /usr --component scan >/dev/null
DESTDIR=$stage cmake --install "$build_dir" --prefix /usr --component libkestrune1 >/dev/null
bin=$stage/usr/bin
arch=$(gcc -print-multiarch 2>/dev/null || true)
export LD_LIBRARY_PATH=$stage/usr/lib${arch:+/$arch}
test -x "$bin/kestrune-scan"
test -s "$stage/usr/share/man/man1/kestrune-scan.1"

head -c 50000 /dev/urandom >"$stage/data"
"$kestrune" -b 2K -n 12 -k 9 "$stage/data" >"$stage/data.kst"
"$bin/kestrune-scan" "$stage/data.kst" >"$stage/report"
grep -qx "restore with: kestrune -d -b 2048 -n 12 -k 9 $stage/data.kst" "$stage/report"
grep -qx "result: every chunk intact (exit 0)" "$stage/report"
echo "scan install: ok"
