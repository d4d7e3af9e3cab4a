#!/usr/bin/env bash
# Builds the Debian packages of a finished build in a temporary folder and checks them:
# their file lists, dependencies found from the binaries (none of Qt for the recorder), the
# desktop entry, the service unit (systemd-analyze verify), the installed programs'
# --help/--version, and lintian when it is installed.
# Usage: package_test.sh CPACK BUILD_DIR VERSION PACKAGE...
#   PACKAGE: grafimo485 (the window, in builds with Qt) and/or grafimo485-logger
set -euo pipefail
cpack=$1 build=$2 version=$3
shift 3
packages=("$@")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1 \
  || { cat "$tmp/cpack.log"; fail "cpack"; }
debs=("$tmp"/out/*.deb)
[ ${#debs[@]} -eq ${#packages[@]} ] || fail "expected ${packages[*]}, got: ${debs[*]}"

# The package's file list in $tmp/<name>.files, its tree in $tmp/<name>; common checks.
unpack() {
  local name=$1 deb=$2
  echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"
  dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$tmp/$name.files"
  # Nothing outside /usr, nothing from the build or test trees.
  if grep -v '^/usr' "$tmp/$name.files" | grep -v '^/$' | grep -q .; then fail "$name: files outside /usr"; fi
  if grep -Eq 'test|bench|\.a$' "$tmp/$name.files"; then fail "$name: test or build files packaged"; fi
  [ "$(dpkg-deb -f "$deb" Package)" = "$name" ] || fail "package name of $deb"
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$name: version $(dpkg-deb -f "$deb" Version)"
  dpkg-deb -x "$deb" "$tmp/$name"
}
has_files() {
  local name=$1
  shift
  for f in "$@"; do
    grep -qx "$f" "$tmp/$name.files" || { cat "$tmp/$name.files"; fail "$name: missing $f"; }
  done
}
run_lintian() {
  local deb=$1
  if command -v lintian >/dev/null; then
    lintian --fail-on error "$deb" >"$tmp/lintian.log" 2>&1 \
      || { cat "$tmp/lintian.log"; fail "lintian reports errors on $(basename "$deb")"; }
    cat "$tmp/lintian.log"
    echo "lintian: no errors on $(basename "$deb")"
  else
    echo "lintian is not installed: not run (scripts/setup.sh installs it)"
  fi
}

for name in "${packages[@]}"; do
  deb=("$tmp"/out/"${name}"_*.deb)
  [ -f "${deb[0]}" ] || fail "no package $name among: ${debs[*]}"
  deb=${deb[0]}
  unpack "$name" "$deb"
  root=$tmp/$name
  depends=$(dpkg-deb -f "$deb" Depends)
  echo "Depends: $depends"
  case $name in
  grafimo485)
    has_files "$name" /usr/bin/grafimo485 /usr/bin/grafimo-sim \
      /usr/share/applications/grafimo485.desktop \
      /usr/share/icons/hicolor/scalable/apps/grafimo485.svg \
      /usr/share/icons/hicolor/48x48/apps/grafimo485.png \
      /usr/share/icons/hicolor/128x128/apps/grafimo485.png \
      /usr/share/man/man1/grafimo485.1.gz /usr/share/man/man1/grafimo-sim.1.gz \
      /usr/share/man/ru/man1/grafimo485.1.gz /usr/share/man/ru/man1/grafimo-sim.1.gz \
      /usr/share/doc/grafimo485/ru/quickstart.md /usr/share/doc/grafimo485/ru/img/main.png \
      /usr/share/doc/grafimo485/copyright /usr/share/doc/grafimo485/changelog.gz
    # The window's package keeps the window only: the recorder has its own.
    if grep -q grafimo-logger "$tmp/$name.files"; then fail "grafimo485 holds the recorder"; fi
    for lib in libc6 libstdc++6 libqt6widgets6 libqt6serialport6 libqcustomplot2.1-qt6; do
      grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib"
    done
    desktop-file-validate "$root/usr/share/applications/grafimo485.desktop" || fail "desktop entry"
    grep -qx 'Exec=grafimo485 --desktop' "$root/usr/share/applications/grafimo485.desktop" || fail "Exec line"
    for page in man1/grafimo485 man1/grafimo-sim ru/man1/grafimo485 ru/man1/grafimo-sim; do
      zcat "$root/usr/share/man/$page.1.gz" | grep -q '^\.TH' || fail "man page $page"
    done
    # Every picture the guide shows is in the package.
    for picture in $(grep -o '](img/[^)]*\.png)' "$root/usr/share/doc/grafimo485/ru/quickstart.md" | sed 's/^](//; s/)$//'); do
      [ -f "$root/usr/share/doc/grafimo485/ru/$picture" ] || fail "quick start picture $picture not packaged"
    done
    file "$root/usr/share/icons/hicolor/48x48/apps/grafimo485.png" | grep -q '48 x 48' || fail "48 px icon"
    # The installed program answers without a display.
    out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/grafimo485" --version)
    [ "$(head -n1 <<<"$out")" = "grafimo485 $version" ] || fail "--version said: $out"
    grep -q 'GPL-3.0-or-later' <<<"$out" || fail "--version names no licence: $out"
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/grafimo485" --help | grep -q -- '--desktop' \
      || fail "--help"
    "$root/usr/bin/grafimo-sim" --help >/dev/null || fail "grafimo-sim --help"
    ;;
  grafimo485-logger)
    unit=/usr/lib/systemd/system/grafimo-logger@.service
    has_files "$name" /usr/bin/grafimo-logger "$unit" /usr/share/man/man1/grafimo-logger.1.gz \
      /usr/share/man/ru/man1/grafimo-logger.1.gz \
      /usr/share/doc/grafimo485-logger/copyright /usr/share/doc/grafimo485-logger/changelog.gz
    # A board without a desktop installs it alone: nothing of Qt or of the window.
    if grep -qi 'qt\|qcustomplot' <<<"$depends"; then fail "the recorder depends on Qt: $depends"; fi
    if grep -Eq 'grafimo485$|grafimo-sim|applications|icons' "$tmp/$name.files"; then fail "the window's files in $name"; fi
    grep -q libsystemd0 <<<"$depends" || fail "Depends lacks libsystemd0"
    grep -q libmosquitto1 <<<"$depends" || fail "Depends lacks libmosquitto1 (the MQTT publisher)"
    zcat "$root/usr/share/man/man1/grafimo-logger.1.gz" | grep -q '^\.TH GRAFIMO\\-LOGGER' || fail "man page grafimo-logger"
    out=$(env -i "$root/usr/bin/grafimo-logger" --version)
    [ "$(head -n1 <<<"$out")" = "grafimo-logger $version" ] || fail "grafimo-logger --version said: $out"
    env -i "$root/usr/bin/grafimo-logger" --help | grep -q -- '--state-dir' || fail "grafimo-logger --help"
    # The unit as installed, its program taken from the package tree.
    if command -v systemd-analyze >/dev/null; then
      mkdir -p "$tmp/units"
      sed "s|/usr/bin/grafimo-logger|$root/usr/bin/grafimo-logger|" "$root$unit" >"$tmp/units/grafimo-logger@check.service"
      grep -q "^ExecStart=$root/usr/bin/grafimo-logger " "$tmp/units/grafimo-logger@check.service" || fail "ExecStart"
      verify=$(systemd-analyze verify --man=no "$tmp/units/grafimo-logger@check.service" 2>&1) \
        || { echo "$verify"; fail "systemd-analyze verify"; }
      [ -z "$verify" ] || { echo "$verify"; fail "systemd-analyze verify has remarks"; }
      echo "systemd-analyze verify: clean"
    else
      echo "systemd-analyze is not installed: the unit was not verified"
    fi
    ;;
  *) fail "unknown package $name" ;;
  esac
  run_lintian "$deb"
done
echo "package OK"
