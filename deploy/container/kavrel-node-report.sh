#!/usr/bin/env bash
# A fleet pod's work: runs kavrel-bench on every GPU the pod was given and leaves the node's JSON report where the merge finds it.
#
# The report goes to standard output between the lines "----- kavrel-bench report begin -----" and
# "----- kavrel-bench report end -----" (so it can be taken from the pod's log) and, when KAVREL_REPORT_DIR is a
# folder (a shared volume), to $KAVREL_REPORT_DIR/<node>.json. kavrel-bench's messages go to standard error.
# Exit status: 0 when a report was written, whatever its verdict (kavrel-fleet judges it, and a retried pod
# could land on another node); kavrel-bench's status when it wrote no report.
#
# Settings (environment variables):
#   NODE_NAME             the node's name (from the downward API: the node the pod runs on); default hostname
#   KAVREL_BENCH          kavrel-bench to run (default: kavrel-bench)
#   KAVREL_BENCH_OPTIONS  options for kavrel-bench (default: --devices all --duration 60s); --json and
#                         --node-name are added
#   KAVREL_REPORT_DIR     folder to write <node>.json into (default: none)
#   KAVREL_TIME_LIMIT     seconds kavrel-bench may run before it is interrupted, which makes it report the round
#                         trips done, and killed 20 seconds later (default 300; 0: no limit)
set -euo pipefail

node=${NODE_NAME:-$(hostname)}
read -r -a options <<<"${KAVREL_BENCH_OPTIONS:---devices all --duration 60s}"
report=$(mktemp)
trap 'rm -f "$report"' EXIT

limit=()
if [ "${KAVREL_TIME_LIMIT:-300}" != 0 ]; then
    limit=(timeout --foreground --kill-after=20 "${KAVREL_TIME_LIMIT:-300}")
fi
status=0
"${limit[@]}" "${KAVREL_BENCH:-kavrel-bench}" "${options[@]}" --json --node-name "$node" >"$report" || status=$?
echo "kavrel-node-report: $node: kavrel-bench exit status $status" >&2
if [ ! -s "$report" ]; then
    echo "kavrel-node-report: $node: kavrel-bench wrote no report" >&2
    exit $((status == 0 ? 1 : status))
fi
echo "----- kavrel-bench report begin -----"
cat "$report"
echo "----- kavrel-bench report end -----"
if [ -n "${KAVREL_REPORT_DIR:-}" ]; then
    mkdir -p "$KAVREL_REPORT_DIR"
    # Written under a temporary name and renamed, so the merge never reads half a report.
    cp "$report" "$KAVREL_REPORT_DIR/.$node.json.partial"
    mv "$KAVREL_REPORT_DIR/.$node.json.partial" "$KAVREL_REPORT_DIR/$node.json"
    echo "kavrel-node-report: $node: report in $KAVREL_REPORT_DIR/$node.json" >&2
fi
