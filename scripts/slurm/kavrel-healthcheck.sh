#!/usr/bin/env bash
# Slurm node health check: runs kavrel-bench briefly on every GPU of this node and drains the node when one fails.
#
# The round trips come first; with KAVREL_HEALTHCHECK_RESIDENT set, a short burst of the resident workload (the GPUs
# at full arithmetic load, every product checked on the device) follows when they passed, within the same time
# limit, and is judged the same way, its drain reasons starting with "resident burst: ".
#
# Works as slurm.conf's HealthCheckProgram (slurmd runs it as root every HealthCheckInterval seconds and kills it
# after 60 seconds) and as (part of) a Prolog. It decides every way the run can end:
#   - every GPU passed: exit 0;
#   - a GPU failed, is in error or stuck, fewer GPUs than expected are visible, kavrel-bench was killed by a
#     signal, overran the time limit, or ended without a report although it ran: the node is drained with a
#     reason naming the GPUs or what happened, exit 1;
#   - the check itself cannot run (kavrel-bench, kavrel-fleet, scontrol or timeout missing, options refused, no
#     usable temporary folder): the node is left as it is and the cause logged, exit 2; as a Prolog exit 0 instead,
#     as Slurm drains a node on any other prolog status and a misconfigured check must not drain a cluster;
#   - the drain itself failed: logged, exit 2; as a Prolog exit 1, so that Slurm drains the node.
# Every outcome is written to standard error and, when logger exists, to syslog under the tag kavrel-healthcheck.
# The check keeps no file on disk (its temporary files are unlinked as soon as they are open), and kavrel-bench runs
# in the check's process group and dies with it, so neither outlives the check when slurmd kills it.
#
# Settings (environment variables):
#   KAVREL_BENCH               kavrel-bench to run (default: the one installed with this script, else kavrel-bench
#                              on PATH, else beside this script)
#   KAVREL_FLEET               kavrel-fleet, which names the failed GPUs (default: likewise)
#   KAVREL_HEALTHCHECK_OPTIONS options for kavrel-bench (default: --devices all --duration 10s); --json,
#                              --node-name and, with KAVREL_EXPECT_DEVICES, --expect-devices are added
#   KAVREL_HEALTHCHECK_RESIDENT options for the resident burst, e.g. "--devices all --duration 10s"; --workload
#                              resident and the options added to the round trips' are added (default: no burst)
#   KAVREL_EXPECT_DEVICES      how many GPUs the node must show (default: no expectation)
#   KAVREL_HEALTHCHECK_TIMEOUT seconds kavrel-bench may run in all, the burst included (default 50, below slurmd's
#                              60 for a health check); it is then interrupted, and killed 5 seconds later
#   KAVREL_HEALTHCHECK_MODE    health or prolog (default: prolog when SLURM_SCRIPT_CONTEXT says prolog_slurmd,
#                              or, where Slurm sets no context, when SLURM_JOB_ID is set; health otherwise)
#   KAVREL_NODE_NAME           the node to drain (default: $SLURMD_NODENAME, else hostname -s)
#   KAVREL_HEALTHCHECK_REPORT  where to keep the last JSON report (default: nowhere); the burst's goes beside it,
#                              with ".resident" added to the name
#   KAVREL_SCONTROL            scontrol to call (default: scontrol)
set -uo pipefail

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

