#!/usr/bin/env bash
# Runs a Windows program under Wine with the MinGW-w64 runtime libraries on its DLL path and
# Wine's own chatter silenced. Used by the Windows cross build's tests.
set -euo pipefail
runtime=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")
# SPOT_WINE_PATH, folders separated by colons, adds those of the build's own DLLs (the
# stand-in host, dcimgapi).
extra=${SPOT_WINE_PATH:-}
export WINEPATH="$runtime;/usr/x86_64-w64-mingw32/lib;$(dirname "$1")${extra:+;${extra//:/;}}"
export WINEDEBUG=-all
export WINEPREFIX="${WINEPREFIX:-${HOME:-/tmp}/.wine-spot-toolbox}"
# No .NET or HTML engines: a new prefix would otherwise offer to download them.
export WINEDLLOVERRIDES="mscoree,mshtml="
wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
exec "$wine" "$@"
