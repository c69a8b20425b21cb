#!/usr/bin/env bash
# Installs, starts and stops a one-node Slurm cluster on this machine (munged, slurmctld, slurmd, all as root).
#
#   slurm-cluster.sh install   installs Debian's slurm-wlm and munge when missing
#   slurm-cluster.sh start     writes the configuration, starts the daemons, waits until the node is idle
#   slurm-cluster.sh stop      stops the daemons this script started and removes the cluster's folder
#
# Everything lives in KAVREL_SLURM_DIR (default /tmp/kavrel-slurm): slurm.conf, the munge key and socket, the
# spool and state folders, the logs, and env.sh, which a caller sources to point Slurm's commands at this
# cluster (it sets SLURM_CONF). The daemons use their own ports (KAVREL_SLURM_PORT and the next one, default
# 16817) and their own munge socket, so a Slurm or munge already installed on the machine is left alone.
set -euo pipefail

dir=${KAVREL_SLURM_DIR:-/tmp/kavrel-slurm}
port=${KAVREL_SLURM_PORT:-16817}
node=$(hostname -s)

say() { printf 'slurm-cluster: %s\n' "$*"; }

install_packages() {
    local missing=()
    for package in slurm-wlm munge; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        say "installing ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -q
        apt-get install -y -q --no-install-recommends "${missing[@]}"
    fi
}

write_configuration() {
    mkdir -p "$dir"/{etc,munge,spool,state,log,run}
    chmod 700 "$dir" "$dir/munge"
    [ -s "$dir/munge/munge.key" ] || mungekey --create --keyfile="$dir/munge/munge.key"
    chmod 600 "$dir/munge/munge.key"
    cat >"$dir/etc/slurm.conf" <<CONF
# One-node cluster for kavrel's CI: this machine, as root, no cgroups, no accounting.
ClusterName=kavrel
SlurmctldHost=$node(127.0.0.1)
SlurmctldPort=$port
SlurmdPort=$((port + 1))
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$dir/munge/munge.socket
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/run/slurmctld.pid
SlurmdPidFile=$dir/run/slurmd.pid
SlurmctldLogFile=$dir/log/slurmctld.log
SlurmdLogFile=$dir/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
SchedulerType=sched/backfill
MpiDefault=none
ReturnToService=2
SlurmdTimeout=60
InactiveLimit=0
KillWait=5
# Slurm believes in 8 CPUs at least, so that the rehearsal fleet's six tasks fit on a 2-core machine.
SlurmdParameters=config_overrides
NodeName=$node NodeAddr=127.0.0.1 CPUs=$(($(nproc) > 8 ? $(nproc) : 8)) State=UNKNOWN
PartitionName=kavrel Nodes=ALL Default=YES MaxTime=INFINITE State=UP
CONF
    printf 'export SLURM_CONF=%q\n' "$dir/etc/slurm.conf" >"$dir/env.sh"
}

# Waits up to $1 seconds for sinfo to show the node idle.
wait_for_idle() {
    local deadline=$((SECONDS + $1)) state=""
    while [ $SECONDS -lt $deadline ]; do
        state=$(sinfo --noheader --nodes="$node" --format=%T 2>/dev/null || true)
        [ "$state" = idle ] && return 0
        sleep 1
    done
    say "the node did not become idle within $1 s (state: ${state:-none})"
    return 1
}

start() {
    install_packages
    write_configuration
    export SLURM_CONF=$dir/etc/slurm.conf
    munged --force --socket="$dir/munge/munge.socket" --key-file="$dir/munge/munge.key" \
        --pid-file="$dir/run/munged.pid" --log-file="$dir/log/munged.log" --seed-file="$dir/munge/munged.seed"
    slurmctld -i
    slurmd
    if ! wait_for_idle 60; then
        tail -n 20 "$dir"/log/*.log
        return 1
    fi
    say "node $node idle (SLURM_CONF=$SLURM_CONF)"
}

# Sends TERM to the daemon whose pid file is $1, then waits for it to go.
stop_daemon() {
    local pid
    [ -s "$1" ] || return 0
    pid=$(cat "$1")
    kill "$pid" 2>/dev/null || return 0
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.2
    done
    kill -KILL "$pid" 2>/dev/null || true
}

stop() {
    [ -d "$dir" ] || return 0
    stop_daemon "$dir/run/slurmd.pid"
    stop_daemon "$dir/run/slurmctld.pid"
    stop_daemon "$dir/run/munged.pid"
    rm -rf "$dir"
    say "stopped"
}

case "${1:-}" in
    install) install_packages ;;
    start) start ;;
    stop) stop ;;
    *)
        echo "usage: $0 install|start|stop" >&2
        exit 2
        ;;
esac
