#!/usr/bin/env bash
# Pictures of the windows for the Russian quick start (docs/ru/quickstart.md): runs
# grafimo485 on three simulated devices under Xvfb with a small window manager (for the
# title bars), opens each window and menu the guide shows with xdotool and saves PNGs.
# Run it again after a window changes.
# Usage: scripts/screenshots.sh [OUT_DIR]
#   OUT_DIR defaults to docs/ru/img, and then the main window also goes to docs/screenshot.png
#   (the README's picture). GRAFIMO_BUILD names a finished build folder to take the programs
#   from; without it build/release is built as scripts/demo.sh does.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

if [ -z "${GRAFIMO_SCREENSHOTS_INNER:-}" ]; then
  out=$(mkdir -p "${1:-$root/docs/ru/img}" && cd "${1:-$root/docs/ru/img}" && pwd)
  if [ -z "${GRAFIMO_BUILD:-}" ]; then
    "$root/scripts/setup.sh"
    cmake -S "$root" -B "$root/build/release" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$root/build/release" -j "$(nproc)" --target grafimo485 grafimo-sim
    export GRAFIMO_BUILD=$root/build/release
  fi
  GRAFIMO_SCREENSHOTS_INNER=1 xvfb-run -a -s "-screen 0 1280x900x24 -nolisten tcp" "$0" "$out"
  if [ -z "${1:-}" ]; then
    cp "$out/main.png" "$root/docs/screenshot.png"
  fi
  exit 0
fi

# ---- inside Xvfb ------------------------------------------------------------------------
started=$(date +%s%N)
out=$1
app=$GRAFIMO_BUILD/app/grafimo485
sim=$GRAFIMO_BUILD/sim/grafimo-sim
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "screenshots: $*" >&2; exit 1; }

# Russian regional formats in the readout and file names; the windows speak Russian anyway.
unset LC_ALL LC_MESSAGES LC_TIME LC_NUMERIC LANGUAGE
export LANG=ru_RU.UTF-8 XDG_STATE_HOME=$work/state XDG_RUNTIME_DIR=$work/run
unset QT_QPA_PLATFORM   # the test command sets offscreen; these windows go to Xvfb
mkdir -m 0700 -p "$XDG_RUNTIME_DIR"
# Title bars with the caption alone, in a regular weight, so that the captions of the
# narrow dialogs fit.
sed -e 's|<titleLayout>[A-Z]*</titleLayout>|<titleLayout>L</titleLayout>|' -e 's|<weight>[A-Za-z]*</weight>|<weight>Normal</weight>|' \
  /etc/xdg/openbox/rc.xml >"$work/openbox.xml"
openbox --sm-disable --config-file "$work/openbox.xml" >/dev/null 2>&1 &
pids+=($!)

# Device 3 answers with a wrong CRC now and then, so the monitor shows a bad answer too; the
# log of device 1 holds 24 records ten minutes apart.
"$sim" --pace --link "$work/ttyRS485" --devices 1,2,3 --bad-crc 3:7 \
  --log-count 1:24 --log-interval 1:0:10 --log-state 1:on >"$work/sim.out" 2>"$work/sim.err" &
pids+=($!)
for _ in $(seq 100); do [ -L "$work/ttyRS485" ] && break; sleep 0.05; done
[ -L "$work/ttyRS485" ] || fail "the simulator did not start: $(cat "$work/sim.err")"

# grafimo.cfg: the port-name record in a 100-byte header, then the devices (Windows-1251).
/usr/bin/python3 - "$work/grafimo.cfg" ttyRS485 <<'PY'
import sys
path, port = sys.argv[1], sys.argv[2].encode()
header = bytes([len(port)]) + port
header += bytes(100 - len(header))
body = b""
for addr, text in ((1, "Датчик давления"), (2, "Термометр цеха"), (3, "Расходомер")):
    d = text.encode("cp1251")
    body += bytes([addr, len(d)]) + d
open(path, "wb").write(header + body)
PY

start_app() {
  (cd "$work" && exec "$app") >>"$work/app.out" 2>&1 &
  app_pid=$!
  pids+=("$app_pid")
}

# The id of the active window once its title holds the text: each window the script opens
# takes the focus (window titles are matched here, not by xdotool, as they are UTF-8).
window() {
  local id
  for _ in $(seq 200); do
    id=$(xdotool getactivewindow 2>/dev/null) \
      && [[ "$(LC_ALL=C.UTF-8 xprop -id "$id" _NET_WM_NAME 2>/dev/null)" == *"$1"* ]] && { echo "$id"; return; }
    sleep 0.05
  done
  fail "no window '$1'"
}

