#!/usr/bin/env bash
# Builds kavrel-test with kavrel-bench beside it and runs kavrel-test, or the stand-in kavrel-test-emulated without the CUDA toolkit.
#
# On a machine with an NVIDIA GPU driver but no CUDA toolkit it stops instead, before building: the stand-in never
# uses the GPU, so its PASSED would be taken for the GPU's. KAVREL_ALLOW_STAND_IN=1 runs the stand-in there anyway.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KAVREL_BUILD_DIR:-$root/build}
read -r -a extra_cmake_args <<<"${KAVREL_CMAKE_ARGS:-}"

# Prints what shows that this machine has an NVIDIA GPU driver (its kernel module, a device node, nvidia-smi), and
# fails when nothing does.
nvidia_driver_sign() {
    local sign
    for sign in /proc/driver/nvidia/version /dev/nvidiactl /dev/nvidia0; do
        if [ -e "$sign" ]; then
            echo "$sign"
            return 0
        fi
    done
    command -v nvidia-smi
}

# CMake, a compiler and make, and CLI11 and nlohmann-json for kavrel-bench. Should that fail, the build
# still skips kavrel-bench with one line and builds the rest.
"$root/scripts/install-deps.sh" run ||
    echo "run.sh: carrying on without the packages above; the build skips what needs them" >&2

cmake -S "$root" -B "$build" -DKAVREL_REQUIRE_BENCH=OFF "${extra_cmake_args[@]}"

# The cache says what this configuration builds; a kavrel-test left over from an earlier one does not count.
builds_cuda=false
if grep -q '^KAVREL_BUILDS_CUDA:INTERNAL=ON$' "$build/CMakeCache.txt"; then
    builds_cuda=true
elif driver=$(nvidia_driver_sign) && [ "${KAVREL_ALLOW_STAND_IN:-}" != 1 ]; then
    cat >&2 <<MESSAGE

run.sh: STOPPED. This machine has an NVIDIA GPU driver ($driver), but CMake found no CUDA toolkit with
run.sh: cuBLAS (or KAVREL_CUDA=OFF was given), so kavrel-test, the program that tests the GPU, cannot be built.
run.sh: Only the stand-in kavrel-test-emulated could run here: it never touches the GPU, and its PASSED says
run.sh: nothing about it. Install the CUDA toolkit (README.md, "On a GPU node") and run scripts/run.sh again,
run.sh: or set KAVREL_ALLOW_STAND_IN=1 to run the stand-in anyway.
MESSAGE
    exit 1
fi

cmake --build "$build" -j 2

if $builds_cuda; then
    exec "$build/kavrel-test" "$@"
fi
echo "run.sh: kavrel-test was not built (no CUDA toolkit with cuBLAS, or KAVREL_CUDA=OFF); running the stand-in kavrel-test-emulated, which does not use any GPU" >&2
exec "$build/kavrel-test-emulated" "$@"
