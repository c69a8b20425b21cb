#!/usr/bin/env bash
# Tests cmake --install of a build: where each file goes, the installed Slurm scripts finding the installed programs, and the manual pages naming every option the programs take.
# Usage: installTest.sh BUILD_FOLDER CMAKE
set -euo pipefail

build=${1:?usage: $0 BUILD_FOLDER CMAKE}
cmake=${2:?usage: $0 BUILD_FOLDER CMAKE}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
passes=0
ok() {
    passes=$((passes + 1))
    echo "ok      $*"
}
failed() {
    failures=$((failures + 1))
    echo "FAILED  $*"
}

prefix=$work/prefix
if ! "$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
    cat "$work/install.log"
    echo "cmake --install failed"
    exit 1
fi

# The programs: one of each pair, real or stand-in, never both; each with its manual page.
programs=()
for pair in kavrel-test kavrel-bench; do
    if [ -x "$prefix/bin/$pair" ] && [ -e "$prefix/bin/$pair-emulated" ]; then
        failed "both $pair and $pair-emulated are installed"
    elif [ -x "$prefix/bin/$pair" ]; then
        programs+=("$pair")
    elif [ -x "$prefix/bin/$pair-emulated" ]; then
        programs+=("$pair-emulated")
    elif [ "$pair" = kavrel-test ]; then
        failed "neither kavrel-test nor kavrel-test-emulated is in bin/"
    fi
done
[ -x "$prefix/bin/kavrel-fleet" ] && programs+=(kavrel-fleet)
for program in "${programs[@]}"; do
    page=$prefix/share/man/man1/$program.1
    if [ -x "$prefix/bin/$program" ] && [ -s "$page" ] && grep -q '^\.TH ' "$page"; then
        ok "bin/$program with its page man1/$program.1"
    else
        failed "bin/$program or its page man1/$program.1 (a page with .TH, links followed) is missing"
    fi
done
if [ -s "$prefix/share/doc/kavrel-test/README.md" ]; then ok "the README in share/doc/kavrel-test"; else failed "no README"; fi

# Every option the help lists (the first --name of each option line) is an item (.TP) of the page, and the page
# is well-formed roff where man can say so.
for program in "${programs[@]}"; do
    page_name=${program%-emulated}
    [ "$page_name" = kavrel-test ] && continue
    page=$prefix/share/man/man1/$page_name.1
    options=$("$prefix/bin/$program" --help | grep -E '^ +-' | sed -E 's/^ +(-[a-zA-Z], *)?//' |
        grep -oE -- '^--[a-z][a-z-]*' || true)
    items=$(grep -A1 '^\.TP$' "$page" | sed 's/\\-/-/g')
    missing=()
    for option in $options; do
        grep -qF "\\fB$option\\fR" <<<"$items" || missing+=("$option")
    done
    if [ -z "$options" ]; then
        failed "$program --help lists no option"
    elif [ ${#missing[@]} -eq 0 ]; then
        ok "man1/$page_name.1 has an item for each of the $(wc -w <<<"$options") options of $program --help"
    else
        failed "man1/$page_name.1 lacks ${missing[*]}"
    fi
    if command -v man >/dev/null 2>&1 && command -v groff >/dev/null 2>&1; then
        warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null || echo "man failed")
        if [ -z "$warnings" ]; then ok "man -l man1/$page_name.1 renders without warnings"; else failed "man -l $page_name.1: $warnings"; fi
    fi
done

# The installed Slurm scripts carry the installed programs' folder, and the health check runs kavrel-bench and
# kavrel-fleet from there without settings, before those of the same name on PATH.
for script in kavrel-healthcheck.sh kavrel-qualify.sbatch; do
    installed=$prefix/libexec/kavrel/$script
    if [ -x "$installed" ] && grep -qxF "installed_bin='$prefix/bin'" "$installed"; then
        ok "libexec/kavrel/$script names the installed bin/"
    else
        failed "libexec/kavrel/$script is missing or does not name $prefix/bin"
    fi
done
mkdir -p "$work/decoys"
for decoy in kavrel-bench kavrel-fleet; do
    printf '#!/bin/sh\necho %s >>"%s"\nexit 99\n' "$decoy" "$work/decoys-run" >"$work/decoys/$decoy"
    chmod +x "$work/decoys/$decoy"
done
printf '#!/bin/sh\nprintf "%%s\\n" "$@" >"%s"\n' "$work/scontrol-args" >"$work/scontrol"
chmod +x "$work/scontrol"
cp "$here/fake-kavrel-bench.sh" "$prefix/bin/kavrel-bench"
printf '{"schema": 3, "program": "kavrel-bench", "host": {"name": "node-1"}, "devices": [%s, %s]}\n' \
    '{"index": 0, "name": "GPU", "uuid": "GPU-0", "status": "passed", "error": null, "round_trips_per_second": 2000.0, "check": {"mismatch_count": 0}}' \
    '{"index": 2, "name": "GPU", "uuid": "GPU-2", "status": "failed", "error": null, "round_trips_per_second": 2000.0, "check": {"mismatch_count": 1}}' \
    >"$work/report.json"
status=0
env -u KAVREL_BENCH -u KAVREL_FLEET -u KAVREL_HEALTHCHECK_OPTIONS PATH="$work/decoys:$PATH" KAVREL_NODE_NAME=node-1 \
    KAVREL_SCONTROL="$work/scontrol" KAVREL_FAKE_BENCH_REPORT="$work/report.json" KAVREL_FAKE_BENCH_STATUS=1 \
    "$prefix/libexec/kavrel/kavrel-healthcheck.sh" >"$work/healthcheck.out" 2>&1 || status=$?
if [ "$status" = 1 ] && [ ! -e "$work/decoys-run" ] && grep -q '^state=drain$' "$work/scontrol-args" 2>/dev/null &&
    grep -q '^reason=.*GPU 2' "$work/scontrol-args"; then
    ok "the installed health check runs the installed kavrel-bench and kavrel-fleet and drains naming GPU 2"
else
    failed "the installed health check: status $status (expected 1), decoys run: $(cat "$work/decoys-run" 2>/dev/null),"\
        "scontrol: $(paste -s -d ' ' "$work/scontrol-args" 2>/dev/null)"
    sed 's/^/        /' "$work/healthcheck.out"
fi

# A staged install (DESTDIR, as packaging does) writes the final folder into the scripts, not the staging one.
if DESTDIR=$work/stage "$cmake" --install "$build" --prefix /opt/kavrel >"$work/stage.log" 2>&1 &&
    [ -x "$work/stage/opt/kavrel/bin/kavrel-fleet" ] &&
    grep -qxF "installed_bin='/opt/kavrel/bin'" "$work/stage/opt/kavrel/libexec/kavrel/kavrel-healthcheck.sh"; then
    ok "DESTDIR stages the files and leaves the scripts naming /opt/kavrel/bin"
else
    failed "DESTDIR install under /opt/kavrel"
    cat "$work/stage.log"
fi

printf '\n%d passed, %d failed\n' "$passes" "$failures"
[ "$failures" -eq 0 ]
