#!/usr/bin/env bash
# Every manual page, English and Russian, renders without a single groff warning (as
# `man -l` would show it) and has a whatis line that mandb can read; every English page
# has its Russian counterpart.
# Usage: man_pages.sh SOURCE_DIR
set -euo pipefail
src=$1
failed=0
for page in "$src"/packaging/*.1 "$src"/packaging/ru/*.1; do
  warnings=$(groff -ww -mandoc -Tutf8 -K utf8 "$page" 2>&1 >/dev/null)
  if [ -n "$warnings" ]; then
    echo "FAIL: ${page#$src/}: $warnings"
    failed=1
  fi
  if ! lexgrog "$page" >/dev/null 2>&1; then
    echo "FAIL: ${page#$src/}: no whatis line (NAME section) that mandb can read"
    failed=1
  fi
done
for page in "$src"/packaging/*.1; do
  [ -f "$src/packaging/ru/$(basename "$page")" ] || { echo "FAIL: no Russian page for $(basename "$page")"; failed=1; }
done
[ "$failed" = 0 ] && echo "manual pages: $(ls "$src"/packaging/*.1 "$src"/packaging/ru/*.1 | wc -l) rendered without warnings"
exit "$failed"
