#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole suite: as built, then under
# AddressSanitizer + UndefinedBehaviorSanitizer, and the threaded tests under ThreadSanitizer;
# each fuzz target for a bounded time (scripts/fuzz-long.sh runs them for longer).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
JOBS=${JOBS:-$(nproc)}
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp"

build() { # dir, extra cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGRAFIMO_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}
run() { # dir, ctest args...
  local dir=$1; shift
  (cd "$dir" && ctest --output-on-failure -j "$JOBS" "$@")
}

echo "== core, simulator and their tests without Qt"
build build/no-qt -DGRAFIMO_WITH_QT=OFF -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON
run build/no-qt

echo "== fuzz targets, 20 s each (clang, libFuzzer + AddressSanitizer + UndefinedBehaviorSanitizer)"
CC=clang-14 CXX=clang++-14 cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DGRAFIMO_FUZZ=ON -DGRAFIMO_SANITIZE=address,undefined -DGRAFIMO_WITH_QT=OFF >/dev/null
cmake --build build/fuzz -j "$JOBS" --target fuzzers
fuzz/run.sh "${FUZZ_SECONDS:-20}" build/fuzz

echo "== everything, as built"
build build/release
run build/release

echo "== everything, AddressSanitizer + UndefinedBehaviorSanitizer"
build build/asan -DGRAFIMO_SANITIZE=address,undefined
run build/asan

echo "== everything, ThreadSanitizer"
build build/tsan -DGRAFIMO_SANITIZE=thread
run build/tsan
