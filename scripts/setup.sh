#!/usr/bin/env bash
# Installs what the build, the tests and the demo need on Debian 12; idempotent.
set -euo pipefail
# xdotool, openbox and x11-utils drive and frame the windows for scripts/screenshots.sh.
# clang-14 and its runtime build the fuzz targets (libFuzzer); llvm-14 symbolizes their reports.
FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev llvm-14)
PACKAGES=(cmake ninja-build g++ pkg-config qt6-base-dev libqt6opengl6-dev libqcustomplot-dev
  qt6-serialport-dev qt6-translations-l10n libgtest-dev googletest xvfb xauth imagemagick
  fonts-dejavu-core mbpoll python3-pymodbus python3-serial python3-serial-asyncio socat
  dpkg-dev fakeroot lintian desktop-file-utils file
  libmosquitto-dev mosquitto mosquitto-clients libsystemd-dev systemd openssl groff man-db ccache
  xdotool openbox x11-utils)
missing=()
for p in "${PACKAGES[@]}" "${FUZZ_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  echo "installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
