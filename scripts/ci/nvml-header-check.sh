#!/usr/bin/env bash
# Proves src/gpu/nvml/nvmlApi.h against NVIDIA's own nvml.h: fetches the header from PyPI's nvidia-nvml-dev into a
# temporary folder and compiles tests/nvmlApiCheck.cpp against it, natively and, where MinGW-w64 is installed, for
# 64-bit Windows. A signature, constant or struct layout that differs fails the compile with a static_assert naming it.
#
# KAVREL_NVML_DEV_VERSION pins the package's version (default: the newest). KAVREL_NVML_HEADER names an nvml.h to
# check against instead, and then nothing is fetched.
set -euo pipefail
cd "$(dirname "$0")/../.."

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ -n "${KAVREL_NVML_HEADER:-}" ]; then
    header=$KAVREL_NVML_HEADER
    origin="$header"
else
    package="nvidia-nvml-dev${KAVREL_NVML_DEV_VERSION:+==$KAVREL_NVML_DEV_VERSION}"
    python3 -m venv "$work/venv"
    "$work/venv/bin/pip" download --quiet --disable-pip-version-check --no-deps --dest "$work/wheel" "$package"
    wheels=("$work"/wheel/*.whl)
    "$work/venv/bin/python" -m zipfile -e "${wheels[0]}" "$work/package"
    header=$(find "$work/package" -name nvml.h -print -quit)
    origin=$(basename "${wheels[0]}")
fi
if [ ! -f "$header" ]; then
    echo "nvml-header-check: no nvml.h found (${origin:-nothing fetched})"
    exit 1
fi
echo "nvml-header-check: checking src/gpu/nvml/nvmlApi.h against nvml.h of $origin"

compilers=("${CXX:-g++}")
if command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
    compilers+=(x86_64-w64-mingw32-g++-posix)
fi
for compiler in "${compilers[@]}"; do
    if ! "$compiler" -std=c++17 -fsyntax-only -Wall -Wextra -Wpedantic -Werror -I src -I "$(dirname "$header")" \
        tests/nvmlApiCheck.cpp; then
        echo "nvml-header-check: FAILED with $compiler: nvmlApi.h does not declare NVML as NVIDIA's nvml.h does (above)"
        exit 1
    fi
    echo "nvml-header-check: $compiler: every function, constant and struct matches"
done
