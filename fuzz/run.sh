#!/usr/bin/env bash
# Runs every fuzz target for a bounded time: run.sh SECONDS BUILD_DIR [TARGET...]
# Starts from fuzz/corpus/<target> (read only) and keeps what it finds in
# BUILD_DIR/fuzz-work/<target>. Fails on any crash, leak, time-out or sanitizer report;
# the failing input is kept as BUILD_DIR/fuzz-work/<target>-crash-*.
# Prints one line per target: executions, time, corpus size.
set -euo pipefail
cd "$(dirname "$0")/.."
secs=$1; dir=$2; shift 2
targets=("$@")
((${#targets[@]})) || targets=(fuzz_config_file fuzz_live_answer fuzz_log_answer fuzz_history
  fuzz_text_codec fuzz_request_framer fuzz_port_name)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for t in "${targets[@]}"; do
  work="$dir/fuzz-work/$t"; mkdir -p "$work"
  log="$dir/fuzz-work/$t.log"
  start=$(date +%s%N)
  if "$dir/fuzz/$t" -max_total_time="$secs" -timeout=10 -rss_limit_mb=1024 -max_len=4096 \
       -print_final_stats=1 -artifact_prefix="$dir/fuzz-work/$t-" "$work" "fuzz/corpus/$t" >"$log" 2>&1; then
    result=ok
  else
    result=FAILED; status=1
  fi
  ms=$((($(date +%s%N) - start) / 1000000))
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  printf '%-22s %-6s %10s runs in %d.%d s, corpus %s inputs\n' "$t" "$result" "${execs:-?}" \
    $((ms / 1000)) $((ms % 1000 / 100)) "$(ls "$work" | wc -l)"
  if [ "$result" = FAILED ]; then
    grep -E "ERROR|property failed|runtime error|SUMMARY" "$log" | head -20 || true
    echo "(full output: $log)"
  fi
done
exit $status
