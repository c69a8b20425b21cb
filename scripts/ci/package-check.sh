#!/usr/bin/env bash
# CI: builds the Debian packages with cpack, then installs the stand-in package on a fresh Debian root, uses it from its installed paths and purges it.
#
#   package-check.sh
#
# The stand-in package (kavrel-test-emulated) is built in build-ci-package, configured for /usr without the CUDA
# toolkit and with warnings as errors; it must depend on no GPU library. On a fresh bookworm root
# (scripts/ci/fresh-root.sh, reusing this CI run's pristine root where fresh-roots.sh made one), with man-db
# installed first so that man can be tried: apt-get install ./kavrel-test-emulated_*.deb; kavrel-bench-emulated
# --version and --devices all --iterations 50 on four emulated devices; man kavrel-bench, which must show every
# option; the installed health check, which must pass a healthy node (status 0) and drain one with a wrong product
# on GPU 1 through a stand-in scontrol (status 1, the reason naming GPU 1); then apt-get purge, after which the
# root's files must be what they were before the install. The stand-in package has no kavrel-bench, and the
# health check runs kavrel-bench only, never a stand-in in its place (a stand-in passes on any node), so the check
# is given KAVREL_BENCH=kavrel-bench-emulated.
#
# Where CMake finds the CUDA toolkit, the CUDA package (kavrel-test) is built too, in build-ci-package-cuda, and
# must hold the real programs only and depend on the CUDA runtime and cuBLAS (it is not installed: that needs
# NVIDIA's repository, and running it a GPU).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=scripts/ci/fresh-root.sh
source "$repo/scripts/ci/fresh-root.sh"
build=$repo/build-ci-package
cuda_build=$repo/build-ci-package-cuda

say() { printf 'package-check: %s\n' "$*"; }
fail() {
    say "FAILED: $*"
    exit 1
}

if ! command -v dpkg-shlibdeps >/dev/null 2>&1; then
    say "installing dpkg-dev (dpkg-shlibdeps)"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends dpkg-dev >/dev/null
fi

started=$SECONDS
rm -rf "$build"
mkdir -p "$build"
cmake -S "$repo" -B "$build" -DKAVREL_CUDA=OFF -DKAVREL_BUILD_TESTS=OFF -DKAVREL_BUILD_BENCHMARKS=OFF \
    -DKAVREL_WARNINGS_AS_ERRORS=ON -DCMAKE_INSTALL_PREFIX=/usr >"$build/package-build.log" 2>&1 || { cat "$build/package-build.log"; fail "configure"; }
cmake --build "$build" -j 2 >>"$build/package-build.log" 2>&1 || { tail -n 40 "$build/package-build.log"; fail "build"; }
(cd "$build" && cpack) >>"$build/package-build.log" 2>&1 || { tail -n 40 "$build/package-build.log"; fail "cpack"; }
deb=$(ls "$build"/kavrel-test-emulated_*.deb)
say "built $(basename "$deb") in $((SECONDS - started)) s"
dpkg-deb -f "$deb" Package Version Depends Conflicts | sed 's/^/    /'
depends=$(dpkg-deb -f "$deb" Depends)
if grep -qiE 'cuda|cublas|nvidia' <<<"$depends"; then
    fail "the stand-in package depends on a GPU library: $depends"
fi

# The CUDA package, where CMake finds the toolkit.
started=$SECONDS
rm -rf "$cuda_build"
mkdir -p "$cuda_build"
cmake -S "$repo" -B "$cuda_build" -DKAVREL_CUDA=AUTO -DKAVREL_BUILD_TESTS=OFF -DKAVREL_BUILD_BENCHMARKS=OFF \
    -DKAVREL_WARNINGS_AS_ERRORS=ON -DCMAKE_INSTALL_PREFIX=/usr >"$cuda_build/package-build.log" 2>&1 || { cat "$cuda_build/package-build.log"; fail "configure"; }
