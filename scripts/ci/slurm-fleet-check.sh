#!/usr/bin/env bash
# CI: on a one-node Slurm cluster, qualifies a rehearsal fleet of three nodes and drains the node through the health check.
#
#   slurm-fleet-check.sh BUILD_FOLDER
#
# BUILD_FOLDER holds kavrel-bench-emulated and kavrel-fleet. The cluster (slurm-cluster.sh) is started here and
# stopped on every exit. Steps: a trivial srun; kavrel-qualify.sbatch with three tasks on the one node reporting
# as node-a, node-b (a wrong product on GPU 2) and node-c (GPU 3 twice as slow), each running the stand-in with
# four devices through emulated-node-bench.sh, whose fleet report must name exactly those two GPUs;
# kavrel-healthcheck.sh with a wrong product on GPU 2, run by hand, as slurmd's HealthCheckProgram and as a job's
# Prolog, after each of which sinfo -R must show the node drained with a reason naming GPU 2, and the node is
# resumed. The check fails when kavrel-bench-emulated lacks an option it needs.
#
# The three tasks share this machine's cores (twelve emulated GPUs on two cores in CI), so each runs a fixed
# number of round trips rather than a fixed time: every GPU then does the same work however loaded the machine
# is. Rates measured so still scatter: a healthy GPU was seen 9% below the median, next to the default margin of
# 10%. So the fleet is judged with a margin of 25%, between the healthy GPUs (within 10% of the median) and the
# GPU slowed by a factor of 2 (seen 39% to 53% below it), some 14 points or more from either.
# KAVREL_FLEET_CHECK_ITERATIONS overrides the count (default 500; at least 400, as the fault is SGEMM call 300).
# KAVREL_FLEET_CHECK_KEEP names a folder to copy the qualification job's reports and output into.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$(cd "${1:?usage: $0 BUILD_FOLDER}" && pwd)
cluster=$repo/scripts/ci/slurm-cluster.sh
fleet=$build/kavrel-fleet
bench=$build/kavrel-bench-emulated
work=$(mktemp -d /tmp/kavrel-slurm-check.XXXXXX)
chmod 755 "$work"

say() { printf 'slurm-fleet-check: %s\n' "$*"; }
fail() {
    say "FAILED: $*"
    exit 1
}

cleanup() {
    "$cluster" stop || true
    rm -rf "$work"
}
trap cleanup EXIT
"$cluster" stop >/dev/null # leftovers of an interrupted run of this script
"$cluster" start
# shellcheck disable=SC1091
source "${KAVREL_SLURM_DIR:-/tmp/kavrel-slurm}/env.sh"
node=$(hostname -s)

# --- a trivial job --------------------------------------------------------------------------
answer=$(timeout 60 srun --nodes=1 --ntasks=1 hostname -s)
[ "$answer" = "$node" ] || fail "srun hostname printed '$answer', not '$node'"
say "srun ran on $answer"

# --- which kavrel-bench ---------------------------------------------------------------------
iterations=${KAVREL_FLEET_CHECK_ITERATIONS:-500}
fleet_options="--outlier-margin 25%"
if ! [[ $iterations =~ ^[0-9]+$ ]] || [ "$iterations" -lt 400 ]; then
    fail "KAVREL_FLEET_CHECK_ITERATIONS is '$iterations', not a count of at least 400"
fi
bench_help=$("$bench" --help) || fail "$bench --help failed"
for option in --devices --iterations --json --node-name; do
    grep -q -- "$option" <<<"$bench_help" || fail "$bench has no $option option, which this check needs"
done
say "kavrel-bench: $bench, four emulated GPUs per node, $iterations round trips each"

# --- qualification: three tasks on the one node, one report each, one fleet report ----------
say "sbatch kavrel-qualify.sbatch (three tasks: node-a, node-b, node-c)"
job_status=0
KAVREL_BENCH=$repo/scripts/ci/emulated-node-bench.sh KAVREL_BENCH_EMULATED=$bench KAVREL_FLEET=$fleet \
    KAVREL_NODE_NAMES="node-a node-b node-c" KAVREL_BENCH_OPTIONS="--devices all --iterations $iterations" \
    KAVREL_FLEET_OPTIONS=$fleet_options KAVREL_REPORT_DIR=$work/reports \
    timeout 300 sbatch --wait --nodes=1 --ntasks=3 --ntasks-per-node=3 --output="$work/qualify.out" \
    "$repo/scripts/slurm/kavrel-qualify.sbatch" >"$work/sbatch.out" || job_status=$?
cat "$work/sbatch.out" "$work/qualify.out"
job=$(awk '/Submitted batch job/ { print $4 }' "$work/sbatch.out")
reports=$work/reports/$job
if [ -n "${KAVREL_FLEET_CHECK_KEEP:-}" ]; then
    mkdir -p "$KAVREL_FLEET_CHECK_KEEP"
    cp -r "$reports/." "$work/qualify.out" "$KAVREL_FLEET_CHECK_KEEP/"
