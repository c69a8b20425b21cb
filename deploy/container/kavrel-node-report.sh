#!/usr/bin/env bash
# A fleet pod's work: runs kavrel-bench on every GPU the pod was given and leaves the node's JSON reports where the merge finds them.
#
# The round trips' report goes to standard output between the lines "----- kavrel-bench report begin -----" and
# "----- kavrel-bench report end -----" (so it can be taken from the pod's log) and, when KAVREL_REPORT_DIR is a
# folder (a shared volume), to $KAVREL_REPORT_DIR/<node>.json. With KAVREL_RESIDENT_OPTIONS set, a run of the
# resident workload follows (the GPUs at full arithmetic load, every product checked on the device), its report
# between "----- kavrel-bench resident report begin -----" and "----- kavrel-bench resident report end -----" and
# in <node>.resident.json. kavrel-bench's messages go to standard error.
# Exit status: 0 when every report was written, whatever its verdict (kavrel-fleet judges it, and a retried pod
# could land on another node); otherwise the status of the first kavrel-bench that wrote no report.
#
# Settings (environment variables):
#   NODE_NAME                the node's name (from the downward API: the node the pod runs on); default hostname
#   KAVREL_BENCH             kavrel-bench to run (default: kavrel-bench)
#   KAVREL_BENCH_OPTIONS     options for kavrel-bench (default: --devices all --duration 60s); --json and
#                            --node-name are added
#   KAVREL_RESIDENT_OPTIONS  options for the resident run, e.g. --devices all --duration 60s; --workload resident,
#                            --json and --node-name are added (default: no resident run)
#   KAVREL_REPORT_DIR        folder to write the reports into (default: none)
#   KAVREL_TIME_LIMIT        seconds the runs may take in all before kavrel-bench is interrupted, which makes it
#                            report what it did, and killed 20 seconds later; the round trips get half of it when a
#                            resident run follows (default 300; 0: no limit)
set -euo pipefail

node=${NODE_NAME:-$(hostname)}
read -r -a resident_options <<<"${KAVREL_RESIDENT_OPTIONS:-}"
time_limit=${KAVREL_TIME_LIMIT:-300}
report=$(mktemp)
trap 'rm -f "$report"' EXIT
started=$SECONDS

# Runs kavrel-bench with the options given for at most $2 seconds (0: no limit) and publishes its report as $1
# ("" for the round trips, "resident" for the resident workload); returns kavrel-bench's status when it wrote none.
run_and_publish() {
    local kind=$1 seconds=$2 status=0
    shift 2
    local limit=()
    [ "$seconds" = 0 ] || limit=(timeout --foreground --kill-after=20 "$seconds")
    "${limit[@]}" "${KAVREL_BENCH:-kavrel-bench}" "$@" --json --node-name "$node" >"$report" || status=$?
    echo "kavrel-node-report: $node: kavrel-bench${kind:+ ($kind)} exit status $status" >&2
    if [ ! -s "$report" ]; then
        echo "kavrel-node-report: $node: kavrel-bench${kind:+ ($kind)} wrote no report" >&2
        return $((status == 0 ? 1 : status))
    fi
    echo "----- kavrel-bench ${kind:+$kind }report begin -----"
    cat "$report"
    echo "----- kavrel-bench ${kind:+$kind }report end -----"
    if [ -n "${KAVREL_REPORT_DIR:-}" ]; then
        local name=$node${kind:+.$kind}.json
        mkdir -p "$KAVREL_REPORT_DIR"
        # Written under a temporary name and renamed, so the merge never reads half a report.
        cp "$report" "$KAVREL_REPORT_DIR/.$name.partial"
        mv "$KAVREL_REPORT_DIR/.$name.partial" "$KAVREL_REPORT_DIR/$name"
        echo "kavrel-node-report: $node: report in $KAVREL_REPORT_DIR/$name" >&2
    fi
}

read -r -a options <<<"${KAVREL_BENCH_OPTIONS:---devices all --duration 60s}"
seconds=$time_limit
if [ "$time_limit" != 0 ] && [ ${#resident_options[@]} -gt 0 ]; then
    seconds=$((time_limit / 2 > 0 ? time_limit / 2 : 1))
fi
outcome=0
run_and_publish "" "$seconds" "${options[@]}" || outcome=$?
if [ ${#resident_options[@]} -gt 0 ]; then
    seconds=0
    if [ "$time_limit" != 0 ]; then
        seconds=$((time_limit - (SECONDS - started)))
        [ "$seconds" -ge 1 ] || seconds=1
    fi
    status=0
    run_and_publish resident "$seconds" "${resident_options[@]}" --workload resident || status=$?
    [ "$outcome" -ne 0 ] || outcome=$status
fi
exit "$outcome"
