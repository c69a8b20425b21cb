#!/usr/bin/env bash
# Builds the CUDA configuration in its own folder and runs one complete kavrel-test on this
# machine's GPU, printing the GPU, the driver, the program's output and its exit status.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KAVREL_GPU_BUILD_DIR:-$root/build-gpu}

echo "== configure and build ($build)"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKAVREL_CUDA=ON -DKAVREL_BUILD_TESTS=OFF \
    -DKAVREL_BUILD_BENCHMARKS=OFF >"$build.configure.log" 2>&1 ||
    { cat "$build.configure.log"; echo "configure failed"; exit 1; }
cmake --build "$build" --target kavrel-test -j "$(nproc)" >"$build.build.log" 2>&1 ||
    { tail -n 50 "$build.build.log"; echo "build failed"; exit 1; }

echo "== GPU and driver"
nvidia-smi --query-gpu=name,driver_version,memory.total --format=csv,noheader || echo "nvidia-smi failed"

echo "== kavrel-test x"
if [ -x /usr/bin/time ]; then
    /usr/bin/time -f 'wall %e s, max RSS %M KiB' "$build/kavrel-test" x
else
    time "$build/kavrel-test" x
fi
status=$?
echo "== exit status: $status"
exit "$status"
