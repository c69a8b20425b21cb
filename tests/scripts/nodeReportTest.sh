#!/usr/bin/env bash
# Tests the Kubernetes pod's entry script and the log collector with stand-ins for kavrel-bench and kubectl.
# Usage: nodeReportTest.sh KAVREL_FLEET_EXECUTABLE
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$here/../..
fleet=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
passes=0
expect() { # NAME CONDITION...
    local name=$1
    shift
    if "$@"; then
        passes=$((passes + 1))
        echo "ok      $name"
    else
        failures=$((failures + 1))
        echo "FAILED  $name"
    fi
}

export KAVREL_BENCH=$here/fake-kavrel-bench.sh
export KAVREL_FAKE_BENCH_ARGS=$work/bench-args
node_report() { # NODE STATUS [none] -> runs the entry script for NODE with kavrel-bench exiting STATUS
    : >"$work/canned.json"
    [ "${3:-}" = none ] || printf '{"schema": 3, "program": "kavrel-bench", "host": {"name": "%s"}, "devices": [{"index": 0, "name": "G",
             "uuid": null, "status": "failed", "error": null, "round_trips_per_second": 5.0,
             "check": {"mismatch_count": 1}}]}\n' "$1" >"$work/canned.json"
    NODE_NAME=$1 KAVREL_REPORT_DIR=$work/shared/job KAVREL_FAKE_BENCH_REPORT=$work/canned.json \
        KAVREL_FAKE_BENCH_STATUS=$2 "$repo/deploy/container/kavrel-node-report.sh" >"$work/$1.log" 2>"$work/$1.err"
}

status=0
node_report gpu-a 0 || status=$?
expect "a report is written with status 0" [ "$status" -eq 0 ]
expect "kavrel-bench gets all devices, --json and the node's name" \
    [ "$(paste -s -d ' ' "$work/bench-args")" = "--devices all --duration 60s --json --node-name gpu-a" ]
expect "the shared folder holds the node's report" cmp -s "$work/canned.json" "$work/shared/job/gpu-a.json"
status=0
node_report gpu-b 1 || status=$?
expect "a failed GPU still completes the pod" [ "$status" -eq 0 ]
status=0
KAVREL_FAKE_BENCH_STDERR="kavrel-bench: bad option" node_report gpu-c 2 none || status=$?
expect "no report fails the pod with kavrel-bench's status" [ "$status" -eq 2 ]
expect "and leaves nothing in the shared folder" [ ! -e "$work/shared/job/gpu-c.json" ]

# With KAVREL_RESIDENT_OPTIONS, a resident run follows and publishes a report of its own.
printf '{"schema": 3, "program": "kavrel-bench", "workload": "resident", "matrix_order": 4096,
         "host": {"name": "gpu-d"}, "devices": [{"index": 0, "name": "G", "uuid": null, "status": "failed",
         "error": null, "round_trips_per_second": null, "timing": {"sgemm": {"gflop_per_second": 50000.0}},
         "check": {"mismatch_count": 2}}]}\n' >"$work/resident.json"
status=0
KAVREL_RESIDENT_OPTIONS="--devices all --duration 30s" KAVREL_FAKE_BENCH_RESIDENT_REPORT=$work/resident.json \
    node_report gpu-d 0 || status=$?
expect "both reports are written with status 0" [ "$status" -eq 0 ]
expect "the resident run gets --workload resident after its options" [ "$(paste -s -d ' ' "$work/bench-args.resident")" = \
    "--devices all --duration 30s --workload resident --json --node-name gpu-d" ]
expect "the shared folder holds the resident report beside the other" \
    cmp -s "$work/resident.json" "$work/shared/job/gpu-d.resident.json"
status=0
: >"$work/empty.json"
KAVREL_RESIDENT_OPTIONS="--duration 30s" KAVREL_FAKE_BENCH_RESIDENT_REPORT=$work/empty.json \
    KAVREL_FAKE_BENCH_RESIDENT_STATUS=3 node_report gpu-e 0 || status=$?
expect "a resident run without a report fails the pod with its status" [ "$status" -eq 3 ]
expect "after publishing the round trips' report" [ -s "$work/shared/job/gpu-e.json" ]

# kubectl's stand-in lists the four pods and prints each one's log.
mkdir -p "$work/bin"
cat >"$work/bin/kubectl" <<KUBECTL
#!/usr/bin/env bash
if [ "\$1" = get ]; then
    printf 'pod/kavrel-qualify-0-aaaa\npod/kavrel-qualify-1-bbbb\npod/kavrel-qualify-2-cccc\npod/kavrel-qualify-3-dddd\n'
fi
if [ "\$1" = logs ]; then
    case \$2 in
        *-0-*) cat "$work/gpu-a.log" ;;
        *-1-*) echo "noise before"; cat "$work/gpu-b.log"; echo "noise after" ;;
        *-3-*) cat "$work/gpu-d.log" ;;
        *) cat "$work/gpu-c.log" ;;
    esac
fi
KUBECTL
chmod +x "$work/bin/kubectl"
PATH=$work/bin:$PATH "$repo/deploy/kubernetes/kavrel-collect-logs.sh" kavrel-qualify "$work/collected" 2>/dev/null
expect "the report is taken whole out of a pod's log" \
    cmp -s "$work/shared/job/gpu-b.json" "$work/collected/kavrel-qualify-1-bbbb.json"
expect "a resident report is taken out beside it" \
    cmp -s "$work/shared/job/gpu-d.resident.json" "$work/collected/kavrel-qualify-3-dddd.resident.json"
expect "and only where the pod ran one" [ ! -e "$work/collected/kavrel-qualify-1-bbbb.resident.json" ]
status=0
"$fleet" "$work/collected" >/dev/null 2>"$work/fleet.err" || status=$?
expect "a pod without a report is named by kavrel-fleet" \
    grep -qx "kavrel-fleet: $work/collected/kavrel-qualify-2-cccc.json: empty, not a JSON document" "$work/fleet.err"
rm "$work/collected/kavrel-qualify-2-cccc.json"
status=0
"$fleet" --problems "$work/collected" >"$work/problems" || status=$?
merged() {
    [ "$status" -eq 1 ] && [ "$(sort "$work/problems")" = \
        "$(printf 'gpu-a GPU 0 G failed\ngpu-b GPU 0 G failed\ngpu-d GPU 0 G (resident) failed\ngpu-d GPU 0 G failed')" ]
}
expect "the collected reports merge into one fleet" merged

printf '\n%d passed, %d failed\n' "$passes" "$failures"
[ "$failures" -eq 0 ]
