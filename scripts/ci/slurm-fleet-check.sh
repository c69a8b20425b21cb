#!/usr/bin/env bash
# CI: on a one-node Slurm cluster, qualifies a rehearsal fleet of six nodes and has the health check decide every case.
#
#   slurm-fleet-check.sh BUILD_FOLDER
#
# BUILD_FOLDER holds kavrel-bench-emulated and kavrel-fleet. The cluster (slurm-cluster.sh) is started here and
# stopped on every exit. Steps: a trivial srun; kavrel-qualify.sbatch with five tasks on the one node reporting as
# node-a to node-e, each running the stand-in with four devices through emulated-node-bench.sh (node-b: a wrong
# product on GPU 2; node-c: GPU 3 ten times as slow as its peers; node-d: GPU 1 hangs; node-e: crashes before it
# reports), for round trips at order 256, whose fleet report must name exactly those problems; the same job under a
# one-minute time limit for node-f, running both workloads, whose soaks would outlast it and which must be
# interrupted in time to report both; then kavrel-healthcheck.sh, by hand, as slurmd's HealthCheckProgram and as a
# job's Prolog: a wrong product on GPU 2, a GPU that hangs, a kavrel-bench that crashes, a node showing fewer GPUs
# than expected and a wrong sum in a resident burst after passing round trips must each drain the node with a
# reason naming what happened, and a healthy node and a misconfigured Prolog must leave it in service. The check
# fails when kavrel-bench-emulated lacks an option it needs.
#
# The five tasks share this machine's cores (twenty emulated GPUs on two cores in CI), so each runs a fixed
# number of round trips rather than a fixed time: every GPU then does the same work however loaded the machine is.
# They run round trips alone: a task that moved on to the resident workload would load the cores under the others'
# round trips, so that rates from one machine could no longer be compared (a slowed GPU was once measured 44%
# above the median so). Rates measured so still scattered while the stand-in's work ran flat out: once from 97 to
# 692 round trips/s, which left the MAD rule unable to flag anything, so emulated-node-bench.sh stretches every
# device's work tenfold, mostly asleep, and the order is 256, which keeps the five tasks' threads within the cores.
# The fleet is judged with a margin of 25%, between the healthy GPUs and node-c's GPU 3.
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
for option in --devices --iterations --json --node-name --expect-devices --stall-timeout; do
    grep -q -- "$option" <<<"$bench_help" || fail "$bench has no $option option, which this check needs"
done
say "kavrel-bench: $bench, four emulated GPUs per node, $iterations round trips each (and resident products for node-f)"
# A small order keeps twenty resident GPUs on two cores quick.
resident_options="--devices all --size 128 --iterations $iterations"

# --- qualification: five tasks on the one node, one report each, one fleet report -----------
names="node-a node-b node-c node-d node-e"
say "sbatch kavrel-qualify.sbatch (five tasks: $names)"
job_status=0
KAVREL_BENCH=$repo/scripts/ci/emulated-node-bench.sh KAVREL_BENCH_EMULATED=$bench KAVREL_FLEET=$fleet \
    KAVREL_NODE_NAMES="$names" KAVREL_BENCH_OPTIONS="--devices all --size 256 --iterations $iterations" \
    KAVREL_RESIDENT_OPTIONS=none KAVREL_FLEET_OPTIONS=$fleet_options KAVREL_REPORT_DIR=$work/reports \
    timeout 400 sbatch --wait --nodes=1 --ntasks=5 --ntasks-per-node=5 --output="$work/qualify.out" \
    "$repo/scripts/slurm/kavrel-qualify.sbatch" >"$work/sbatch.out" || job_status=$?
cat "$work/sbatch.out" "$work/qualify.out"
job=$(awk '/Submitted batch job/ { print $4 }' "$work/sbatch.out")
reports=$work/reports/$job
if [ -n "${KAVREL_FLEET_CHECK_KEEP:-}" ]; then
    mkdir -p "$KAVREL_FLEET_CHECK_KEEP"
    cp -r "$reports/." "$work/qualify.out" "$KAVREL_FLEET_CHECK_KEEP/"
fi
[ "$job_status" -eq 2 ] || fail "the qualification job ended with status $job_status, not 2 (a node without a report)"
for name in node-a node-b node-c node-d; do
    [ -s "$reports/$name.json" ] || fail "no report from $name"
