#!/usr/bin/env bash
# The screenshot script opens every window and menu the quick start shows (it stops when a
# window does not come up under its caption) and makes every picture the guide refers to.
# The pictures go to a temporary folder; docs/ru/img is left alone.
# Usage: screenshots_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1 build=$2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
started=$(date +%s)
GRAFIMO_BUILD=$build "$src/scripts/screenshots.sh" "$out"
for picture in $(grep -o '](img/[^)]*\.png)' "$src/docs/ru/quickstart.md" | sed 's|^](img/||; s|)$||'); do
  [ -s "$out/$picture" ] || { echo "FAIL: $picture was not made"; exit 1; }
done
echo "screenshots: every picture of the guide made in $(($(date +%s) - started)) s"
