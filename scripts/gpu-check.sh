#!/usr/bin/env bash
# The check a person with an NVIDIA GPU runs: builds the CUDA configuration, shows the GPU, the driver and the
# toolkit, and checks kavrel-test's and kavrel-bench's lines, figures and exit statuses, one "ok" or "FAIL" a check.
#
# Usage: scripts/gpu-check.sh            (builds build-cuda/ through the cuda preset, then checks)
#   KAVREL_TEST_EXE=path KAVREL_BENCH_EXE=path scripts/gpu-check.sh
#                                        (checks those executables and builds nothing: a dry run against
#                                         build/kavrel-test-emulated and build/kavrel-bench-emulated works)
#   KAVREL_GPU_CHECK_ITERATIONS=N        (kavrel-bench's timed round trips, default 1000)
#   KAVREL_GPU_CHECK_RESIDENT=DURATION   (the resident workload's soak, default 30s; TF32's is a third of it)
# In a dry run, the checks only a real GPU can pass print "skip (real GPU only)" instead of "FAIL" and do not
# fail the run. Exit status: 0 when no check failed, 1 otherwise.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-cuda
iterations=${KAVREL_GPU_CHECK_ITERATIONS:-1000}
resident_duration=${KAVREL_GPU_CHECK_RESIDENT:-30s}
dry_run=0
if [ -n "${KAVREL_TEST_EXE:-}" ] || [ -n "${KAVREL_BENCH_EXE:-}" ]; then
    dry_run=1
fi
test_exe=${KAVREL_TEST_EXE:-$build/kavrel-test}
bench_exe=${KAVREL_BENCH_EXE:-$build/kavrel-bench}
work=$(mktemp -d "${TMPDIR:-/tmp}/kavrel-gpu-check.XXXXXX")
trap 'rm -rf "$work"' EXIT

passed=0
failed=0
skipped=0
section() { printf '\n== %s\n' "$*"; }
pass() {
    printf 'ok    %s\n' "$1"
    passed=$((passed + 1))
}
fail() {
    printf 'FAIL  %s: %s\n' "$1" "$2"
    failed=$((failed + 1))
}
skip() {
    printf 'skip  %s: %s\n' "$1" "$2"
    skipped=$((skipped + 1))
}
# A check that only a real GPU with its driver can pass: skipped in a dry run, failed otherwise.
gpu_only() {
    if [ "$dry_run" -eq 1 ]; then
        printf 'skip (real GPU only)  %s: %s\n' "$1" "$2"
        skipped=$((skipped + 1))
    else
        fail "$1" "$2"
    fi
}
finish() {
    section "summary"
    printf '%d ok, %d FAIL, %d skipped' "$passed" "$failed" "$skipped"
    [ "$dry_run" -eq 1 ] && printf ' (dry run on %s and %s)' "$test_exe" "$bench_exe"
    printf '\n'
    [ "$failed" -eq 0 ]
    exit $?
}
# Runs a command with a time limit where timeout(1) exists, so that a hung driver cannot hang the check.
limited() {
    if command -v timeout >/dev/null 2>&1; then
        timeout 900 "$@"
    else
        "$@"
    fi
}

# --- build ------------------------------------------------------------------------------------------------------
if [ "$dry_run" -eq 0 ]; then
    section "build: cmake --preset cuda, then kavrel-test and kavrel-bench"
    # CMake, a compiler, CLI11 and nlohmann-json, where apt-get can install them; the configure names what is missing.
    "$root/scripts/install-deps.sh" run || echo "carrying on without the packages above"
    if (cd "$root" && cmake --preset cuda -DKAVREL_REQUIRE_BENCH=ON) >"$work/configure.log" 2>&1 &&
        (cd "$root" && cmake --build --preset cuda --target kavrel-test kavrel-bench) >"$work/build.log" 2>&1; then
        pass "build of the cuda preset in $build"
    else
        cat "$work/configure.log"
        [ -f "$work/build.log" ] && tail -n 50 "$work/build.log"
        fail "build of the cuda preset" "see the log above"
        finish
    fi
