#!/usr/bin/env bash
# Builds the Debian package of a finished build in a temporary folder and checks it: its
# file list, dependencies found from the binaries, the desktop entry, the installed
# program's --help/--version, and lintian when it is installed.
# Usage: package_test.sh CPACK BUILD_DIR VERSION
set -euo pipefail
cpack=$1 build=$2 version=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1 \
  || { cat "$tmp/cpack.log"; fail "cpack"; }
debs=("$tmp"/out/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb, got: ${debs[*]}"
deb=${debs[0]}
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"

dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$tmp/files"
for f in /usr/bin/grafimo485 /usr/bin/grafimo-sim \
         /usr/share/applications/grafimo485.desktop \
         /usr/share/icons/hicolor/scalable/apps/grafimo485.svg \
         /usr/share/icons/hicolor/48x48/apps/grafimo485.png \
         /usr/share/icons/hicolor/128x128/apps/grafimo485.png \
         /usr/share/man/man1/grafimo485.1.gz /usr/share/man/man1/grafimo-sim.1.gz \
         /usr/share/man/ru/man1/grafimo485.1.gz /usr/share/man/ru/man1/grafimo-sim.1.gz \
         /usr/share/doc/grafimo485/ru/quickstart.md /usr/share/doc/grafimo485/ru/img/main.png \
         /usr/share/doc/grafimo485/copyright /usr/share/doc/grafimo485/changelog.gz; do
  grep -qx "$f" "$tmp/files" || { cat "$tmp/files"; fail "missing $f"; }
done
# Nothing outside /usr, nothing from the build or test trees.
if grep -v '^/usr' "$tmp/files" | grep -v '^/$' | grep -q .; then fail "files outside /usr"; fi
if grep -Eq 'test|bench|\.a$' "$tmp/files"; then fail "test or build files packaged"; fi

[ "$(dpkg-deb -f "$deb" Package)" = grafimo485 ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "version $(dpkg-deb -f "$deb" Version)"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libc6 libstdc++6 libqt6widgets6 libqt6serialport6 libqcustomplot2.1-qt6; do
  grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib"
done

dpkg-deb -x "$deb" "$tmp/root"
desktop-file-validate "$tmp/root/usr/share/applications/grafimo485.desktop" || fail "desktop entry"
grep -qx 'Exec=grafimo485 --desktop' "$tmp/root/usr/share/applications/grafimo485.desktop" || fail "Exec line"
for page in man1/grafimo485 man1/grafimo-sim ru/man1/grafimo485 ru/man1/grafimo-sim; do
  zcat "$tmp/root/usr/share/man/$page.1.gz" | grep -q '^\.TH' || fail "man page $page"
done
# Every picture the guide shows is in the package.
for picture in $(grep -o '](img/[^)]*\.png)' "$tmp/root/usr/share/doc/grafimo485/ru/quickstart.md" | sed 's/^](//; s/)$//'); do
  [ -f "$tmp/root/usr/share/doc/grafimo485/ru/$picture" ] || fail "quick start picture $picture not packaged"
done
file "$tmp/root/usr/share/icons/hicolor/48x48/apps/grafimo485.png" | grep -q '48 x 48' || fail "48 px icon"

# The installed program answers without a display.
out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$tmp/root/usr/bin/grafimo485" --version)
[ "$(head -n1 <<<"$out")" = "grafimo485 $version" ] || fail "--version said: $out"
grep -q 'GPL-3.0-or-later' <<<"$out" || fail "--version names no licence: $out"
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$tmp/root/usr/bin/grafimo485" --help | grep -q -- '--desktop' \
  || fail "--help"
"$tmp/root/usr/bin/grafimo-sim" --help >/dev/null || fail "grafimo-sim --help"

if command -v lintian >/dev/null; then
  lintian --fail-on error "$deb" >"$tmp/lintian.log" 2>&1 \
    || { cat "$tmp/lintian.log"; fail "lintian reports errors"; }
  cat "$tmp/lintian.log"
  echo "lintian: no errors"
else
  echo "lintian is not installed: not run (scripts/setup.sh installs it)"
fi
echo "package OK"
