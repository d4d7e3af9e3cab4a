#!/usr/bin/env bash
# Time from starting a grafimo485 executable to its main window being mapped, over N runs,
# each in a fresh working folder holding a grafimo.cfg with three devices. Runs under Xvfb
# when there is no display. Prints min / median / max in milliseconds.
# Usage: bench/start_to_window.sh EXECUTABLE [RUNS, default 7]
set -euo pipefail
exe=$(readlink -f "$1"); runs=${2:-7}
if [ -z "${DISPLAY:-}" ]; then exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"; fi
unset QT_QPA_PLATFORM
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
times=()
for ((i = 0; i < runs; i++)); do
  work=$tmp/w$i; mkdir -p "$work" "$tmp/rt$i"; chmod 700 "$tmp/rt$i"
  # 100-byte header with the port name, then address, length, description per device.
  python3 - "$work/grafimo.cfg" <<'PY'
import sys
port = b"/dev/ttyNONE"
data = bytearray(100); data[0] = len(port); data[1:1 + len(port)] = port
for a in (1, 2, 3):
    d = b"dev%d" % a
    data += bytes([a, len(d)]) + d
open(sys.argv[1], "wb").write(data)
PY
  start=$(date +%s%N)
  (cd "$work" && XDG_STATE_HOME=$tmp/rt$i exec "$exe" >/dev/null 2>&1) &
  pid=$!
  xdotool search --sync --onlyvisible --name '^Grafimo485' >/dev/null
  end=$(date +%s%N)
  times+=($(((end - start) / 1000000)))
  kill "$pid"; wait "$pid" || true
done
sorted=($(printf '%s\n' "${times[@]}" | sort -n))
echo "$exe: start to window ms: min ${sorted[0]} median ${sorted[$((runs / 2))]} max ${sorted[$((runs - 1))]} (runs: ${times[*]})"
