#!/usr/bin/env bash
# CI: the README's run command and test command, exactly as written, as root on fresh Debian roots with nothing installed, from a git archive of the tree.
#
#   fresh-roots.sh [RELEASE...]        (default: bookworm trixie, Debian 12 and 13)
#
# For each release: a fresh debootstrap --variant=minbase root (scripts/ci/fresh-root.sh), the tree of HEAD (git
# archive) in /root/kavrel-test, then from there "scripts/run.sh", with the closing prompt answered by the end of
# standard input, must exit with 0 and print PASSED, and "scripts/test.sh" must exit with 0 and ctest must report
# every test passed. On the first release run.sh is run once more with a stand-in nvidia-smi on PATH, as on a GPU
# node without the CUDA toolkit, where it must stop with status 1 and run nothing. Each step's duration is printed,
# and the logs are kept in build-ci-roots/logs.
#
# The pristine roots are made once (about 40 s each) and kept as tarballs in build-ci-roots for the rest of the CI
# run; this script starts by removing old ones, unless KAVREL_FRESH_ROOTS_REUSE=1 (for reruns by hand).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=scripts/ci/fresh-root.sh
source "$repo/scripts/ci/fresh-root.sh"
releases=("$@")
[ ${#releases[@]} -gt 0 ] || releases=(bookworm trixie)

say() { printf 'fresh-roots: %s\n' "$*"; }
fail() {
    say "FAILED: $*"
    exit 1
}

# Roots an interrupted run left behind are unmounted before anything is removed.
for left in "$fresh_root_cache"/*-root; do
    fresh_root_remove "$left" || fail "cannot unmount $left"
done
if [ "${KAVREL_FRESH_ROOTS_REUSE:-}" != 1 ]; then
    rm -rf --one-file-system "$fresh_root_cache"
fi
logs=$fresh_root_cache/logs
mkdir -p "$logs"
git -C "$repo" archive --format=tar --prefix=kavrel-test/ HEAD >"$fresh_root_cache/tree.tar"
say "tree of $(git -C "$repo" rev-parse --short HEAD) archived"

# step NAME LOG ROOT COMMAND: runs COMMAND in ROOT into LOG and sets step_status and step_seconds.
step() {
    local name=$1 log=$2 root=$3 command=$4 started=$SECONDS
    step_status=0
    fresh_root_run "$root" "$command" >"$log" 2>&1 </dev/null || step_status=$?
    step_seconds=$((SECONDS - started))
    say "$name: exit status $step_status after $step_seconds s"
}

first=true
for release in "${releases[@]}"; do
    started=$SECONDS
    root=$fresh_root_cache/$release-root
    fresh_root_unpack "$release" "$root" || fail "no fresh $release root"
    tar -C "$root/root" -xf "$fresh_root_cache/tree.tar"
    say "fresh $release root ($(cut -d' ' -f1 <"$root/etc/debian_version" 2>/dev/null || echo '?')) ready in $((SECONDS - started)) s"

    run_log=$logs/$release-run.log
    step "$release: scripts/run.sh" "$run_log" "$root" "cd kavrel-test && scripts/run.sh"
    grep '^install-deps:' "$run_log" | sed 's/^/    /'
    tail -n 8 "$run_log" | sed 's/^/    /'
    if [ "$step_status" -ne 0 ] || ! grep -qx 'PASSED' "$run_log"; then
        tail -n 60 "$run_log"
        fail "$release: the run command did not pass"
    fi

    test_log=$logs/$release-test.log
    step "$release: scripts/test.sh" "$test_log" "$root" "cd kavrel-test && scripts/test.sh"
    grep '^install-deps:' "$test_log" | sed 's/^/    /'
    summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+$' "$test_log" || true)
    echo "    ${summary:-no ctest summary}"
    if [ "$step_status" -ne 0 ] || ! grep -qE '^100% tests passed, 0 tests failed out of [1-9][0-9]*$' <<<"$summary"; then
        grep -E 'Failed|\*\*\*|error' "$test_log" | tail -n 40
        tail -n 40 "$test_log"
        fail "$release: the test command did not pass"
    fi

    if $first; then
        guard_log=$logs/$release-gpu-without-toolkit.log
        step "$release: scripts/run.sh with an NVIDIA driver but no CUDA toolkit" "$guard_log" "$root" \
            "mkdir -p driver && printf '#!/bin/sh\nexit 0\n' >driver/nvidia-smi && chmod +x driver/nvidia-smi &&
             cd kavrel-test && PATH=/root/driver:\$PATH scripts/run.sh -noprompt"
        grep '^run.sh:' "$guard_log" | sed 's/^/    /'
        if [ "$step_status" -ne 1 ] || ! grep -q 'STOPPED' "$guard_log" || grep -q 'Kavrel test running' "$guard_log"; then
            cat "$guard_log"
            fail "$release: run.sh did not stop on a machine with an NVIDIA driver and no CUDA toolkit"
        fi
        first=false
    fi

    fresh_root_remove "$root"
    say "$release: both commands passed; $((SECONDS - started)) s for this release"
done
say "the README's two commands passed on ${releases[*]} in $SECONDS s in all"