# A program given by name alone (KAVREL_BENCH=kavrel-bench-emulated) is looked up on PATH.
on_path() {
    case $1 in
        */*) echo "$1" ;;
        *) command -v "$1" 2>/dev/null || echo "$1" ;;
    esac
}
bench=$(on_path "${KAVREL_BENCH:-$(locate kavrel-bench)}")
fleet=$(on_path "${KAVREL_FLEET:-$(locate kavrel-fleet)}")
read -r -a options <<<"${KAVREL_HEALTHCHECK_OPTIONS:---devices all --duration 10s}"
read -r -a resident_options <<<"${KAVREL_HEALTHCHECK_RESIDENT:-}"
node=${KAVREL_NODE_NAME:-${SLURMD_NODENAME:-$(hostname -s 2>/dev/null || hostname)}}
scontrol=${KAVREL_SCONTROL:-scontrol}
limit=${KAVREL_HEALTHCHECK_TIMEOUT:-50}
mode=${KAVREL_HEALTHCHECK_MODE:-}
if [ -z "$mode" ]; then
    case ${SLURM_SCRIPT_CONTEXT:-} in
        prolog*) mode=prolog ;;
        "") [ -n "${SLURM_JOB_ID:-}" ] && mode=prolog || mode=health ;;
        *) mode=health ;;
    esac
fi

log() {
    echo "kavrel-healthcheck: $*" >&2
    if command -v logger >/dev/null 2>&1; then logger -t kavrel-healthcheck -- "$*" 2>/dev/null || true; fi
}

# The check cannot run: the node is left as it is.
cannot_run() {
    log "cannot check $node, left as it is: $*"
    [ "$mode" = prolog ] && exit 0
    exit 2
}

# Drains the node with the reason "kavrel: $1", at most 250 characters, so that sinfo -R and scontrol show it whole.
drain() {
    local reason="kavrel: $1"
    if [ ${#reason} -gt 250 ]; then
        reason="${reason:0:247}..."
    fi
    if ! "$scontrol" update nodename="$node" state=drain reason="$reason"; then
        log "could not drain $node ($reason)"
        [ "$mode" = prolog ] && exit 1
        exit 2
    fi
    log "drained $node: $reason"
    exit 1
}

case $mode in health | prolog) ;; *) cannot_run "KAVREL_HEALTHCHECK_MODE is '$mode', not health or prolog" ;; esac
[[ $limit =~ ^[1-9][0-9]*$ ]] || cannot_run "KAVREL_HEALTHCHECK_TIMEOUT is '$limit', not a whole number of seconds"
expect=()
if [ -n "${KAVREL_EXPECT_DEVICES:-}" ]; then
    [[ $KAVREL_EXPECT_DEVICES =~ ^[0-9]+$ ]] ||
        cannot_run "KAVREL_EXPECT_DEVICES is '$KAVREL_EXPECT_DEVICES', not a count"
    expect=(--expect-devices "$KAVREL_EXPECT_DEVICES")
fi
[ -x "$bench" ] || cannot_run "kavrel-bench is not an executable file: $bench"
[ -x "$fleet" ] || cannot_run "kavrel-fleet is not an executable file: $fleet"
command -v timeout >/dev/null 2>&1 || cannot_run "timeout (coreutils) is missing"
command -v "$scontrol" >/dev/null 2>&1 || cannot_run "scontrol is missing: $scontrol"

# kavrel-bench in this script's process group, so that slurmd, which kills the whole group, reaches it, and dying
# with its parent where setpriv can arrange it. A signal to the script ends kavrel-bench before the script.
pdeath=()
if command -v setpriv >/dev/null 2>&1 && setpriv --pdeathsig KILL true 2>/dev/null; then
    pdeath=(setpriv --pdeathsig KILL)
fi
child=""
on_signal() {
    [ -n "$child" ] && kill -TERM "$child" 2>/dev/null
    log "interrupted by SIG$1 while checking $node, left as it is"
    exit 2
}
trap 'on_signal TERM' TERM
trap 'on_signal INT' INT
started=$SECONDS

# Runs kavrel-bench with the options given, within what is left of the time limit, and returns when it passed;
# drains the node (or leaves it, when the check cannot run) otherwise. $1 starts every drain reason ("" or
# "resident burst: "), $2 is where to keep the report ("" for nowhere).
check_run() {
    local label=$1 keep=$2
    shift 2
    # The report and kavrel-bench's messages, each open once for writing and once for reading, then unlinked:
    # nothing of the check is left on disk however it ends.
    local work
    work=$(mktemp -d 2>/dev/null) || cannot_run "no usable temporary folder (TMPDIR=${TMPDIR:-/tmp})"
    if ! { exec 3>"$work/report" 5<"$work/report" 7<"$work/report" 4>"$work/stderr" 6<"$work/stderr"; } 2>/dev/null
    then
        rm -rf "$work"
        cannot_run "cannot write in the temporary folder $work"
    fi
    rm -rf "$work"

    local left=$((limit - (SECONDS - started)))
    [ "$left" -ge 1 ] || left=1
    local run_started=$SECONDS
    "${pdeath[@]}" timeout --foreground --kill-after=5 "$left" "${pdeath[@]}" "$bench" "$@" --json \
        --node-name "$node" "${expect[@]}" >&3 2>&4 </dev/null &
    child=$!
    wait "$child"
    local status=$?
    child=""
    local elapsed=$((SECONDS - run_started))

    if [ -n "$keep" ]; then
        cat <&7 >"$keep" 2>/dev/null || log "cannot keep the report in $keep"
    fi

    # kavrel-bench's first message, without its "!!!! ": read with the shell alone, so that however much it wrote,
    # and whatever, nothing here can fail on it.
    local first_message="" line
    for _ in 1 2 3 4 5 6 7 8; do
        IFS= read -r -n 300 line <&6 || [ -n "$line" ] || break
        line=${line#'!!!! '}
        line=${line//[^[:print:]]/}
        if [ -n "$line" ]; then
            first_message=$line
            break
        fi
    done

    case $status in
        0)
            log "$node passed${label:+ the ${label%: }}"
            return 0
            ;;
        2 | 126 | 127)
            cannot_run "$label$bench ended with status $status${first_message:+: $first_message}"
            ;;
    esac

    # Every problem kavrel-fleet finds in the report, one per line without the node's name: the GPUs that failed,
    # are in error or stuck, and the node's own (missing GPUs). The rates of one node's GPUs scatter too much to add
    # a "slow" beside them, so slow GPUs are named only when they are all there is, as when the options hold
    # --fail-on-outlier.
    local all_problems problems
    all_problems=$("$fleet" --problems - <&5 2>/dev/null | sed 's/^[^ ]* //')
    problems=$(printf '%s\n' "$all_problems" | grep -v -E '^GPU [0-9]+ .* slow( SGEMM)?: ') || problems=$all_problems
    problems=$(printf '%s\n' "$problems" | sed '/^$/d' | paste -s -d ';' | sed 's/;/; /g')

    if [ "$status" -eq 124 ] || { [ "$status" -eq 137 ] && [ "$elapsed" -ge "$left" ]; }; then
        drain "${label}kavrel-bench timed out after ${limit} s${problems:+; $problems}"
    fi
    if [ "$status" -gt 128 ]; then
        local signal=$((status - 128)) name
        name=$(kill -l "$signal" 2>/dev/null) && name=" (SIG$name)" || name=""
        drain "${label}kavrel-bench killed by signal $signal$name${problems:+; $problems}"
    fi
    if [ -n "$problems" ]; then
        drain "$label$problems"
    fi
    case $status in
        1 | 3) drain "${label}kavrel-bench exit status $status${first_message:+: $first_message}" ;;
        4) drain "${label}kavrel-bench could not write its report${first_message:+: $first_message}" ;;
        *) drain "${label}kavrel-bench exit status $status without a usable report${first_message:+: $first_message}" ;;
    esac
}

check_run "" "${KAVREL_HEALTHCHECK_REPORT:-}" "${options[@]}"
if [ ${#resident_options[@]} -gt 0 ]; then
    check_run "resident burst: " "${KAVREL_HEALTHCHECK_REPORT:+$KAVREL_HEALTHCHECK_REPORT.resident}" \
        "${resident_options[@]}" --workload resident
fi
exit 0
