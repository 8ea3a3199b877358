#!/usr/bin/env bash
# Assembles the Octave package: a tarball that `pkg install` builds with mkoctfile.
# Usage: tools/make-package.sh OUTPUT_DIR   (writes OUTPUT_DIR/spot-<version>.tar.gz)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
out=$(mkdir -p "$1" && cd "$1" && pwd)
version=$(sed -n 's/^Version: *//p' "$here/package/DESCRIPTION")
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
root="$stage/spot-$version"
mkdir -p "$root/src" "$root/inst"
cp "$here/package/DESCRIPTION" "$here/package/INDEX" "$root/"
cp "$here/LICENSE" "$root/COPYING"
cp "$here/package/Makefile" "$root/src/Makefile"
# The same sources as the CMake build, in one folder.
cp "$here"/gateway/{gateway.h,gateway.cpp,parallel.h,parallel.cpp,octave_arrays.h,octave_arrays.cpp} \
   "$here"/dotMosaic/{dotMosaic.cpp,mosaic.cpp,mosaic.h} \
   "$here"/boxGather/{boxGather.cpp,boxes.cpp,boxes.h} \
   "$here"/fitting/{psf.cpp,psf.h,depth.cpp,depth.h,likelihood.h,maximise.h,definite.h,fit_inputs.h,each_fit.h} \
   "$here"/spotFit/{spotFit.cpp,fit.cpp,fit.h} \
   "$here"/spotFind/{spotFind.cpp,find.cpp,find.h} \
   "$here"/crowdFit/{crowdFit.cpp,crowd.cpp,crowd.h} \
   "$here"/frameFetch/{frameFetch.cpp,recording.cpp,recording.h,guarded_copy.cpp,guarded_copy.h,dcimg.h,wide_text.h} \
   "$here"/frameFetch/standin_dcimgapi/{dcimgapi.cpp,mapped_file.cpp,mapped_file.h,standin_codes.h} \
   "$root/src/"
# Modules, their help and the library go to one folder, so that each module's MEX file and
# help file sit side by side and the library beside the module that loads it.
cp "$here"/dotMosaic/dotMosaic.m "$here"/boxGather/boxGather.m "$here"/frameFetch/frameFetch.m \
   "$here"/spotFit/spotFit.m "$here"/spotFind/spotFind.m "$here"/crowdFit/crowdFit.m \
   "$root/src/"
printf '%s\n' dotMosaic.mex boxGather.mex frameFetch.mex spotFit.mex spotFind.mex crowdFit.mex libdcimgapi.so > "$root/src/FILES"
cp "$here/frameFetch/standin_dcimgapi/writeRecording.m" "$here"/pipeline/*.m "$root/inst/"
tar -C "$stage" -czf "$out/spot-$version.tar.gz" "spot-$version"
echo "$out/spot-$version.tar.gz"