if grep -q '^KAVREL_BUILDS_CUDA:INTERNAL=ON$' "$cuda_build/CMakeCache.txt"; then
    cmake --build "$cuda_build" -j 2 >>"$cuda_build/package-build.log" 2>&1 || { tail -n 40 "$cuda_build/package-build.log"; fail "build"; }
    (cd "$cuda_build" && cpack) >>"$cuda_build/package-build.log" 2>&1 || { tail -n 40 "$cuda_build/package-build.log"; fail "cpack"; }
    cuda_deb=$(ls "$cuda_build"/kavrel-test_*.deb)
    say "built $(basename "$cuda_deb") in $((SECONDS - started)) s"
    dpkg-deb -f "$cuda_deb" Package Depends | sed 's/^/    /'
    cuda_depends=$(dpkg-deb -f "$cuda_deb" Depends)
    if ! grep -q 'cudart' <<<"$cuda_depends" || ! grep -q 'cublas' <<<"$cuda_depends"; then
        fail "the CUDA package does not depend on the CUDA runtime and cuBLAS: $cuda_depends"
    fi
    contents=$(dpkg-deb -c "$cuda_deb")
    for file in bin/kavrel-test bin/kavrel-bench bin/kavrel-fleet share/man/man1/kavrel-bench.1; do
        grep -q " \./usr/$file\$" <<<"$contents" || fail "the CUDA package lacks /usr/$file"
    done
    if grep -q 'emulated' <<<"$contents"; then
        fail "the CUDA package holds a stand-in"
    fi
else
    say "no CUDA toolkit found; the CUDA package is not built"
fi

started=$SECONDS
root=$fresh_root_cache/package-root
fresh_root_unpack bookworm "$root" || fail "no fresh bookworm root"
cp "$deb" "$root/root/"
say "fresh bookworm root ready in $((SECONDS - started)) s"

started=$SECONDS
log=$build/package-check.log
# A snapshot of the root's files, without what apt, dpkg and man-db keep for themselves.
snapshot='find / -xdev \( -path /proc -o -path /dev -o -path /sys -o -path /tmp -o -path /root -o -path /run \
    -o -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/cache -o -path /var/log \) -prune -o -print | sort'
status=0
fresh_root_run "$root" "
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
step() { printf '\n\$ %s\n' \"\$*\"; \"\$@\"; }
apt-get update -q >/dev/null
apt-get install -y -q --no-install-recommends man-db >/dev/null
$snapshot >before.txt
step apt-get install -y ./$(basename "$deb")
step kavrel-bench-emulated --version
printf '\n\$ KAVREL_EMULATED_DEVICES=4 kavrel-bench-emulated --devices all --iterations 50   (its table and verdict)\n'
KAVREL_EMULATED_DEVICES=4 kavrel-bench-emulated --devices all --iterations 50 >bench.txt
sed -n '/^Device Name/,/^\$/p;/^Verdict/p' bench.txt
step sh -c 'MANWIDTH=100 man kavrel-bench >man.txt && head -n 12 man.txt'
for option in \$(kavrel-bench-emulated --help | grep -E '^ +-' | sed -E 's/^ +(-[a-zA-Z], *)?//' | grep -oE '^--[a-z][a-z-]*'); do
    grep -qF -- \"\$option\" man.txt || { echo \"man kavrel-bench lacks \$option\"; exit 1; }
done
echo 'man kavrel-bench shows every option of kavrel-bench-emulated --help'
printf '#!/bin/sh\nprintf \"%%s\\\\n\" \"\$@\" >/root/scontrol.args\n' >scontrol && chmod +x scontrol
export KAVREL_BENCH=kavrel-bench-emulated KAVREL_HEALTHCHECK_OPTIONS='--devices all --iterations 50'
export KAVREL_EMULATED_DEVICES=4 KAVREL_SCONTROL=/root/scontrol
step /usr/libexec/kavrel/kavrel-healthcheck.sh
echo \"healthy node: status \$?\"
[ ! -e scontrol.args ] || { echo 'a healthy node was drained'; exit 1; }
printf '\n\$ KAVREL_EMULATED_FAULTS=corrupt:3@1 /usr/libexec/kavrel/kavrel-healthcheck.sh\n'
drain=0
KAVREL_EMULATED_FAULTS=corrupt:3@1 /usr/libexec/kavrel/kavrel-healthcheck.sh || drain=\$?
echo \"wrong product on GPU 1: status \$drain; scontrol \$(paste -s -d ' ' scontrol.args)\"
[ \"\$drain\" = 1 ] && grep -q '^state=drain\$' scontrol.args && grep -q '^reason=.*GPU 1' scontrol.args
step apt-get purge -y kavrel-test-emulated
$snapshot >after.txt
if ! diff before.txt after.txt; then echo 'the purge left the files above changed'; exit 1; fi
if dpkg-query -W kavrel-test-emulated 2>/dev/null; then echo 'the package is still known to dpkg'; exit 1; fi
echo 'purged: the root has the files it had before the install'
" >"$log" 2>&1 </dev/null || status=$?
cat "$log"
fresh_root_remove "$root"
[ "$status" -eq 0 ] || fail "the installed stand-in package did not work (status $status)"
say "installed, used and purged on a fresh bookworm root in $((SECONDS - started)) s"
say "package check passed in $SECONDS s in all"
