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

# kubectl's stand-in lists the three pods and prints each one's log.
mkdir -p "$work/bin"
cat >"$work/bin/kubectl" <<KUBECTL
#!/usr/bin/env bash
if [ "\$1" = get ]; then printf 'pod/kavrel-qualify-0-aaaa\npod/kavrel-qualify-1-bbbb\npod/kavrel-qualify-2-cccc\n'; fi
if [ "\$1" = logs ]; then
    case \$2 in
        *-0-*) cat "$work/gpu-a.log" ;;
        *-1-*) echo "noise before"; cat "$work/gpu-b.log"; echo "noise after" ;;
        *) cat "$work/gpu-c.log" ;;
    esac
fi
KUBECTL
chmod +x "$work/bin/kubectl"
PATH=$work/bin:$PATH "$repo/deploy/kubernetes/kavrel-collect-logs.sh" kavrel-qualify "$work/collected" 2>/dev/null
expect "the report is taken whole out of a pod's log" \
    cmp -s "$work/shared/job/gpu-b.json" "$work/collected/kavrel-qualify-1-bbbb.json"
status=0
"$fleet" "$work/collected" >/dev/null 2>"$work/fleet.err" || status=$?
expect "a pod without a report is named by kavrel-fleet" \
    grep -qx "kavrel-fleet: $work/collected/kavrel-qualify-2-cccc.json: empty, not a JSON document" "$work/fleet.err"
rm "$work/collected/kavrel-qualify-2-cccc.json"
status=0
"$fleet" --problems "$work/collected" >"$work/problems" || status=$?
merged() {
    [ "$status" -eq 1 ] && [ "$(cat "$work/problems")" = "$(printf 'gpu-a GPU 0 G failed\ngpu-b GPU 0 G failed')" ]
}
expect "the collected reports merge into one fleet" merged

printf '\n%d passed, %d failed\n' "$passes" "$failures"
[ "$failures" -eq 0 ]
