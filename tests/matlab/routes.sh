#!/usr/bin/env bash
# The MATLAB route, emulated: builds the modules as MATLAB would, against a MATLAB root of our
# own made of the stand-in host, checks what they export, then loads them into the stand-in
# host and runs them.
# Usage: routes.sh build-script|cmake SOURCE_DIR WORK_DIR STANDIN_HOST_LIBRARY LOADER [OCTAVE]
#   build-script: buildToolbox's mex branch, in Octave, through our stand-in mex command;
#   cmake: the CMake build with this root as Matlab_ROOT_DIR (FindMatlab, matlab_add_mex).
set -euo pipefail
route=$1
source=$(cd "$2" && pwd)
work=$3
host=$4
loader=$5
octave=${6:-octave}
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
root="$work/matlab-root"
mkdir -p "$root/bin/glnxa64" "$root/extern/include" "$root/extern/lib/glnxa64" \
         "$root/extern/version"
printf '#!/bin/sh\necho mexa64\n' > "$root/bin/mexext"
# FindMatlab asks the matlab program for `version`, answered in its log file: R2022b here.
cat > "$root/bin/matlab" << 'SCRIPT'
#!/bin/sh
while [ $# -gt 0 ]; do
    [ "$1" = -logfile ] && printf "\nans =\n\n    '9.13.0.2049777 (R2022b)'\n\n" > "$2"
    shift
done
SCRIPT
chmod +x "$root/bin/mexext" "$root/bin/matlab"
printf '#define STANDIN_PLAYS_MATLAB 1\n#include "%s/gateway/standin/mex.h"\n' "$source" \
    > "$root/extern/include/mex.h"
ln -s "$host" "$root/bin/glnxa64/libmx.so"
ln -s "$host" "$root/bin/glnxa64/libmex.so"
cp "$here/exports.map" "$root/extern/lib/glnxa64/c_exportsmexfileversion.map"
cp "$here/mexapi_version.cpp" "$root/extern/version/cpp_mexapi_version.cpp"

case $route in
    build-script)
        modules="$work/toolbox"
        STANDIN_MATLAB_ROOT="$root" "$octave" --no-gui --no-history -q --eval \
            "addpath('$source'); addpath('$here'); buildToolbox('$modules', '', 'mex');"
        ;;
    cmake)
        modules="$work/build/toolbox"
        cmake -S "$source" -B "$work/build" -DMatlab_ROOT_DIR="$root" -DWITH_OCTAVE=OFF \
              -DBUILD_TESTING=OFF -DBUILD_BENCHMARKS=OFF -DWARNINGS_AS_ERRORS=ON \
              -DCMAKE_BUILD_TYPE=Release > "$work/configure.log" \
            || { cat "$work/configure.log"; exit 1; }
        grep -q "^-- MATLAB: $root" "$work/configure.log" \
            || { cat "$work/configure.log"; echo "FindMatlab did not take the root"; exit 1; }
        cmake --build "$work/build" -j "$(nproc)" --target dotMosaic_matlab boxGather_matlab \
              frameFetch_matlab spotFit_matlab spotFind_matlab crowdFit_matlab
        # A MATLAB root that is not one stops the configuration, saying so.
        if cmake -S "$source" -B "$work/wrong" -DMatlab_ROOT_DIR="$work/no-matlab" \
                -DWITH_OCTAVE=OFF -DBUILD_TESTING=OFF -DBUILD_BENCHMARKS=OFF \
                > "$work/wrong.log" 2>&1 || ! grep -q "No MATLAB found at" "$work/wrong.log"; then
            cat "$work/wrong.log"
            echo "a wrong Matlab_ROOT_DIR did not stop the configuration"
            exit 1
        fi
        ;;
esac

for module in dotMosaic boxGather frameFetch spotFit spotFind crowdFit; do
    exported=$(nm -D --defined-only "$modules/$module.mexa64" | awk '{ print $3 }')
    for symbol in mexFunction mexfilerequiredapiversion; do
        if ! grep -qx "$symbol" <<< "$exported"; then
            echo "$module.mexa64 does not export $symbol; MATLAB would not load it"
            exit 1
        fi
    done
done
"$loader" "$modules"
