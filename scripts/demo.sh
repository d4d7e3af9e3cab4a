#!/usr/bin/env bash
# Builds what is missing and runs grafimo485 on a simulated bus of three devices.
# Without a display it runs under Xvfb for a few seconds and saves a screenshot.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "$(nproc)" --target grafimo485 grafimo-sim

demo="$root/demo"
mkdir -p "$demo"
# A short link name in the demo folder: the program runs there and stores it as typed, so the
# status bar (and the screenshot) shows nothing of the machine it runs on.
link="$demo/ttyRS485"

# Device 3 answers with a wrong CRC now and then, so the monitor shows a bad answer too.
"$root/build/release/sim/grafimo-sim" --pace --link "$link" --devices 1,2,3 --bad-crc 3:7 \
  --log-count 1:120 --log-interval 1:0:10 --log-state 1:on >"$demo/sim.out" 2>"$demo/sim.err" &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -L "$link" ] && break; sleep 0.05; done
[ -L "$link" ] || { echo "the simulator did not start:"; cat "$demo/sim.err"; exit 1; }
echo "simulator serving devices 1, 2, 3 on $(head -n1 "$demo/sim.out") (link $link)"

# grafimo.cfg: the port-name record in a 100-byte header, then the devices (Windows-1251).
/usr/bin/python3 - "$demo/grafimo.cfg" "$(basename "$link")" <<'PY'
import sys
path, port = sys.argv[1], sys.argv[2].encode()
header = bytes([len(port)]) + port
header += bytes(100 - len(header))
body = b""
for addr, text in ((1, "Датчик давления"), (2, "Термометр цеха"), (3, "Расходомер")):
    d = text.encode("cp1251")
    body += bytes([addr, len(d)]) + d
open(path, "wb").write(header + body.replace(b"\n", b"\r\n"))
PY

app="$root/build/release/app/grafimo485"
# The demo's samples are its own: a state folder of the demo's, cleared at each start, so a
# demo ended by a signal leaves no recovery question for the next one.
export XDG_STATE_HOME="$demo/state"
rm -rf "$XDG_STATE_HOME"
cd "$demo"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  "$app"
else
  echo "no display: running under Xvfb for ${DEMO_SECONDS:-8} s and saving a screenshot"
  xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
    "$1" & app=$!
    sleep "$2"
    import -window root -crop 870x640+238+132 +repage "$3"
    kill -TERM $app; wait $app' _ "$app" "${DEMO_SECONDS:-8}" "$demo/screenshot.png"
  echo "screenshot: $demo/screenshot.png"
fi
