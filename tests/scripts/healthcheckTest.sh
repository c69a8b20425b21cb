#!/usr/bin/env bash
# Tests scripts/slurm/kavrel-healthcheck.sh with a stand-in kavrel-bench and scontrol: when it drains, with what reason.
# Usage: healthcheckTest.sh KAVREL_FLEET_EXECUTABLE
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
healthcheck=$here/../../scripts/slurm/kavrel-healthcheck.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# scontrol's stand-in records its arguments, one per line; KAVREL_FAKE_SCONTROL_STATUS makes it fail.
cat >"$work/scontrol" <<'SCONTROL'
#!/usr/bin/env bash
printf '%s\n' "$@" >"$KAVREL_FAKE_SCONTROL_ARGS"
exit "${KAVREL_FAKE_SCONTROL_STATUS:-0}"
SCONTROL
chmod +x "$work/scontrol"

export KAVREL_BENCH=$here/fake-kavrel-bench.sh
export KAVREL_FLEET=$1
export KAVREL_SCONTROL=$work/scontrol
export KAVREL_FAKE_BENCH_ARGS=$work/bench-args
export KAVREL_FAKE_SCONTROL_ARGS=$work/scontrol-args
export KAVREL_FAKE_BENCH_REPORT=$work/report.json
unset KAVREL_NODE_NAME KAVREL_HEALTHCHECK_OPTIONS KAVREL_HEALTHCHECK_REPORT KAVREL_HEALTHCHECK_TIMEOUT \
    KAVREL_HEALTHCHECK_MODE KAVREL_HEALTHCHECK_RESIDENT KAVREL_EXPECT_DEVICES SLURM_SCRIPT_CONTEXT SLURM_JOB_ID
export SLURMD_NODENAME=gpu-node-7

completed() { # index status mismatches [round trips per second]
    printf '{"index": %s, "name": "NVIDIA H100 80GB HBM3", "uuid": "GPU-%s", "status": "%s", "error": null,
             "round_trips_per_second": %s, "check": {"mismatch_count": %s}}' "$1" "$1" "$2" "${4:-2000.0}" "$3"
}
errored() { # index message
    printf '{"index": %s, "name": "NVIDIA H100 80GB HBM3", "uuid": null, "status": "error", "error": {"message": "%s"}}' \
        "$1" "$2"
}
report() { # device entries...
    local IFS=,
    printf '{"schema": 3, "program": "kavrel-bench", "host": {"name": "%s"}, "devices": [%s]}\n' \
        "$SLURMD_NODENAME" "$*"
}

failures=0
passes=0
# check NAME BENCH_STATUS EXPECTED_STATUS EXPECTED_REASON (empty: scontrol must not run)
check() {
    local name=$1 expected_status=$3 expected_reason=$4 status=0 reason=""
    rm -f "$work/scontrol-args" "$work/bench-args" "$work/bench-args.resident"
    KAVREL_FAKE_BENCH_STATUS=$2 "$healthcheck" >"$work/out" 2>"$work/err" || status=$?
    if [ -f "$work/scontrol-args" ]; then
        reason=$(cat "$work/scontrol-args")
    fi
    local expected_call=""
    if [ -n "$expected_reason" ]; then
        expected_call=$(printf 'update\nnodename=%s\nstate=drain\nreason=%s' "${KAVREL_NODE_NAME:-$SLURMD_NODENAME}" \
            "$expected_reason")
    fi
    if [ "$status" = "$expected_status" ] && [ "$reason" = "$expected_call" ]; then
        passes=$((passes + 1))
        echo "ok      $name"
    else
        failures=$((failures + 1))
        echo "FAILED  $name: status $status (expected $expected_status)"
        echo "        scontrol: ${reason:-not called}"
        echo "        expected: ${expected_call:-not called}"
        sed 's/^/        stderr: /' "$work/err"
    fi
}