done
[ -e "$reports/unusable/node-e.json" ] || fail "node-e's empty report was not moved aside"
[ -s "$reports/fleet/report.json" ] || fail "no fleet/report.json"
# shellcheck disable=SC2086 # two words
problems=$("$fleet" $fleet_options --expect-nodes "${names// /,}" --problems "$reports" || true)
printf '%s\n' "$problems" | sed 's/^/    /'
[ "$(printf '%s\n' "$problems" | wc -l)" -eq 4 ] || fail "the fleet report names other problems than four"
printf '%s\n' "$problems" | grep -Eq '^node-b GPU 2 .* failed$' || fail "the wrong product on node-b GPU 2 is not named"
printf '%s\n' "$problems" | grep -Eq '^node-c GPU 3 .* slow: ' || fail "the slow node-c GPU 3 is not named"
printf '%s\n' "$problems" | grep -Eq '^node-d GPU 1 .* error: no progress for .* s in cublasGetMatrix$' ||
    fail "the hung node-d GPU 1 is not named"
printf '%s\n' "$problems" | grep -qx 'node-e no report' || fail "node-e, which crashed, is not named"
grep -q '^Verdict  FAILED$' "$work/qualify.out" || fail "the job's output has no fleet verdict"
grep -q '(margin 25.0%)' "$work/qualify.out" || fail "the job did not pass KAVREL_FLEET_OPTIONS to kavrel-fleet"
say "the fleet report names node-b GPU 2 (wrong), node-c GPU 3 (slow), node-d GPU 1 (hung) and node-e (no report)"

# --- qualification under a time limit: kavrel-bench is interrupted in time for the report -----
say "sbatch --time=1 kavrel-qualify.sbatch (node-f, a soak longer than the limit)"
job_status=0
KAVREL_BENCH=$repo/scripts/ci/emulated-node-bench.sh KAVREL_BENCH_EMULATED=$bench KAVREL_FLEET=$fleet \
    KAVREL_NODE_NAMES=node-f KAVREL_BENCH_OPTIONS="--devices all --iterations $iterations" \
    KAVREL_RESIDENT_OPTIONS="$resident_options" \
    KAVREL_REPORT_DIR=$work/reports KAVREL_REPORT_RESERVE=45 \
    timeout 200 sbatch --wait --nodes=1 --ntasks=1 --time=1 --output="$work/limited.out" \
    "$repo/scripts/slurm/kavrel-qualify.sbatch" >"$work/sbatch.out" || job_status=$?
cat "$work/sbatch.out" "$work/limited.out"
job=$(awk '/Submitted batch job/ { print $4 }' "$work/sbatch.out")
[ "$job_status" -eq 1 ] || fail "the time-limited job ended with status $job_status, not 1 (an interrupted node)"
grep -Eq '^node-f +interrupted by SIGTERM$' "$work/limited.out" || fail "the fleet report does not name node-f's cut-short run"
[ -s "$work/reports/$job/node-f.json" ] && [ -s "$work/reports/$job/node-f.resident.json" ] ||
    fail "node-f did not report both workloads within the time limit"
[ "$(sacct -n -X -j "$job" -o State 2>/dev/null | tr -d ' ')" != TIMEOUT ] || fail "the job ran into its time limit"
say "node-f was interrupted before the time limit, reported, and named by the fleet report"

# --- the health check decides every case ----------------------------------------------------
# Writes the health check as a script that slurmd can run, with its settings written in: $1 the script's name, then
# variable assignments.
write_check() {
    local script=$work/$1
    shift
    {
        echo '#!/usr/bin/env bash'
        printf 'export %q\n' "KAVREL_BENCH=$bench" "KAVREL_HEALTHCHECK_OPTIONS=--devices all --iterations $iterations" \
            KAVREL_EMULATED_DEVICES=4 "KAVREL_FLEET=$fleet" "SLURM_CONF=$SLURM_CONF" KAVREL_HEALTHCHECK_TIMEOUT=45 "$@"
        echo "exec $repo/scripts/slurm/kavrel-healthcheck.sh"
    } >"$script"
    chmod 755 "$script"
}

