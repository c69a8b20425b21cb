#!/usr/bin/env bash
# A test double for kavrel-bench: writes a canned report and message and exits with a chosen status.
#
#   KAVREL_FAKE_BENCH_REPORT  file copied to standard output (nothing when unset)
#   KAVREL_FAKE_BENCH_STDERR  text written to standard error (nothing when unset)
#   KAVREL_FAKE_BENCH_STATUS  exit status (default 0)
#   KAVREL_FAKE_BENCH_ARGS    file that receives the arguments, one per line (none when unset)
set -euo pipefail

if [ -n "${KAVREL_FAKE_BENCH_ARGS:-}" ]; then
    printf '%s\n' "$@" >"$KAVREL_FAKE_BENCH_ARGS"
fi
if [ -n "${KAVREL_FAKE_BENCH_REPORT:-}" ]; then
    cat "$KAVREL_FAKE_BENCH_REPORT"
fi
if [ -n "${KAVREL_FAKE_BENCH_STDERR:-}" ]; then
    printf '%s\n' "$KAVREL_FAKE_BENCH_STDERR" >&2
fi
exit "${KAVREL_FAKE_BENCH_STATUS:-0}"