report "$(completed 0 passed 0)" "$(completed 1 passed 0)" >"$work/report.json"
check "healthy node is left alone" 0 0 ""
if [ "$(paste -s -d ' ' "$work/bench-args")" != "--devices all --duration 10s --json --node-name gpu-node-7" ]; then
    failures=$((failures + 1))
    echo "FAILED  kavrel-bench's arguments: $(paste -s -d ' ' "$work/bench-args")"
fi

report "$(completed 0 passed 0)" "$(completed 1 passed 0)" "$(completed 2 failed 1)" >"$work/report.json"
check "wrong product drains naming the GPU's UUID" 1 1 "kavrel: GPU 2 GPU-2 failed"

report "$(completed 0 passed 0)" "$(completed 1 passed 0 2010.0)" "$(completed 2 failed 1)" \
    "$(completed 3 passed 0 1000.0)" >"$work/report.json"
check "a slow GPU beside a failed one is not named" 1 1 "kavrel: GPU 2 GPU-2 failed"

report "$(completed 0 passed 0)" "$(completed 1 passed 0 2010.0)" "$(completed 2 passed 0 1990.0)" \
    "$(completed 3 passed 0 1000.0)" >"$work/report.json"
check "a slow GPU alone (--fail-on-outlier) is named" 1 1 \
    "kavrel: GPU 3 GPU-3 slow: 1000.00 round trips/s, 49.9% below the median 1995.00 of 4 GPUs"

report "$(completed 0 failed 4)" "$(errored 1 '!!!! kernel execution error.\n')" >"$work/report.json"
check "every failed GPU is named, the one in error by name" 3 1 \
    "kavrel: GPU 0 GPU-0 failed; GPU 1 NVIDIA H100 80GB HBM3 error: kernel execution error."

: >"$work/report.json"
KAVREL_FAKE_BENCH_STDERR='!!!! device query error' \
    check "a failure before any GPU ran quotes kavrel-bench" 3 1 "kavrel: kavrel-bench exit status 3: device query error"

KAVREL_FAKE_BENCH_STDERR='kavrel-bench: --devices: bad value' check "a usage error leaves the node alone" 2 2 ""

report "$(completed 0 failed 1)" >"$work/report.json"
KAVREL_NODE_NAME=other-name check "KAVREL_NODE_NAME chooses the node" 1 1 "kavrel: GPU 0 GPU-0 failed"
KAVREL_FAKE_SCONTROL_STATUS=1 check "a failed drain is status 2" 1 2 "kavrel: GPU 0 GPU-0 failed"

# --- every way kavrel-bench can end ---
nodeProblem() { # expected visible
    printf '{"schema": 3, "program": "kavrel-bench", "host": {"name": "%s"}, "devices": [%s],
             "node": {"expected_devices": %s, "visible_devices": %s, "missing_devices": true, "verdict": "FAILED"}}\n' \
        "$SLURMD_NODENAME" "$(completed 0 passed 0)" "$1" "$2"
}
nodeProblem 4 3 >"$work/report.json"
KAVREL_EXPECT_DEVICES=4 check "fewer GPUs than expected drain the node" 3 1 "kavrel: missing GPUs: 3 of 4 expected are visible"
if ! grep -qx -- --expect-devices "$work/bench-args" || ! grep -qx 4 "$work/bench-args"; then
    failures=$((failures + 1))
    echo "FAILED  KAVREL_EXPECT_DEVICES is not passed on: $(paste -s -d ' ' "$work/bench-args")"
fi

report "$(completed 0 passed 0)" "$(errored 1 'no progress for 10 s in cudaDeviceSynchronize')" >"$work/report.json"
check "a stuck GPU drains naming it and the call" 3 1 \
    "kavrel: GPU 1 NVIDIA H100 80GB HBM3 error: no progress for 10 s in cudaDeviceSynchronize"

