#!/usr/bin/env bash
# Installs the Debian packages a target needs, when any is missing:
#   install-deps.sh        building and every test (make test)
#   install-deps.sh demo   building the toolbox and running the demo (make demo)
#   install-deps.sh bench  every test's, and what the benchmarks compare against
set -euo pipefail

demo=(make cmake g++ octave liboctave-dev)
tests=("${demo[@]}" libgtest-dev libbenchmark-dev clang-format clang libclang-rt-14-dev valgrind
       g++-mingw-w64-x86-64-posix wine wine64 debootstrap octave-parallel)
case "${1:-}" in
    demo) packages=("${demo[@]}") ;;
    bench) packages=("${tests[@]}" octave-image python3-numpy python3-fast-histogram) ;;
    *) packages=("${tests[@]}") ;;
esac

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo > /dev/null; then
        echo "Installing ${#missing[@]} missing Debian packages needs root, and there is no sudo here."
        echo "As root, run:"
        echo "  apt-get update && apt-get install -y ${missing[*]}"
        echo "then run this command again."
        exit 1
    fi
    sudo="sudo"
fi
# apt's own account goes to a log, shown only when it fails.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
echo "Installing ${#missing[@]} missing Debian packages (${missing[*]}); a few minutes the first time"
# The password, if sudo asks for one, before the lines that say how long it is taking.
[ -z "$sudo" ] || sudo -v || exit 1
if ! "$(dirname "$0")/heartbeat.sh" --log "$log" "installing Debian packages" sh -c \
        "$sudo apt-get update -q && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q \
         ${missing[*]}"; then
    tail -n 40 "$log"
    echo "Installing the packages failed."
    exit 1
fi
