#!/usr/bin/env bash
# A test double for kavrel-bench: writes a canned report and message and exits with a chosen status or signal.
#
#   KAVREL_FAKE_BENCH_REPORT        file copied to standard output (nothing when unset)
#   KAVREL_FAKE_BENCH_STDERR        text written to standard error (nothing when unset)
#   KAVREL_FAKE_BENCH_STDERR_BYTES  that many more bytes of noise written to standard error
#   KAVREL_FAKE_BENCH_SLEEP         seconds to sleep before ending (in the foreground, so that signals reach it)
#   KAVREL_FAKE_BENCH_SIGNAL        a signal to end itself with instead of exiting (SEGV, ABRT, KILL)
#   KAVREL_FAKE_BENCH_STATUS        exit status (default 0)
#   KAVREL_FAKE_BENCH_ARGS          file that receives the arguments, one per line (none when unset)
#   KAVREL_FAKE_BENCH_PID           file that receives its process id (none when unset)
#
# Run with --workload resident, it takes KAVREL_FAKE_BENCH_RESIDENT_REPORT and KAVREL_FAKE_BENCH_RESIDENT_STATUS
# instead of the report and the status, where they are set, and writes its arguments to KAVREL_FAKE_BENCH_ARGS
# with ".resident" added.
set -euo pipefail

for ((i = 1; i < $#; i++)); do
    if [ "${!i}" = --workload ]; then
        next=$((i + 1))
        if [ "${!next}" = resident ]; then
            [ -z "${KAVREL_FAKE_BENCH_ARGS:-}" ] || KAVREL_FAKE_BENCH_ARGS=$KAVREL_FAKE_BENCH_ARGS.resident
            KAVREL_FAKE_BENCH_REPORT=${KAVREL_FAKE_BENCH_RESIDENT_REPORT:-${KAVREL_FAKE_BENCH_REPORT:-}}
            KAVREL_FAKE_BENCH_STATUS=${KAVREL_FAKE_BENCH_RESIDENT_STATUS:-${KAVREL_FAKE_BENCH_STATUS:-0}}
        fi
    fi
done

if [ -n "${KAVREL_FAKE_BENCH_ARGS:-}" ]; then
    printf '%s\n' "$@" >"$KAVREL_FAKE_BENCH_ARGS"
fi
if [ -n "${KAVREL_FAKE_BENCH_PID:-}" ]; then
    echo $$ >"$KAVREL_FAKE_BENCH_PID"
fi
if [ -n "${KAVREL_FAKE_BENCH_REPORT:-}" ]; then
    cat "$KAVREL_FAKE_BENCH_REPORT"
fi
if [ -n "${KAVREL_FAKE_BENCH_STDERR:-}" ]; then
    printf '%s\n' "$KAVREL_FAKE_BENCH_STDERR" >&2
fi
if [ -n "${KAVREL_FAKE_BENCH_STDERR_BYTES:-}" ]; then
    head -c "$KAVREL_FAKE_BENCH_STDERR_BYTES" /dev/zero | tr '\0' 'x' >&2
fi
if [ -n "${KAVREL_FAKE_BENCH_SLEEP:-}" ]; then
    # The sleep becomes this process, so that a signal meant for kavrel-bench ends it.
    [ -n "${KAVREL_FAKE_BENCH_SIGNAL:-}" ] || exec sleep "$KAVREL_FAKE_BENCH_SLEEP"
    sleep "$KAVREL_FAKE_BENCH_SLEEP"
fi
if [ -n "${KAVREL_FAKE_BENCH_SIGNAL:-}" ]; then
    kill -s "$KAVREL_FAKE_BENCH_SIGNAL" $$
fi
exit "${KAVREL_FAKE_BENCH_STATUS:-0}"
