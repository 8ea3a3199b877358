#!/usr/bin/env bash
# Runs a Windows program under Wine with the MinGW-w64 runtime libraries on its DLL path and
# Wine's own chatter silenced. Used by the Windows cross build's tests.
#   wine-run.sh PROGRAM [ARGUMENTS...]   runs it
#   wine-run.sh --stop                   stops the Wine server of SPOT_WINE_HOME's prefix
# Everything Wine keeps (its prefix, its server's folder) goes under $SPOT_WINE_HOME (default:
# a folder wine beside the program), never into the home folder or /tmp; it writes no desktop
# or menu entries.
set -euo pipefail
home=${SPOT_WINE_HOME:-$(cd "$(dirname "${1:-.}")" && pwd)/wine}
export WINEPREFIX="$home/prefix"
export TMPDIR="$home/tmp"
mkdir -p "$TMPDIR"
wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
if [ "${1:-}" = --stop ]; then
    server=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
    [ -d "$WINEPREFIX" ] && "$server" -k 2> /dev/null || true
    exit 0
fi
runtime=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")
# SPOT_WINE_PATH, folders separated by colons, adds those of the build's own DLLs (the
# stand-in host, dcimgapi).
extra=${SPOT_WINE_PATH:-}
export WINEPATH="$runtime;/usr/x86_64-w64-mingw32/lib;$(dirname "$1")${extra:+;${extra//:/;}}"
export WINEDEBUG=-all
# Paths beyond ASCII reach Wine's file system as UTF-8 whatever the caller's locale.
export LC_ALL=C.UTF-8
# No .NET or HTML engines (a new prefix would offer to download them), and no menu builder.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
exec "$wine" "$@"