else
    section "dry run: no build"
    echo "kavrel-test:  $test_exe"
    echo "kavrel-bench: $bench_exe"
fi

# --- GPU, driver and toolkit ------------------------------------------------------------------------------------
section "GPU, driver and toolkit"
driver_cuda=""
if command -v nvidia-smi >/dev/null 2>&1 &&
    nvidia-smi --query-gpu=index,name,driver_version,memory.total --format=csv,noheader >"$work/gpus" 2>&1; then
    sed 's/^/GPU /' "$work/gpus"
    driver_cuda=$(nvidia-smi 2>/dev/null | sed -n 's/.*CUDA Version: *\([0-9][0-9.]*\).*/\1/p' | head -n 1)
    echo "driver's CUDA version: ${driver_cuda:-unknown}"
    pass "nvidia-smi lists $(wc -l <"$work/gpus") GPU(s)"
else
    [ -f "$work/gpus" ] && cat "$work/gpus"
    gpu_only "nvidia-smi" "not found or failed: no NVIDIA driver on this machine"
fi
toolkit_cuda=""
nvcc=$(command -v nvcc || { [ -x /usr/local/cuda/bin/nvcc ] && echo /usr/local/cuda/bin/nvcc; })
if [ -n "$nvcc" ]; then
    "$nvcc" --version | tail -n 2
    toolkit_cuda=$("$nvcc" --version | sed -n 's/.*release \([0-9][0-9.]*\).*/\1/p' | head -n 1)
else
    echo "nvcc not found (not on PATH, not in /usr/local/cuda/bin)"
fi
if [ -n "$driver_cuda" ] && [ -n "$toolkit_cuda" ]; then
    # The driver runs programs built with a toolkit whose CUDA version is not above its own.
    if [ "$(printf '%s\n%s\n' "$toolkit_cuda" "$driver_cuda" | sort -V | tail -n 1)" = "$driver_cuda" ]; then
        pass "the driver's CUDA $driver_cuda runs the toolkit's CUDA $toolkit_cuda"
    else
        fail "driver and toolkit" "the driver's CUDA $driver_cuda is older than the toolkit's $toolkit_cuda: update the driver"
    fi
else
    gpu_only "driver and toolkit" "the driver's CUDA version (${driver_cuda:-unknown}) or the toolkit's (${toolkit_cuda:-unknown}) is unknown"
fi

# --- kavrel-test --------------------------------------------------------------------------------------------------
# Checks the output of one kavrel-test run, given with or without the prompt; sets cublas_version.
cublas_version=""
check_kavrel_test() {
    local name=$1 prompted=$2 status=$3
    local -a lines
    mapfile -t lines < <(tr -d '\r' <"$work/test.out")
    local error
    error=$(tr -d '\r' <"$work/test.err")
    local version_re='^Cublas Version Number: ([0-9]+)$'
    if [ "${#lines[@]}" -eq 2 ] && [ "${lines[0]}" = "Kavrel test running.." ] && [[ ${lines[1]} =~ $version_re ]] &&
        [ "$error" = "!!!! CUBLAS initialization error" ] && [ "$status" -eq 1 ]; then
        fail "$name" "stopped at context creation (!!!! CUBLAS initialization error, status 1): no usable GPU or driver"
        echo "the remaining checks need a GPU past context creation; not run"
        finish
    fi
    local expected=5
    [ "$prompted" -eq 1 ] && expected=7
    local problem=""
    if [ "${#lines[@]}" -ne "$expected" ]; then
        problem="$expected lines expected, ${#lines[@]} printed"
    elif [ "${lines[0]}" != "Kavrel test running.." ]; then
        problem="line 1 is not the banner"
    elif ! [[ ${lines[1]} =~ $version_re ]]; then
        problem="line 2 is not 'Cublas Version Number: N'"
    elif [ "${lines[2]}" != "${lines[1]}" ]; then
        problem="the two version lines differ"
    elif ! [[ ${lines[3]} =~ ^GPU:\ [0-9]+\.000000$ ]]; then
        problem="line 4 is not 'GPU: <whole seconds>.000000'"
    elif [ "${lines[4]}" != "PASSED" ]; then
        problem="verdict '${lines[4]}', not PASSED"
    elif [ "$prompted" -eq 1 ] && { [ "${lines[5]}" != "" ] || [ "${lines[6]}" != "Press ENTER to exit..." ]; }; then
        problem="no empty line and 'Press ENTER to exit...' after the verdict"
    elif [ -n "$error" ]; then
        problem="standard error is not empty"
    elif [ "$status" -ne 0 ]; then
        problem="exit status $status, not 0"
    fi
    if [ -n "$problem" ]; then
        fail "$name" "$problem"
    else
        [[ ${lines[1]} =~ $version_re ]] && cublas_version=${BASH_REMATCH[1]}
        pass "$name: exact lines, cuBLAS $cublas_version, ${lines[3]}, PASSED, status 0"
    fi
}