# Its frame on the screen (title bar and borders included) as WxH+X+Y.
frame() {
  local x y w h l r t b
  read -r x y w h < <(LC_ALL=C xwininfo -id "$1" | awk '/Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF}
    /Width:/ {w=$NF} /Height:/ {h=$NF} END {print x, y, w, h}')
  IFS=', ' read -r l r t b < <(xprop -id "$1" _NET_FRAME_EXTENTS | sed 's/.*= //')
  echo "$((w + l + r))x$((h + t + b))+$((x - l))+$((y - t))"
}

# The top left corner of a window below its title bar, W by H pixels: for its menus.
corner() {
  local x y
  read -r x y < <(LC_ALL=C xwininfo -id "$1" | awk '/Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF}
    END {print x, y}')
  echo "${2}x${3}+$((x - 1))+${y}"
}

shot() {
  sleep "${3:-0.2}"   # the last repaint
  import -window root -crop "$2" +repage "$out/$1.png"
  echo "screenshots: $1.png ($((($(date +%s%N) - started) / 1000000)) ms)"
}

# Click at a point of a window (client coordinates).
click() { xdotool mousemove --window "$1" "$2" "$3" click "${4:-1}"; }
key() { xdotool key --clearmodifiers "$@"; }
# Menu bar titles: the first one is clicked, the others reached with the arrow keys; the
# menu opens with its first item highlighted.
open_menu() {
  click "$1" 20 8
  sleep 0.2
  if (($2 == 0)); then key Down; fi
  for ((i = 0; i < $2; ++i)); do key Right; done
}
# The item n of the menu just opened.
pick() {
  for ((i = 1; i < $1; ++i)); do key Down; done
  key Return
}

start_app
main=$(window 'Grafimo485v01')
sleep 3   # samples for the charts
shot main "$(frame "$main")" 0

open_menu "$main" 0
shot menu-file "$(corner "$main" 420 150)"
key Escape
open_menu "$main" 2
shot menu-device "$(corner "$main" 420 150)"
key Escape
open_menu "$main" 1
shot menu-settings "$(corner "$main" 420 150)"
pick 1
port=$(window 'Параметры порта')
shot port "$(frame "$port")"
key alt+F4

# The device dialog with a free address picked: "Добавить" and the description prompt.
open_menu "$main" 2
pick 1
device=$(window 'Добавление окна прибора')
click "$device" 240 18 1
key ctrl+a
xdotool type --delay 20 4
shot device "$(frame "$device")"
key alt+F4

# Zoomed in by the wheel (no longer following: "Пауза"), the readout under the pointer.
click "$main" 600 150 4
click "$main" 600 150 4
xdotool mousemove --window "$main" 520 200
shot readout "$(frame "$main")"
click "$main" 520 200 3
sleep 0.3
read -r px py < <(xdotool getmouselocation | sed 's/x:\([0-9]*\) y:\([0-9]*\).*/\1 \2/')
shot chart-menu "360x130+$((px - 150))+$((py - 40))"
key Escape
click "$main" 520 200
xdotool click --repeat 2 --delay 80 1   # double-click: following again

open_menu "$main" 1
pick 2
monitor=$(window 'Опрос канала')
shot monitor "$(frame "$monitor")" 1
key alt+F4

open_menu "$main" 2
pick 2
log=$(window 'Протокол прибора')
sleep 1.5   # the opening query: count, interval, state
open_menu "$log" 1
pick 1
# Read to the end: the progress line under the charts goes away (one colour left there).
sleep 0.5
for _ in $(seq 150); do
  [ "$(import -window "$log" -crop 300x18+330+600 -format '%k' info:)" = 1 ] && break
  sleep 0.1
done
shot log "$(frame "$log")"
open_menu "$log" 1
shot log-menu "$(corner "$log" 250 106)"
pick 3
interval=$(window 'Задание интервала')
shot interval "$(frame "$interval")"
key alt+F4
sleep 0.5
xdotool windowactivate --sync "$log" 2>/dev/null || true
key alt+F4

# The question at close (the samples are not saved); a signal then ends the program without
# asking, as a logout would, and the next start offers the samples of that run.
xdotool windowactivate --sync "$main" 2>/dev/null || true
key alt+F4
question=$(window '"Выход"')   # the title exactly, in xprop's quotes
shot close "$(frame "$question")"
kill -TERM "$app_pid"
wait "$app_pid" || true
start_app
question=$(window 'Замеры прошлого запуска')
shot last-run "$(frame "$question")"
kill -TERM "$app_pid"
wait "$app_pid" || true