: >"$work/report.json"
for signal in SEGV ABRT KILL; do
    number=$(kill -l "$signal")
    KAVREL_FAKE_BENCH_SIGNAL=$signal check "kavrel-bench killed by SIG$signal drains the node" 0 1 \
        "kavrel: kavrel-bench killed by signal $number (SIG$signal)"
done

report "$(completed 0 passed 0)" "$(completed 1 failed 1)" >"$work/report.json"
KAVREL_FAKE_BENCH_SLEEP=30 KAVREL_HEALTHCHECK_TIMEOUT=1 check "an overrun drains, naming what the report holds" 0 1 \
    "kavrel: kavrel-bench timed out after 1 s; GPU 1 GPU-1 failed"
KAVREL_FAKE_BENCH_STDERR_BYTES=200000 check "any amount on standard error leaves the decision alone" 1 1 \
    "kavrel: GPU 1 GPU-1 failed"

: >"$work/report.json"
check "an unwritable report drains the node" 4 1 "kavrel: kavrel-bench could not write its report"
KAVREL_FAKE_BENCH_STDERR='!!!! device 0: oops' check "another status without a report drains the node" 9 1 \
    "kavrel: kavrel-bench exit status 9 without a usable report: device 0: oops"

TMPDIR=/nonexistent/kavrel check "an unusable temporary folder leaves the node alone" 0 2 ""
KAVREL_BENCH=/nonexistent/kavrel-bench check "a missing kavrel-bench leaves the node alone" 0 2 ""
mkdir -p "$work/bin"
ln -sf "$KAVREL_BENCH" "$work/bin/kavrel-bench-by-name"
report "$(completed 0 failed 1)" >"$work/report.json"
PATH=$work/bin:$PATH KAVREL_BENCH=kavrel-bench-by-name check "kavrel-bench named without a folder is found on PATH" 1 1 \
    "kavrel: GPU 0 GPU-0 failed"
KAVREL_FLEET=/nonexistent/kavrel-fleet check "a missing kavrel-fleet leaves the node alone" 0 2 ""
KAVREL_HEALTHCHECK_TIMEOUT=soon check "a bad time limit leaves the node alone" 0 2 ""

# As a Prolog, a check that cannot run must not drain (Slurm drains on any other status), and a failed drain must
# not pass the job on.
KAVREL_HEALTHCHECK_MODE=prolog KAVREL_FAKE_BENCH_STDERR='kavrel-bench: --devices: bad value' \
    check "a usage error in a Prolog leaves the node in service" 2 0 ""
SLURM_SCRIPT_CONTEXT=prolog_slurmd KAVREL_BENCH=/nonexistent/kavrel-bench \
    check "a missing kavrel-bench in a Prolog leaves the node in service" 0 0 ""
SLURM_JOB_ID=17 TMPDIR=/nonexistent/kavrel check "a Prolog without SLURM_SCRIPT_CONTEXT is known by its job" 0 0 ""
report "$(completed 0 failed 1)" >"$work/report.json"
SLURM_SCRIPT_CONTEXT=prolog_slurmd KAVREL_FAKE_SCONTROL_STATUS=1 \
    check "a failed drain in a Prolog fails the prolog" 1 1 "kavrel: GPU 0 GPU-0 failed"

# --- the resident burst after the round trips ---
report "$(completed 0 passed 0)" "$(completed 1 passed 0)" >"$work/report.json"
report "$(completed 0 passed 0)" "$(completed 1 failed 2)" >"$work/resident.json"
export KAVREL_FAKE_BENCH_RESIDENT_REPORT=$work/resident.json
check "without KAVREL_HEALTHCHECK_RESIDENT no burst runs" 0 0 ""
if [ -e "$work/bench-args.resident" ]; then
    failures=$((failures + 1))
    echo "FAILED  a resident burst ran unasked: $(paste -s -d ' ' "$work/bench-args.resident")"
