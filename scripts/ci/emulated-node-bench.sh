#!/usr/bin/env bash
# CI's kavrel-bench for a rehearsal fleet on one machine: the stand-in with four devices and a fault chosen by node.
#
# Runs $KAVREL_BENCH_EMULATED with KAVREL_EMULATED_DEVICES=4, a node number of its own in the GPUs' UUIDs, every
# device's operations stretched tenfold, and, by the value of --node-name: node-b gets a wrong product on device 2
# (SGEMM call 300), node-c a device 3 stretched a hundredfold instead, node-d a device 1 whose 100th download hangs,
# node-e crashes before it writes anything, and node-f runs a soak of ten minutes instead of its round trips, for a
# job's time limit to cut short; other nodes are clean.
#
# Why every device is slowed: the stand-in's work is the host's, and twenty device threads of five tasks that start
# and finish at different moments share two cores unevenly, which once scattered healthy GPUs' round-trip rates
# sevenfold (MAD half the median, so the fleet's rule could flag no GPU at all). A stretch sleeps for the most part,
# so a rate is then set by the emulated work, as a GPU's would be, rather than by the scheduler.
set -euo pipefail

arguments=("$@")
node=""
for ((i = 0; i + 1 < ${#arguments[@]}; i++)); do
    if [ "${arguments[i]}" = --node-name ]; then
        node=${arguments[i + 1]}
    fi
done
export KAVREL_EMULATED_DEVICES=4
export KAVREL_EMULATED_SLOWDOWN=0:10,1:10,2:10,3:10
KAVREL_EMULATED_NODE=$(($(printf '%s' "$node" | cksum | cut -d ' ' -f 1) % 256))
export KAVREL_EMULATED_NODE
case $node in
    node-b) export KAVREL_EMULATED_FAULTS=corrupt:300@2 ;;
    node-c) export KAVREL_EMULATED_SLOWDOWN=0:10,1:10,2:10,3:100 ;;
    node-d) export KAVREL_EMULATED_FAULTS=hang:cublasGetMatrix:100@1 ;;
    node-e) kill -s SEGV $$ ;;
    node-f)
        for ((i = 0; i + 1 < ${#arguments[@]}; i++)); do
            if [ "${arguments[i]}" = --iterations ]; then
                arguments[i]=--duration
                arguments[i + 1]=10m
            fi
        done
        ;;
esac
exec "${KAVREL_BENCH_EMULATED:?the stand-in kavrel-bench-emulated}" "${arguments[@]}"
