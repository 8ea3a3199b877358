#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need, when any is missing.
set -euo pipefail

# With "bench": also what the benchmarks compare against (histeq, fast-histogram).
packages=(make cmake g++ libgtest-dev libbenchmark-dev octave liboctave-dev clang-format
          clang libclang-rt-14-dev valgrind g++-mingw-w64-x86-64-posix wine wine64 debootstrap)
if [ "${1:-}" = "bench" ]; then
    packages+=(octave-image python3-numpy python3-fast-histogram)
fi

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Installing missing packages: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "${missing[@]}"
