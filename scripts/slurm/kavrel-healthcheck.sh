#!/usr/bin/env bash
# Slurm node health check: runs kavrel-bench briefly on every GPU of this node and drains the node when one fails.
#
# Works as slurm.conf's HealthCheckProgram (slurmd runs it as root every HealthCheckInterval seconds) and as
# (part of) a Prolog. Exit status: 0 every GPU passed; 1 a GPU failed or a GPU library call failed, and the node
# was drained with a reason naming the GPU; 2 the check itself could not run (kavrel-bench missing or refusing
# its options, scontrol failing): the node is left as it is and the cause is written to standard error and, when
# logger exists, to syslog under the tag kavrel-healthcheck.
#
# Settings (environment variables):
#   KAVREL_BENCH               kavrel-bench to run (default: the one installed with this script, else kavrel-bench
#                              on PATH, else beside this script)
#   KAVREL_FLEET               kavrel-fleet, which names the failed GPUs (default: likewise)
#   KAVREL_HEALTHCHECK_OPTIONS options for kavrel-bench (default: --devices all --duration 10s); --json and
#                              --node-name are added
#   KAVREL_NODE_NAME           the node to drain (default: $SLURMD_NODENAME, else hostname -s)
#   KAVREL_HEALTHCHECK_REPORT  where to keep the last JSON report (default: nowhere)
#   KAVREL_SCONTROL            scontrol to call (default: scontrol)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# Slurm runs health checks and prologs without a search path, so look in the usual places too.
PATH=$PATH:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

# The folder the programs were installed in, which cmake --install writes into the installed copy; empty here.
installed_bin=''
# A program named $1 from the installation this script belongs to, else on PATH, else beside this script.
locate() {
    if [ -n "$installed_bin" ] && [ -x "$installed_bin/$1" ]; then
        echo "$installed_bin/$1"
    else
        command -v "$1" 2>/dev/null || echo "$here/$1"
    fi
}

bench=${KAVREL_BENCH:-$(locate kavrel-bench)}
fleet=${KAVREL_FLEET:-$(locate kavrel-fleet)}
read -r -a options <<<"${KAVREL_HEALTHCHECK_OPTIONS:---devices all --duration 10s}"
node=${KAVREL_NODE_NAME:-${SLURMD_NODENAME:-$(hostname -s)}}
scontrol=${KAVREL_SCONTROL:-scontrol}

complain() {
    echo "kavrel-healthcheck: $*" >&2
    if command -v logger >/dev/null; then logger -t kavrel-healthcheck -- "$*" || true; fi
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

status=0
"$bench" "${options[@]}" --json --node-name "$node" >"$work/report.json" 2>"$work/stderr" || status=$?
if [ -n "${KAVREL_HEALTHCHECK_REPORT:-}" ]; then
    cp "$work/report.json" "$KAVREL_HEALTHCHECK_REPORT" || complain "cannot keep the report in $KAVREL_HEALTHCHECK_REPORT"
fi
first_error_line=$(sed -e 's/^!!!! *//' -e '/^$/d' "$work/stderr" | head -n 1)
case $status in
    0) exit 0 ;;
    1 | 3) ;;
    *)
        complain "$bench exited with status $status, node $node left as it is${first_error_line:+: $first_error_line}"
        exit 2
        ;;
esac

# One "GPU <index> <uuid or name> <failed|error: message|slow: ...>" per problem, joined with "; ". The GPUs that
# failed or are in error are what failed the check, so only they are named; the rates of one node's GPUs scatter
# too much to add a "slow" beside them. Slow GPUs are named when they are all there is, as when the options hold
# --fail-on-outlier. Without a usable report (a failure before any GPU ran) the reason quotes kavrel-bench's
# message instead.
all_problems=$("$fleet" --problems "$work/report.json" 2>/dev/null | sed 's/^[^ ]* //') || true
problems=$(printf '%s\n' "$all_problems" | grep -E '^GPU [0-9]+ .*( failed$| error: )') || problems=$all_problems
problems=$(printf '%s\n' "$problems" | sed '/^$/d' | paste -s -d ';' | sed 's/;/; /g')
if [ -z "$problems" ]; then
    problems="kavrel-bench exit status $status${first_error_line:+: $first_error_line}"
fi
reason="kavrel: $problems"
# Keep the reason short enough for sinfo -R and scontrol to show it whole.
if [ ${#reason} -gt 250 ]; then
    reason="${reason:0:247}..."
fi
if ! "$scontrol" update nodename="$node" state=drain reason="$reason"; then
    complain "could not drain $node ($reason)"
    exit 2
fi
complain "drained $node: $reason"
exit 1
