#!/usr/bin/env bash
# Installs with apt-get, printing what it installs, the packages missing for `run` (build and run) or `test` (the tests too).
set -euo pipefail

usage() { echo "usage: $0 run|test" >&2; exit 2; }
[ $# -eq 1 ] || usage

# Package and what needs it; tools count as present when their command is on the PATH, however installed.
tools=(cmake:cmake g++:c++ make:make)
libraries=(libcli11-dev nlohmann-json3-dev)
case "$1" in
run) ;;
test) libraries+=(libgtest-dev libbenchmark-dev) ;;
*) usage ;;
esac

missing=()
for tool in "${tools[@]}"; do
    command -v "${tool#*:}" >/dev/null 2>&1 || missing+=("${tool%%:*}")
done
for package in "${libraries[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: nothing to install for '$1'"
    exit 0
fi
if ! command -v apt-get >/dev/null 2>&1; then
    echo "install-deps: no apt-get here; install ${missing[*]} (or their equivalents) yourself" >&2
    exit 1
fi
as_root=()
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null 2>&1 || {
        echo "install-deps: not root and no sudo; as root run: apt-get install ${missing[*]}" >&2
        exit 1
    }
    as_root=(sudo)
fi

echo "install-deps: installing ${missing[*]} with apt-get"
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