fi
[ "$job_status" -eq 1 ] || fail "the qualification job ended with status $job_status, not 1"
for name in node-a node-b node-c; do
    [ -s "$reports/$name.json" ] || fail "no report from $name"
done
[ -s "$reports/fleet/report.json" ] || fail "no fleet/report.json"
# shellcheck disable=SC2086 # two words
problems=$("$fleet" $fleet_options --problems "$reports" || true)
printf '%s\n' "$problems" | sed 's/^/    /'
[ "$(printf '%s\n' "$problems" | wc -l)" -eq 2 ] || fail "the fleet report names other problems than two"
printf '%s\n' "$problems" | grep -Eq '^node-b GPU 2 .* failed$' || fail "the wrong product on node-b GPU 2 is not named"
printf '%s\n' "$problems" | grep -Eq '^node-c GPU 3 .* slow: ' || fail "the slow node-c GPU 3 is not named"
grep -q '^Verdict  FAILED$' "$work/qualify.out" || fail "the job's output has no fleet verdict"
grep -q '(margin 25.0%)$' "$work/qualify.out" || fail "the job did not pass KAVREL_FLEET_OPTIONS to kavrel-fleet"
say "the fleet report names node-b GPU 2 (wrong product) and node-c GPU 3 (slow)"

# --- the health check drains the node, naming the GPU ---------------------------------------
# The health check with a wrong product on GPU 2, as a script that slurmd can run: its settings are written in.
{
    echo '#!/usr/bin/env bash'
    echo 'set -euo pipefail'
    printf 'export %s\n' "KAVREL_BENCH=$bench" \
        "KAVREL_HEALTHCHECK_OPTIONS=\"--devices all --iterations $iterations\"" \
        KAVREL_EMULATED_DEVICES=4 KAVREL_EMULATED_FAULTS=corrupt:300@2
    printf 'export %s\n' "KAVREL_FLEET=$fleet" "SLURM_CONF=$SLURM_CONF"
    echo "exec $repo/scripts/slurm/kavrel-healthcheck.sh"
} >"$work/healthcheck.sh"
chmod 755 "$work/healthcheck.sh"

# Waits until the node is drained and checks that the reason names GPU 2 ($1 says how the check ran).
expect_drained() {
    local deadline=$((SECONDS + 60))
    until reason=$(sinfo -R --noheader --nodes="$node" --format=%E) && [ -n "$reason" ]; do
        [ $SECONDS -lt $deadline ] || fail "$1: $node was not drained"
        sleep 1
    done
    sinfo -R --format='%60E %9u %19H %N'
    [[ $reason =~ ^kavrel:\ GPU\ 2\ .*\ failed$ ]] || fail "$1: the drain reason is '$reason'"
    scontrol show node "$node" | grep -Eq 'State=[A-Z+]*DRAIN' || fail "$1: scontrol does not show $node drained"
    scontrol show node "$node" | grep -E '^ *(State|Reason)='
}

# Resumes the node and waits until it is idle.
resume() {
    local deadline=$((SECONDS + 30))
    scontrol update nodename="$node" state=resume
    until [ "$(sinfo --noheader --nodes="$node" --format=%T)" = idle ]; do
        [ $SECONDS -lt $deadline ] || fail "$1: $node did not return to idle after resume"
        sleep 1
    done
    say "$1: $node drained with reason '$reason', then resumed and idle"
}

# Adds the line $1 to slurm.conf, or with no argument removes what was added, and has the daemons reread it.
reconfigure() {
    sed -i '/^# kavrel-fleet-check$/,$d' "$SLURM_CONF"
    if [ $# -gt 0 ]; then printf '# kavrel-fleet-check\n%s\n' "$@" >>"$SLURM_CONF"; fi
    scontrol reconfigure
    sleep 2
}

say "kavrel-healthcheck.sh run by hand, as root, with a wrong product on GPU 2"
check_status=0
SLURMD_NODENAME=$node "$work/healthcheck.sh" || check_status=$?
[ "$check_status" -eq 1 ] || fail "the health check ended with status $check_status, not 1"
expect_drained "by hand"
resume "by hand"

say "kavrel-healthcheck.sh as slurmd's HealthCheckProgram"
reconfigure "HealthCheckProgram=$work/healthcheck.sh" "HealthCheckInterval=5"
expect_drained "HealthCheckProgram"
reconfigure
sleep 5 # a check already under way ends before the node is resumed
resume "HealthCheckProgram"

say "kavrel-healthcheck.sh as the Prolog of a job"
reconfigure "Prolog=$work/healthcheck.sh"
if timeout 60 srun --nodes=1 --ntasks=1 true 2>"$work/srun.err"; then
    fail "the job ran although its prolog found a wrong product"
fi
sed 's/^/    /' "$work/srun.err"
expect_drained "Prolog"
reconfigure
resume "Prolog"
say "passed"