section "kavrel-test -noprompt"
if [ ! -x "$test_exe" ]; then
    fail "kavrel-test" "$test_exe is not an executable"
    finish
fi
limited "$test_exe" -noprompt >"$work/test.out" 2>"$work/test.err" </dev/null
status=$?
cat "$work/test.out" "$work/test.err"
echo "(exit status $status)"
check_kavrel_test "kavrel-test -noprompt" 0 "$status"
first_version=$cublas_version

section "kavrel-test without an argument, ENTER on standard input"
printf '\n' | limited "$test_exe" >"$work/test.out" 2>"$work/test.err"
status=$?
cat "$work/test.out" "$work/test.err"
echo "(exit status $status)"
check_kavrel_test "kavrel-test (prompted)" 1 "$status"
if [ -n "$first_version" ] && [ -n "$cublas_version" ] && [ "$first_version" != "$cublas_version" ]; then
    fail "kavrel-test" "the two runs report different cuBLAS versions ($first_version, $cublas_version)"
fi
cublas_version=${cublas_version:-$first_version}

# --- kavrel-bench -------------------------------------------------------------------------------------------------
# Checks one --json report (a single report, a list of them, or an object holding one under "devices"), printing
# "ok|FAIL|gpu<TAB>name<TAB>detail" lines, gpu for a check only a real GPU can pass. $3 is "resident" for a report of
# the resident workload, which must reach half the device's expected FP32 rate and has no transfers to check.
check_bench_json() {
    python3 - "$1" "$2" "${cublas_version:-}" "${3:-round-trip}" <<'PYTHON'
import json, sys

path, label, expected_version, workload = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4]

# FP32 results (add, multiply or fused multiply-add) per clock per multiprocessor, by compute capability, from the
# throughput table of NVIDIA's CUDA C++ Programming Guide. A multiply-add is two floating-point operations, so a
# device's expected FP32 rate is 2 x this x multiprocessors x the maximum SM clock.
FP32_PER_CLOCK = {(5, None): 128, (6, 0): 64, (6, None): 128, (7, None): 64, (8, 0): 64, (8, None): 128,
                  (9, None): 128, (10, None): 128, (11, None): 128, (12, None): 128}

def say(state, name, detail=""):
    print(f"{state}\t{label}: {name}\t{detail}")

try:
    with open(path) as stream:
        document = json.load(stream)
except (OSError, ValueError) as error:
    say("FAIL", "one JSON document on standard output", str(error))
    sys.exit(0)

nvml = document.get("nvml") if isinstance(document, dict) else None
if isinstance(nvml, dict):
    if nvml.get("loaded") is True:
        say("ok", f"NVML loaded from {nvml.get('library')}, driver {nvml.get('driver_version')}")
    else:
        say("FAIL", "NVML loaded", f"{nvml.get('problem')}")
