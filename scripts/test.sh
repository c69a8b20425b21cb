#!/usr/bin/env bash
# Installs what the tests need, configures with kavrel-bench required, builds, and runs every test with ctest.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KAVREL_BUILD_DIR:-$root/build}
read -r -a extra_cmake_args <<<"${KAVREL_CMAKE_ARGS:-}"

"$root/scripts/install-deps.sh" test

# Tests on and kavrel-bench required, so this can never pass with either of them quietly left out.
cmake -S "$root" -B "$build" -DKAVREL_BUILD_TESTS=ON -DKAVREL_REQUIRE_BENCH=ON "${extra_cmake_args[@]}"
cmake --build "$build" -j 2
ctest --test-dir "$build" --output-on-failure -j 2 --no-tests=error
