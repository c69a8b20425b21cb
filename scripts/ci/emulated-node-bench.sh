#!/usr/bin/env bash
# CI's kavrel-bench for a rehearsal fleet on one machine: the stand-in with four devices and a fault chosen by node.
#
# Runs $KAVREL_BENCH_EMULATED with KAVREL_EMULATED_DEVICES=4 and, by the value of --node-name: node-b gets a
# wrong product on device 2 (SGEMM call 300), node-c a device 3 that runs twice as slow; other nodes are clean.
set -euo pipefail

arguments=("$@")
node=""
for ((i = 0; i + 1 < ${#arguments[@]}; i++)); do
    if [ "${arguments[i]}" = --node-name ]; then
        node=${arguments[i + 1]}
    fi
done
export KAVREL_EMULATED_DEVICES=4
case $node in
    node-b) export KAVREL_EMULATED_FAULTS=corrupt:300@2 ;;
    node-c) export KAVREL_EMULATED_SLOWDOWN=3:4 ;;
esac
exec "${KAVREL_BENCH_EMULATED:?the stand-in kavrel-bench-emulated}" "$@"