else:
    say("FAIL", "NVML loaded", "the report has no nvml object")

if isinstance(document, list):
    reports = document
elif isinstance(document, dict) and isinstance(document.get("devices"), list):
    reports = document["devices"]
else:
    reports = [document]
if not reports:
    say("FAIL", "reports", "no device report in the document")

def figure(report, *keys):
    value = report
    for key in keys:
        value = value.get(key) if isinstance(value, dict) else None
    return value if isinstance(value, (int, float)) and not isinstance(value, bool) else None

def within(name, value, low, high, unit, where):
    if value is not None and low <= value <= high:
        say("ok", f"{where} {name} {value:g}{unit}, within {low:g} to {high:g}")
    else:
        say("FAIL", f"{where} {name}", f"{value} is not within {low:g} to {high:g}{unit}")

# NVML's readings of the device: matched by UUID, in plausible ranges, and no health verdict failed.
def check_health(report, where):
    health = report.get("health")
    if not isinstance(health, dict) or health.get("available") is not True:
        detail = health.get("unavailable") if isinstance(health, dict) else "no health object"
        say("FAIL", f"{where} NVML device matched by UUID {report.get('uuid')}", f"{detail}")
        return
    say("ok", f"{where} NVML device matched by UUID {report.get('uuid')}")
    samples = health.get("samples") or {}
    count = figure(samples, "count")
    if count is not None and count >= 1:
        say("ok", f"{where} {count} NVML samples during the timed loop")
    else:
        say("FAIL", f"{where} NVML samples", f"{count} samples during the timed loop")
    within("temperature min", figure(samples, "temperature_celsius", "min"), 10, 100, " C", where)
    within("temperature max", figure(samples, "temperature_celsius", "max"), 10, 100, " C", where)
    limit = figure(health, "before", "power_limit_watts")
    power = figure(samples, "power_watts", "median")
    if power is not None and limit is not None and 0 < power <= limit:
        say("ok", f"{where} power {power:g} W median, above 0 and at most the limit {limit:g} W")
    else:
        say("FAIL", f"{where} power", f"median {power} W, limit {limit} W: not above 0 and at most the limit")
    for key in ("pcie_link_generation", "pcie_max_link_generation"):
        within(key.replace("_", " "), figure(health, "before", key), 1, 6, "", where)
    failed = [f"{v.get('name')}: {v.get('detail')}" for v in health.get("verdicts") or [] if v.get("passed") is False]
    if health.get("passed") is True and not failed:
        say("ok", f"{where} every health verdict passed")
    else:
        say("FAIL", f"{where} health verdicts", "; ".join(failed) or "health.passed is not true")

# The resident soak: every product checked on the device, none wrong, and at least half the expected FP32 rate.
def check_resident(report, where):
    products = figure(report, "products")
    check = report.get("check") or {}
    if products is not None and products >= 1 and check.get("verified_products") == products:
        say("ok", f"{where} {products} resident products, every one checked on the device")
    else:
        say("FAIL", f"{where} resident products", f"{products} products, {check.get('verified_products')} checked")
    if check.get("mismatch_count") == 0:
        say("ok", f"{where} no product differs from the first")
    else:
        say("FAIL", f"{where} mismatches", f"{check.get('mismatch_count')} products differ from the first")
    if report.get("intervals"):
        say("ok", f"{where} {len(report['intervals'])} intervals in the rate series")
    else:
        say("FAIL", f"{where} rate series", "no intervals")
    capability = report.get("compute_capability") or {}
    major, minor = capability.get("major"), capability.get("minor")
    per_clock = FP32_PER_CLOCK.get((major, minor), FP32_PER_CLOCK.get((major, None)))
    sms = figure(report, "multiprocessors")
    clock = figure(report, "health", "before", "max_sm_clock_mhz")
    rate = figure(report, "timing", "sgemm", "gflop_per_second")
    if per_clock is None or sms is None or clock is None or rate is None:
        say("gpu", f"{where} resident SGEMM rate", f"{rate} GFLOP/s; no expected rate for compute capability "
            f"{major}.{minor} with {sms} multiprocessors at {clock} MHz")
        return
    expected = 2 * per_clock * sms * clock / 1000.0
    share = rate / expected
    detail = (f"{rate:.0f} GFLOP/s, {share:.0%} of the expected {expected:.0f} ({per_clock} FP32/clock x {sms} SMs "
              f"x {clock} MHz x 2)")
    say("ok" if share >= 0.5 else "FAIL", f"{where} resident SGEMM at least half the expected FP32 rate", detail)

