#!/usr/bin/env bash
# Installs the toolbox, moves the folder elsewhere and uses every module from there.
set -euo pipefail
build=$1
octave=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/installed" > /dev/null
mv "$work/installed" "$work/moved"
cd "$work"
"$octave" --no-gui --no-history -q --eval "
  addpath('$work/moved');
  for name = {'dotMosaic', 'boxGather', 'frameFetch'}
    assert(exist(name{1}), 3);
    text = evalc(['help ' name{1}]);
    assert(~isempty(strfind(text, upper(name{1}))), ['no help for ' name{1}]);
  end
  assert(~isempty(strfind(evalc('help writeRecording'), 'WRITERECORDING')));
  assert(dotMosaic(2, 1, single([0.5 1.5 1.2]), single([0 0 0]), 0), uint16([1; 2]));
  data = single(reshape(1:25, 5, 5));
  assert(boxGather(2, 2, 0, 3, data), data(2:4, 2:4));
  frames = uint16(reshape(1:12, 3, 2, 2));
  writeRecording('$work/moved.rec', frames);
  [frame, count] = frameFetch(1, '$work/moved.rec');
  assert(frame, frames(:, :, 2));
  assert(count, 2);
  disp('installed toolbox works after moving');
"
