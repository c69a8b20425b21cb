# Fresh Debian roots for CI checks, sourced by them: a pristine debootstrap --variant=minbase root per release, made
# once and kept as a tarball for the rest of the CI run, unpacked anew for each check and entered with chroot.
#
# Functions:
#   fresh_root_unpack RELEASE DIR   a pristine root of RELEASE (bookworm, trixie, ...) at DIR, with /proc, /dev and
#                                   the host's resolv.conf, so apt-get works inside it
#   fresh_root_run DIR COMMAND      COMMAND (one string) by bash as root in DIR, from /root, with a login shell's
#                                   environment and nothing of the caller's
#   fresh_root_remove DIR           unmounts what fresh_root_unpack mounted and removes DIR
# Every root still mounted is unmounted and removed on exit (fresh_root_unpack sets the EXIT trap).
#
# Settings: KAVREL_FRESH_ROOTS_DIR, where the tarballs are kept (default build-ci-roots in the repository: CI's
# own, so removed with it); KAVREL_DEBIAN_MIRROR, the mirror for debootstrap (default: debootstrap's own).
# shellcheck shell=bash

fresh_root_cache=${KAVREL_FRESH_ROOTS_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/build-ci-roots}
fresh_roots_mounted=()

fresh_root_say() { printf 'fresh-root: %s\n' "$*"; }

# Installs the host tools this needs (debootstrap) when missing.
fresh_root_host_tools() {
    command -v debootstrap >/dev/null 2>&1 && return 0
    fresh_root_say "installing debootstrap"
    DEBIAN_FRONTEND=noninteractive apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends debootstrap >/dev/null
}

# Makes $fresh_root_cache/RELEASE.tar, a pristine minbase root, unless this run made it already.
fresh_root_pristine() {
    local release=$1 tarball=$fresh_root_cache/$1.tar started=$SECONDS
    [ -s "$tarball" ] && return 0
    fresh_root_host_tools
    mkdir -p "$fresh_root_cache"
    local staging=$fresh_root_cache/$release.debootstrap
    rm -rf --one-file-system "$staging"
    # shellcheck disable=SC2086 # the mirror is one word or none
    if ! debootstrap --variant=minbase "$release" "$staging" ${KAVREL_DEBIAN_MIRROR:-} >"$staging.log" 2>&1; then
        tail -n 20 "$staging.log"
        fresh_root_say "debootstrap $release failed"
        return 1
    fi
    tar --numeric-owner -C "$staging" -cf "$tarball.partial" .
    mv "$tarball.partial" "$tarball"
    rm -rf --one-file-system "$staging" "$staging.log"
    fresh_root_say "pristine $release root made in $((SECONDS - started)) s ($(du -h "$tarball" | cut -f1))"
}

fresh_root_unpack() {
    local release=$1 dir=$2
    fresh_root_pristine "$release" || return 1
    fresh_root_remove "$dir"
    mkdir -p "$dir"
    tar --numeric-owner -C "$dir" -xpf "$fresh_root_cache/$release.tar"
    cp -L /etc/resolv.conf "$dir/etc/resolv.conf"
    trap fresh_root_remove_all EXIT
    fresh_roots_mounted+=("$dir")
    mount -t proc proc "$dir/proc"
    mount --rbind /dev "$dir/dev"
    mount --make-rslave "$dir/dev"
}

fresh_root_run() {
    local dir=$1 command=$2
    chroot "$dir" /usr/bin/env -i HOME=/root TERM=dumb /bin/bash -lc "cd /root && $command"
}

fresh_root_remove() {
    local dir=$1 mount_point
    [ -d "$dir" ] || return 0
    for mount_point in "$dir/dev" "$dir/proc"; do
        if mountpoint -q "$mount_point"; then
            umount -R "$mount_point" 2>/dev/null || umount -R -l "$mount_point"
        fi
    done
    # Never remove anything while a mount is left inside: it would be the host's /dev.
    if grep -q " $(realpath "$dir")/" /proc/mounts; then
        fresh_root_say "$dir still has mounts; left in place"
        return 1
    fi
    rm -rf --one-file-system "$dir"
}

fresh_root_remove_all() {
    local dir
    for dir in "${fresh_roots_mounted[@]}"; do
        fresh_root_remove "$dir" || true
    done
}