for report in reports:
    if not isinstance(report, dict):
        say("FAIL", "report", "a device report is not an object")
        continue
    where = f"device {report.get('index', '?')} ({report.get('name', '?')})"
    verdict = (report.get("check") or {}).get("verdict")
    if verdict == "PASSED":
        say("ok", f"{where} verdict PASSED")
    else:
        say("FAIL", f"{where} verdict", f"{verdict!r}, not PASSED")
    version = report.get("cublas_version")
    if expected_version and str(version) == expected_version:
        say("ok", f"{where} cuBLAS {version}, as kavrel-test reports")
    elif expected_version:
        say("FAIL", f"{where} cuBLAS version", f"{version}, kavrel-test reports {expected_version}")
    else:
        say("FAIL", f"{where} cuBLAS version", f"{version}, and no kavrel-test version to compare")
    if workload == "resident":
        check_resident(report, where)
        check_health(report, where)
        continue
    for phase in ("upload", "download"):
        rate = figure(report, "timing", phase, "gb_per_second")
        if rate is not None and 1 <= rate <= 1000:
            say("ok", f"{where} {phase} {rate:.2f} GB/s, within 1 to 1000")
        else:
            say("FAIL", f"{where} {phase} GB/s", f"{rate} is not within 1 to 1000")
    rate = figure(report, "timing", "sgemm", "gflop_per_second")
    if rate is not None and 100 <= rate <= 200000:
        say("ok", f"{where} SGEMM {rate:.1f} GFLOP/s, within 100 to 200000")
    else:
        say("gpu", f"{where} SGEMM GFLOP/s", f"{rate} is not within 100 to 200000")
    check_health(report, where)
    major = figure(report, "compute_capability", "major")
    if major is not None and major < 99 and report.get("name") != "Kavrel host stand-in":
        say("ok", f"{where} is a real GPU, compute capability {major}.{figure(report, 'compute_capability', 'minor')}")
    else:
        say("gpu", f"{where} is a real GPU", "this is the host stand-in")
PYTHON
}

# Runs kavrel-bench with the arguments, expecting status 0 and a report that passes check_bench_json; $2 is the
# workload (round-trip or resident).
run_bench_report() {
    local label=$1 workload=$2
    shift 2
    limited "$bench_exe" "$@" >"$work/bench.out" 2>"$work/bench.err" </dev/null
    local status=$?
    cat "$work/bench.out" "$work/bench.err"
    echo "(exit status $status)"
    if [ "$status" -eq 0 ]; then
        pass "$label: status 0"
    else
        fail "$label" "exit status $status, not 0"
    fi
    if command -v python3 >/dev/null 2>&1; then
        while IFS=$'\t' read -r state name detail; do
            case $state in
                ok) pass "$name" ;;
                gpu) gpu_only "$name" "$detail" ;;
                *) fail "$name" "$detail" ;;
            esac
        done < <(check_bench_json "$work/bench.out" "$label" "$workload")
    else
        # Without python3 only the verdict can be read reliably.
        if grep -q '"verdict": *"PASSED"' "$work/bench.out" && ! grep -q '"verdict": *"FAILED"' "$work/bench.out"; then
            pass "$label: verdict PASSED"
        else
            fail "$label" "no PASSED verdict in the report"
        fi
        skip "$label: figures and cuBLAS version" "python3 not found, so the JSON report is not read"
    fi
}