fi
KAVREL_HEALTHCHECK_RESIDENT="--devices all --duration 5s" KAVREL_EXPECT_DEVICES=2 KAVREL_FAKE_BENCH_RESIDENT_STATUS=1 \
    check "a wrong product in the burst drains, saying so" 0 1 "kavrel: resident burst: GPU 1 GPU-1 failed"
if [ "$(paste -s -d ' ' "$work/bench-args.resident")" != \
    "--devices all --duration 5s --workload resident --json --node-name gpu-node-7 --expect-devices 2" ]; then
    failures=$((failures + 1))
    echo "FAILED  the burst's arguments: $(paste -s -d ' ' "$work/bench-args.resident" 2>/dev/null)"
fi
KAVREL_HEALTHCHECK_RESIDENT="--duration 5s" KAVREL_FAKE_BENCH_RESIDENT_REPORT=$work/report.json \
    check "a node that passes both is left alone" 0 0 ""
report "$(completed 0 failed 1)" >"$work/failed.json"
KAVREL_HEALTHCHECK_RESIDENT="--duration 5s" KAVREL_FAKE_BENCH_REPORT=$work/failed.json \
    check "failed round trips drain before any burst" 1 1 "kavrel: GPU 0 GPU-0 failed"
if [ -e "$work/bench-args.resident" ]; then
    failures=$((failures + 1))
    echo "FAILED  a burst ran after failed round trips"
fi
KAVREL_HEALTHCHECK_RESIDENT="--duration 5s" KAVREL_FAKE_BENCH_RESIDENT_STATUS=2 \
    KAVREL_FAKE_BENCH_STDERR='kavrel-bench: --size: bad value' check "a refused burst leaves the node alone" 0 2 ""
KAVREL_HEALTHCHECK_REPORT=$work/kept.json KAVREL_HEALTHCHECK_RESIDENT="--duration 5s" KAVREL_FAKE_BENCH_RESIDENT_STATUS=1 \
    check "both reports are kept" 0 1 "kavrel: resident burst: GPU 1 GPU-1 failed"
if ! cmp -s "$work/kept.json" "$work/report.json" || ! cmp -s "$work/kept.json.resident" "$work/resident.json"; then
    failures=$((failures + 1))
    echo "FAILED  the reports kept are not the two runs' reports"
fi
unset KAVREL_FAKE_BENCH_RESIDENT_REPORT

# Killed as slurmd kills an overrunning check, the whole process group at once: nothing is left behind.
mkdir -p "$work/tmp"
rm -f "$work/bench-pid"
TMPDIR=$work/tmp KAVREL_FAKE_BENCH_SLEEP=60 KAVREL_FAKE_BENCH_PID=$work/bench-pid setsid "$healthcheck" \
    >/dev/null 2>&1 &
group=$!
for _ in $(seq 50); do
    [ -s "$work/bench-pid" ] && break
    sleep 0.1
done
kill -KILL -- "-$group" 2>/dev/null
wait "$group" 2>/dev/null || true
sleep 0.5
# A killed process whose parent died too may linger as a zombie until it is reaped; that one is gone.
alive() {
    local state
    state=$(ps -o stat= -p "$1" 2>/dev/null) && [ -n "$state" ] && [ "${state:0:1}" != Z ]
}
if [ -s "$work/bench-pid" ] && alive "$(cat "$work/bench-pid")"; then
    failures=$((failures + 1))
    echo "FAILED  kavrel-bench outlived the killed check"
    kill -KILL "$(cat "$work/bench-pid")"
elif [ -n "$(ls -A "$work/tmp")" ]; then
    failures=$((failures + 1))
    echo "FAILED  the killed check left files behind: $(ls -A "$work/tmp")"
else
    passes=$((passes + 1))
    echo "ok      a check killed with its process group leaves no process and no file"
fi

printf '\n%d passed, %d failed\n' "$passes" "$failures"
[ "$failures" -eq 0 ]
