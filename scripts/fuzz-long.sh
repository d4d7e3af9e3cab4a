#!/usr/bin/env bash
# Runs every fuzz target for longer than the test command does, by hand:
#   scripts/fuzz-long.sh [SECONDS_PER_TARGET (default 1800)] [TARGET...]
# Builds them in build/fuzz; what each run finds is kept in build/fuzz/fuzz-work/ and used
# by the next. Copy an input worth keeping into fuzz/corpus/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
secs=${1:-1800}; shift || true
CC=clang-14 CXX=clang++-14 cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DGRAFIMO_FUZZ=ON -DGRAFIMO_SANITIZE=address,undefined -DGRAFIMO_WITH_QT=OFF >/dev/null
cmake --build build/fuzz -j "${JOBS:-$(nproc)}" --target fuzzers
fuzz/run.sh "$secs" build/fuzz "$@"
