#!/usr/bin/env bash
# What NVML sampling costs the timed loop: kavrel-bench's p50 round trip [ms] with the health monitor sampling every
# 100 ms and with no sampling, in alternating pairs, and the medians of both and of the pairs' ratios.
#
# Usage: bench/sampling-cost.sh [KAVREL_BENCH [PAIRS [DURATION]]]
#   KAVREL_BENCH  the program (default build/kavrel-bench-emulated, with the stand-in's NVML)
#   PAIRS         pairs of runs (default 10); DURATION of each run (default 3s)
# Each run is a fresh process on the devices KAVREL_BENCH_DEVICES names (default 0). The sampling thread never
# touches a timed span, so what it can cost is CPU time and cache taken from the device thread; on a shared machine
# the noise between runs is larger than that, which is why the runs alternate and the pairs' ratio is reported.
set -euo pipefail

bench=${1:-build/kavrel-bench-emulated}
pairs=${2:-10}
duration=${3:-3s}
devices=${KAVREL_BENCH_DEVICES:-0}

# p50 of the first device's iteration times, from the table's "Iteration" row.
p50Of() {
    "$bench" --devices "$devices" --duration "$duration" --sample-interval "$1" |
        awk '$1 == "Iteration" && $2 == "p50" { print $3; exit }'
}

pairsSeen=""
for ((pair = 1; pair <= pairs; ++pair)); do
    with=$(p50Of 100ms)
    without=$(p50Of 0)
    printf 'pair %2d  p50 [ms]  sampling every 100 ms %s  no sampling %s\n' "$pair" "$with" "$without"
    pairsSeen+="$with $without"$'\n'
done

printf '%s' "$pairsSeen" | awk '
    function median(values, count,    i, j, t) {
        for (i = 2; i <= count; ++i) for (j = i; j > 1 && values[j - 1] > values[j]; --j) {
            t = values[j]; values[j] = values[j - 1]; values[j - 1] = t
        }
        return count % 2 ? values[(count + 1) / 2] : (values[count / 2] + values[count / 2 + 1]) / 2
    }
    { a[NR] = $1; b[NR] = $2; r[NR] = $1 / $2 }
    END {
        printf "median p50 [ms]  sampling every 100 ms %.4f  no sampling %.4f\n", median(a, NR), median(b, NR)
        printf "median of the pairs'\'' ratios  %+.2f%%\n", (median(r, NR) - 1) * 100
    }'
