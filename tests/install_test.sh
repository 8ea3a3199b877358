#!/usr/bin/env bash
# Installs the toolbox, moves the folder elsewhere and uses every module from there.
set -euo pipefail
build=$1
octave=$2
checks="$(cd "$(dirname "$0")" && pwd)/octave"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/installed" > /dev/null
mv "$work/installed" "$work/moved"
cd "$work"
"$octave" --no-gui --no-history -q --eval "
  addpath('$work/moved'); addpath('$checks');
  checkToolbox();
  disp('installed toolbox works after moving');
"
