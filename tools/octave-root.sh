#!/usr/bin/env bash
# A Debian 13 root with the Octave most users run today (9.4), for building and testing the
# toolbox against it. Made once with debootstrap from Debian's packages and kept; made again
# only when missing.
#
#   tools/octave-root.sh make            make the root when it is missing
#   tools/octave-root.sh run COMMAND...  run COMMAND inside it (made first when missing), with
#                                        /proc and /dev mounted and this source tree at /spot,
#                                        read-only; everything is unmounted on every way out
#   tools/octave-root.sh ask PID         ask for sudo's password now (when it will be needed),
#                                        and keep it fresh for as long as process PID runs
#   tools/octave-root.sh remove          remove the root (as root: its files are root's)
#
# The root lives in $SPOT_OCTAVE_ROOT (default: .roots/debian13-octave9 here, ignored by git).
# Making and entering it needs root, or sudo that does not ask for a password (or asked
# already: `ask`); without either the script says so and fails. SKIP_OCTAVE_ROOT=1 skips it,
# and says so.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
root="${SPOT_OCTAVE_ROOT:-$here/.roots/debian13-octave9}"
suite=trixie
mirror=http://deb.debian.org/debian
packages=(octave octave-dev octave-image octave-parallel cmake g++ make libgtest-dev binutils)

if [ "${SKIP_OCTAVE_ROOT:-0}" = 1 ]; then
    [ "${1:-}" = ask ] || echo "Skipping the Octave 9 pass: SKIP_OCTAVE_ROOT=1." >&2
    exit 0
fi
# A line on stderr every 15 seconds from start_beat WHAT to stop_beat, so a long step is never
# silent.
beat=""
start_beat() {
    local what=$1 started=$SECONDS
    ( while sleep 15; do echo "  ... still $what ($((SECONDS - started)) s)" >&2; done ) &
    beat=$!
}
stop_beat() {
    [ -z "$beat" ] || { kill "$beat" 2> /dev/null || true; wait "$beat" 2> /dev/null || true; beat=""; }
}

cannot() {
    echo "The Octave 9 pass makes and enters a Debian 13 root, which needs root or sudo." >&2
    echo "Run as root, or skip this pass with SKIP_OCTAVE_ROOT=1 (make test SKIP_OCTAVE_ROOT=1);" >&2
    echo "the rest of the tests run without it." >&2
    exit 1
}
case "${1:-}" in
    ask)
        if [ "$(id -u)" -eq 0 ] || { command -v sudo > /dev/null && sudo -n true 2> /dev/null; }; then
            exit 0
        fi
        command -v sudo > /dev/null || cannot
        echo "The Octave 9 pass at the end of make test needs root: sudo asks for your password once, now." >&2
        sudo -v || cannot
        # Fresh until the caller ends, however long the tests before the pass take.
        watched=${2:-$PPID}
        ( while kill -0 "$watched" 2> /dev/null; do
              sleep 60
              sudo -n -v 2> /dev/null || exit 0
          done ) < /dev/null > /dev/null 2>&1 &
        exit 0
        ;;
    remove)
        if [ ! -e "$root" ]; then
            echo "There is no Octave 9 root at $root." >&2
            exit 0
        fi
        sudo=()
        if [ "$(id -u)" -ne 0 ]; then
            command -v sudo > /dev/null || { echo "Removing $root needs root: as root, run rm -rf '$root'" >&2; exit 1; }
            sudo=(sudo)
        fi
        # Nothing may still be mounted inside it.
        for point in spot dev/pts dev proc; do
            if mountpoint -q "$root/$point" 2> /dev/null; then
                "${sudo[@]}" umount -l "$root/$point"
            fi
        done
        start_beat "removing $root"
        "${sudo[@]}" rm -rf --one-file-system "$root"
        stop_beat
        echo "Removed $root." >&2
        exit 0
        ;;
esac
if [ "$(id -u)" -eq 0 ]; then
    as_root=()
elif command -v sudo > /dev/null && sudo -n true 2> /dev/null; then
    as_root=(sudo -n)
else
    cannot
fi

# Installs the packages into the root and records which: what apt says of services that do
# not start there (policy-rc.d), and of the configuration it writes, is not an error.
install_packages() {
    local log status=0
    log=$(mktemp)
    start_beat "installing Octave 9 and the build tools into the root"
    enter env DEBIAN_FRONTEND=noninteractive sh -c \
        "apt-get update -qq && apt-get install -y -qq --no-install-recommends ${packages[*]}" \
        > /dev/null 2> "$log" || status=$?
    stop_beat
    grep -v -E "^(invoke-rc.d|update-language|Creating config|Replacing config|Moving old data|debconf: )" \
        "$log" >&2 || true
    rm -f "$log"
    [ "$status" -eq 0 ] || return "$status"
    echo "${packages[*]}" | "${as_root[@]}" tee "$root/.packages" > /dev/null
}

make_root() {
    if [ -e "$root/.complete" ]; then
        # A root made with fewer packages gets those added since.
        if [ "$(cat "$root/.packages" 2> /dev/null)" != "${packages[*]}" ]; then
            install_packages
        fi
        return 0
    fi
    echo "Making a Debian 13 root with Octave 9 in $root (once; about 2 minutes)" >&2
    command -v debootstrap > /dev/null || "$here/tools/install-deps.sh"
    "${as_root[@]}" rm -rf "$root"
    mkdir -p "$(dirname "$root")"
    start_beat "making the Debian 13 root"
    "${as_root[@]}" debootstrap --variant=minbase "$suite" "$root" "$mirror" > /dev/null
    stop_beat
    "${as_root[@]}" sh -c "printf '#!/bin/sh\nexit 101\n' > '$root/usr/sbin/policy-rc.d' &&
        chmod +x '$root/usr/sbin/policy-rc.d'"
    install_packages
    "${as_root[@]}" touch "$root/.complete"
}

mounted=()
unmount_all() {
    local k
    for ((k = ${#mounted[@]} - 1; k >= 0; k--)); do
        "${as_root[@]}" umount "${mounted[k]}" 2> /dev/null || "${as_root[@]}" umount -l "${mounted[k]}"
    done
    mounted=()
}
trap 'stop_beat; unmount_all' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mount_into() {  # mount_into TARGET MOUNT-ARGUMENTS...
    "${as_root[@]}" mkdir -p "$1"
    "${as_root[@]}" mount "${@:2}" "$1"
    mounted+=("$1")
}

enter() {
    mount_into "$root/proc" -t proc proc
    mount_into "$root/dev" --bind /dev
    mount_into "$root/dev/pts" --bind /dev/pts  # apt's log needs a terminal
    mount_into "$root/spot" --bind "$here"
    "${as_root[@]}" mount -o remount,bind,ro "$root/spot"
    local status=0
    "${as_root[@]}" chroot "$root" env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin \
        LANG=C.UTF-8 "$@" || status=$?
    unmount_all
    return "$status"
}

case "${1:-}" in
    make)
        make_root
        ;;
    run)
        shift
        make_root
        enter "$@"
        ;;
    *)
        echo "usage: $0 make | run COMMAND... | ask PID | remove" >&2
        exit 2
        ;;
esac