if [ ! -x "$bench_exe" ]; then
    section "kavrel-bench"
    fail "kavrel-bench" "$bench_exe is not an executable"
    finish
fi

section "kavrel-bench --device 0 --phases --json --iterations $iterations"
run_bench_report "kavrel-bench --device 0" round-trip --device 0 --phases --json --iterations "$iterations"

section "kavrel-bench --devices all --phases --json --iterations $iterations"
if limited "$bench_exe" --help 2>/dev/null | grep -q -- '--devices'; then
    run_bench_report "kavrel-bench --devices all" round-trip --devices all --phases --json --iterations "$iterations"
else
    skip "kavrel-bench --devices all" "this kavrel-bench has no --devices option (its --help does not list it)"
fi

if limited "$bench_exe" --help 2>/dev/null | grep -q -- '--workload'; then
    # On the stand-in a small order keeps the dry run short; a GPU gets the default order, which saturates it.
    order=()
    [ "$dry_run" -eq 1 ] && order=(--size 256)
    section "kavrel-bench --device 0 --workload resident --duration $resident_duration --json ${order[*]}"
    run_bench_report "kavrel-bench resident fp32" resident --device 0 --workload resident \
        --duration "$resident_duration" --json "${order[@]}"
    tf32_duration=$(python3 -c "import re, sys; m = re.fullmatch(r'(\d+(?:\.\d+)?)(ms|s|m|h)?', sys.argv[1]);
print(f'{max(float(m.group(1)) / 3, 1):g}{m.group(2) or \"s\"}' if m else sys.argv[1])" "$resident_duration" 2>/dev/null ||
        echo 10s)
    section "kavrel-bench --device 0 --workload resident --math tf32 --duration $tf32_duration --json ${order[*]}"
    limited "$bench_exe" --device 0 --workload resident --math tf32 --duration "$tf32_duration" --json "${order[@]}" \
        >"$work/bench.out" 2>"$work/bench.err" </dev/null
    status=$?
    cat "$work/bench.err"
    python3 -c "import json, sys; d = json.load(open(sys.argv[1]))['devices'][0]; c = d['check'];
print(f\"math {json.load(open(sys.argv[1]))['math']}, relative L2 error {c['relative_l2_error']}, threshold {c['threshold']},\",
      f\"{d['products']} products, {c['mismatch_count']} differing, {d['timing']['sgemm']['gflop_per_second']:.0f} GFLOP/s\")" \
        "$work/bench.out" 2>/dev/null || cat "$work/bench.out"
    echo "(exit status $status)"
    if [ "$status" -eq 0 ] && grep -q '"math": *"tf32"' "$work/bench.out" && grep -q '"verdict": *"PASSED"' "$work/bench.out"; then
        pass "kavrel-bench resident tf32: the first product within the TF32 threshold, every later one bit for bit equal"
    else
        fail "kavrel-bench resident tf32" "exit status $status, or no PASSED verdict for TF32"
    fi
else
    skip "kavrel-bench --workload resident" "this kavrel-bench has no --workload option (its --help does not list it)"
fi

section "kavrel-bench --device 64"
limited "$bench_exe" --device 64 --iterations 1 >"$work/bench.out" 2>"$work/bench.err" </dev/null
status=$?
cat "$work/bench.out" "$work/bench.err"
echo "(exit status $status)"
if [ "$status" -eq 3 ] && [ "$(tr -d '\r' <"$work/bench.err")" = "!!!! device 64: device selection error (no such device)" ]; then
    pass "kavrel-bench --device 64: status 3, no such device"
else
    fail "kavrel-bench --device 64" "expected status 3 and '!!!! device 64: device selection error (no such device)'"
fi

finish
