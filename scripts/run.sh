#!/usr/bin/env bash
# Builds kavrel-test with kavrel-bench beside it and runs kavrel-test, or the stand-in kavrel-test-emulated without the CUDA toolkit.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KAVREL_BUILD_DIR:-$root/build}
read -r -a extra_cmake_args <<<"${KAVREL_CMAKE_ARGS:-}"

# CMake, a compiler and make, and CLI11 and nlohmann-json for kavrel-bench. Should that fail, the build
# still skips kavrel-bench with one line and builds the rest.
"$root/scripts/install-deps.sh" run ||
    echo "run.sh: carrying on without the packages above; the build skips what needs them" >&2

cmake -S "$root" -B "$build" -DKAVREL_REQUIRE_BENCH=OFF "${extra_cmake_args[@]}"
cmake --build "$build" -j 2

# The cache says what this configuration builds; a kavrel-test left over from an earlier one does not count.
if grep -q '^KAVREL_BUILDS_CUDA:INTERNAL=ON$' "$build/CMakeCache.txt"; then
    exec "$build/kavrel-test" "$@"
fi
echo "run.sh: kavrel-test was not built (no CUDA toolkit with cuBLAS, or KAVREL_CUDA=OFF); running the stand-in kavrel-test-emulated" >&2
exec "$build/kavrel-test-emulated" "$@"
