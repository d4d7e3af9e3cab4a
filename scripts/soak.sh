#!/usr/bin/env bash
# The soak run, by hand (not part of the test command): the program, built with
# AddressSanitizer + UndefinedBehaviorSanitizer, against 254 simulated devices showing every
# fault mode at once, for as long as it is given.
#   scripts/soak.sh [SECONDS (3600)] [INTERVAL_SECONDS (60)] [ALLOWED_GROWTH_MIB (8)]
# Prints samples stored, answers served (all and by faulty devices), frames dropped,
# unplugs and resident memory once per interval; fails on a crash, on resident memory
# growing past the allowance over the first sample, or on any sanitizer report.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
dir=build/soak
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGRAFIMO_SANITIZE=address,undefined >/dev/null
cmake --build "$dir" -j "${JOBS:-$(nproc)}" --target soak_e2e
# A small quarantine, so resident memory shows what the program keeps, not what the
# allocator holds back to catch use after free.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:quarantine_size_mb=8
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp"
export QT_QPA_PLATFORM=offscreen
"$dir/tests/e2e/soak_e2e" "${1:-3600}" "${2:-60}" "${3:-8}"