# Waits until the node is drained and checks that the reason matches the pattern $2 ($1 says how the check ran).
expect_drained() {
    local deadline=$((SECONDS + 75))
    until reason=$(sinfo -R --noheader --nodes="$node" --format=%E) && [ -n "$reason" ]; do
        [ $SECONDS -lt $deadline ] || fail "$1: $node was not drained"
        sleep 1
    done
    sinfo -R --format='%60E %9u %19H %N'
    [[ $reason =~ $2 ]] || fail "$1: the drain reason is '$reason'"
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

# Checks that the node is in service and carries no reason.
expect_in_service() {
    local state
    state=$(sinfo --noheader --nodes="$node" --format=%T)
    reason=$(sinfo -R --noheader --nodes="$node" --format=%E)
    [ "$state" = idle ] && [ -z "$reason" ] || fail "$1: $node is $state${reason:+ with reason '$reason'}"
    say "$1: $node left in service"
}

# Adds the lines to slurm.conf, or with no argument removes what was added, and has the daemons reread it.
reconfigure() {
    sed -i '/^# kavrel-fleet-check$/,$d' "$SLURM_CONF"
    if [ $# -gt 0 ]; then printf '# kavrel-fleet-check\n%s\n' "$@" >>"$SLURM_CONF"; fi
    scontrol reconfigure
    sleep 2
}

# Runs the check as slurmd's HealthCheckProgram every five seconds until the node is drained ($2: the reason's
# pattern), then takes it out again and resumes the node.
as_health_check() {
    local label="HealthCheckProgram, $1" started=$SECONDS
    reconfigure "HealthCheckProgram=$work/$3" "HealthCheckInterval=5"
    expect_drained "$label" "$2"
    say "$label: drained $((SECONDS - started)) s after slurmd was given the check"
    reconfigure
    sleep 5 # a check already under way ends before the node is resumed
    resume "$label"
}

cat >"$work/crashing-bench.sh" <<'CRASH'
#!/usr/bin/env bash
# A kavrel-bench whose GPU stack brings it down.
kill -s SEGV $$
CRASH
chmod 755 "$work/crashing-bench.sh"
write_check wrong.sh KAVREL_EMULATED_FAULTS=corrupt:300@2
write_check hang.sh KAVREL_EMULATED_FAULTS=hang:cublasGetMatrix:100@1
write_check crash.sh "KAVREL_BENCH=$work/crashing-bench.sh"
write_check missing.sh KAVREL_EXPECT_DEVICES=5
write_check healthy.sh
write_check burst.sh KAVREL_EMULATED_FAULTS=corrupt:cublasSasum_v2:5@2 \
    "KAVREL_HEALTHCHECK_RESIDENT=--devices all --size 128 --iterations $iterations"
write_check misconfigured.sh "KAVREL_HEALTHCHECK_OPTIONS=--devices all --no-such-option"

say "kavrel-healthcheck.sh run by hand, as root, with a wrong product on GPU 2"
check_status=0
SLURMD_NODENAME=$node "$work/wrong.sh" || check_status=$?
[ "$check_status" -eq 1 ] || fail "the health check ended with status $check_status, not 1"
expect_drained "by hand" '^kavrel: GPU 2 .* failed$'
resume "by hand"

as_health_check "wrong product on GPU 2" '^kavrel: GPU 2 .* failed$' wrong.sh
as_health_check "GPU 1 hangs" '^kavrel: GPU 1 .* error: no progress for .* s in cublasGetMatrix$' hang.sh
as_health_check "kavrel-bench crashes" '^kavrel: kavrel-bench killed by signal 11 \(SIGSEGV\)$' crash.sh
as_health_check "four GPUs of five" '^kavrel: missing GPUs: 4 of 5 expected are visible$' missing.sh
as_health_check "a wrong sum in the resident burst" '^kavrel: resident burst: GPU 2 .* failed$' burst.sh

say "kavrel-healthcheck.sh as slurmd's HealthCheckProgram on a healthy node"
reconfigure "HealthCheckProgram=$work/healthy.sh" "HealthCheckInterval=5"
sleep 20 # several checks
reconfigure
sleep 5
expect_in_service "HealthCheckProgram, healthy"

say "kavrel-healthcheck.sh as the Prolog of a job, with a wrong product on GPU 2"
reconfigure "Prolog=$work/wrong.sh"
if timeout 90 srun --nodes=1 --ntasks=1 true 2>"$work/srun.err"; then
    fail "the job ran although its prolog found a wrong product"
fi
sed 's/^/    /' "$work/srun.err"
expect_drained "Prolog" '^kavrel: GPU 2 .* failed$'
reconfigure
resume "Prolog"

say "a misconfigured kavrel-healthcheck.sh as the Prolog of a job"
reconfigure "Prolog=$work/misconfigured.sh"
timeout 90 srun --nodes=1 --ntasks=1 true 2>"$work/srun.err" || {
    sed 's/^/    /' "$work/srun.err"
    fail "the job did not run although only the check was misconfigured"
}
reconfigure
expect_in_service "Prolog, misconfigured"
say "passed"
