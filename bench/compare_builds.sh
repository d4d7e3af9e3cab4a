#!/bin/sh
# Before and after in one run: the live poll figures (bench_frames), a 1,000-record log
# transfer (bench_log_transfer) and the window program's CPU a sample (bench_poll_cpu.py)
# for two builds of the same benches, one after the other, so both see the same machine.
# Usage: bench/compare_builds.sh BEFORE_BUILD_DIR AFTER_BUILD_DIR [--xvfb]
set -e
here=$(dirname "$0")
for build in "$1" "$2"; do
    echo "==== $build"
    "$build/bench/bench_frames"
    "$build/bench/bench_log_transfer"
    python3 "$here/bench_poll_cpu.py" --build "$build" --seconds 20 $3
done
