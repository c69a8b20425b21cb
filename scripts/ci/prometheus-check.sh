#!/usr/bin/env bash
# CI: kavrel-bench's --prometheus file as Prometheus sees it, through node_exporter's textfile collector.
#
#   prometheus-check.sh BUILD_FOLDER
#
# BUILD_FOLDER holds kavrel-bench-emulated. Starts Debian's prometheus-node-exporter on 127.0.0.1 at a free port with
# only the textfile collector, reading a folder of its own (the packaged service, if one runs, is left alone on its
# port); runs the stand-in on four devices, GPU 2 computing a wrong product, with --prometheus into that folder; checks
# the file with promtool check metrics; scrapes the exporter with curl and checks that it read the file without error
# and shows GPU 2 failed, the other three passed and the run's status 1; then runs the stand-in again without the
# fault and checks that the next scrape shows the new file. The exporter is stopped on every exit.
set -euo pipefail

build=$(cd "${1:?usage: $0 BUILD_FOLDER}" && pwd)
bench=$build/kavrel-bench-emulated
work=$(mktemp -d /tmp/kavrel-prometheus-check.XXXXXX)
exporter_pid=

say() { printf 'prometheus-check: %s\n' "$*"; }
fail() {
    say "FAILED: $*"
    exit 1
}

cleanup() {
    if [ -n "$exporter_pid" ]; then
        kill "$exporter_pid" 2>/dev/null || true
        wait "$exporter_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

started=$SECONDS
for tool in prometheus-node-exporter promtool curl python3; do
    command -v "$tool" >/dev/null || fail "$tool is not installed"
done
[ -x "$bench" ] || fail "$bench is missing"
"$bench" --help | grep -q -- '--prometheus' || fail "$(basename "$bench") has no --prometheus option"

# --- the exporter -----------------------------------------------------------------------------
mkdir "$work/textfile"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
prometheus-node-exporter --web.listen-address="127.0.0.1:$port" --collector.disable-defaults --collector.textfile \
    --collector.textfile.directory="$work/textfile" </dev/null >"$work/exporter.log" 2>&1 &
exporter_pid=$!
scrape() { curl -fsS --max-time 5 "http://127.0.0.1:$port/metrics"; }
for _ in $(seq 50); do
    scrape >/dev/null 2>&1 && break
    kill -0 "$exporter_pid" 2>/dev/null || { cat "$work/exporter.log"; fail "node_exporter ended at start-up"; }
    sleep 0.1
done
scrape >/dev/null || { cat "$work/exporter.log"; fail "node_exporter does not answer on port $port"; }
say "node_exporter $(prometheus-node-exporter --version 2>&1 | awk 'NR == 1 { print $3 }') on 127.0.0.1:$port"

# Checks that exactly one sample of the metric in the file carries every label="value" given (in any order, as
# node_exporter sorts labels) and that its value, as a number, is expected.
expect() {
    local file=$1 name=$2 expected=$3
    shift 3
    awk -v name="$name" -v expected="$expected" -v wanted="$*" '
        { value = $NF; series = substr($0, 1, length($0) - length(value) - 1) }
        series == name || index(series, name "{") == 1 {
            count = split(wanted, labels, " ")
            matches = 1
            for (i = 1; i <= count; i++) {
                if (!index(series, "{" labels[i]) && !index(series, "," labels[i])) matches = 0
            }
            if (matches) { found++; seen = value }
        }
        END {
            if (found != 1) { printf "%d samples of %s{%s}\n", found, name, wanted; exit 1 }
            if (seen + 0 != expected + 0) { printf "%s{%s} is %s, not %s\n", name, wanted, seen, expected; exit 1 }
        }' "$file" || fail "in $file"
}

# --- a run with a wrong product on GPU 2 ------------------------------------------------------
file=$work/textfile/kavrel.prom
status=0
KAVREL_EMULATED_DEVICES=4 KAVREL_EMULATED_FAULTS=corrupt:30@2 "$bench" --devices all --iterations 50 \
    --node-name ci-node --prometheus "$file" >"$work/report.txt" 2>"$work/stderr.txt" || status=$?
[ "$status" -eq 1 ] || { cat "$work/stderr.txt"; fail "kavrel-bench-emulated ended with $status, not 1"; }
[ "$(ls -A "$work/textfile")" = kavrel.prom ] || fail "the folder holds $(ls -A "$work/textfile"), not kavrel.prom alone"
promtool check metrics <"$file" || fail "promtool check metrics rejects $file"
say "promtool check metrics: $(grep -c '^# TYPE' "$file") families, $(grep -vc '^#' "$file") samples, no problem"

scraped=$work/scrape.txt
scrape >"$scraped"
expect "$scraped" node_textfile_scrape_error 0
grep -Eq '^node_textfile_mtime_seconds[{]file="([^"]*/)?kavrel[.]prom"[}] ' "$scraped" ||
    fail "node_exporter shows no mtime for kavrel.prom"
for index in 0 1 3; do
    expect "$scraped" kavrel_bench_device_passed 1 node='"ci-node"' index="\"$index\""
done
expect "$scraped" kavrel_bench_device_passed 0 node='"ci-node"' index='"2"'
expect "$scraped" kavrel_bench_device_status 1 node='"ci-node"' index='"2"' status='"failed"'
expect "$scraped" kavrel_bench_device_mismatches 1 node='"ci-node"' index='"2"'
expect "$scraped" kavrel_bench_passed 0 node='"ci-node"'
expect "$scraped" kavrel_bench_exit_status 1 node='"ci-node"'
say "scraped: GPU 2 failed with 1 mismatch, GPUs 0, 1 and 3 passed, exit status 1, no textfile scrape error"

# --- the next run replaces the file -----------------------------------------------------------
KAVREL_EMULATED_DEVICES=4 "$bench" --devices all --iterations 50 --node-name ci-node --prometheus "$file" \
    >"$work/report.txt" || fail "the healthy run ended with $?"
scrape >"$scraped"
expect "$scraped" node_textfile_scrape_error 0
expect "$scraped" kavrel_bench_device_passed 1 node='"ci-node"' index='"2"'
expect "$scraped" kavrel_bench_exit_status 0 node='"ci-node"'
say "scraped again after a healthy run: GPU 2 passed, exit status 0"
say "ok in $((SECONDS - started)) s"
