function checkToolbox()
  % checkToolbox()  The toolbox on the path answers: each module runs and has its help, and a
  % recording written by writeRecording reads back. Used by every delivery route's test.
  for name = {'dotMosaic', 'boxGather', 'frameFetch', 'spotFit', 'spotFind', 'crowdFit'}
    assert(exist(name{1}), 3, [name{1} ' is not a compiled module on the path']);
    text = help(name{1});
    assert(~isempty(strfind(text, upper(name{1}))), ['no help for ' name{1}]);
  end
  for name = {'writeRecording', 'localiseRecording', 'calibrateCamera', 'estimateDrift', ...
               'writeLocalisations', 'closePairs', 'pairGroups', 'calibrateAstigmatism', ...
               'depthPicture', 'spotWidths', 'spotLight'}
    assert(exist(name{1}) == 2, [name{1} ' is not on the path']);
    assert(~isempty(strfind(help(name{1}), upper(name{1}))), ['no help for ' name{1}]);
  end
  assert(dotMosaic(2, 1, single([0.5 1.5 1.2]), single([0 0 0]), 0), uint16([1; 2]));
  data = single(reshape(1:25, 5, 5));
  assert(boxGather(2, 2, 0, 3, data), data(2:4, 2:4));
  % A noiseless spot at (2.5, 3) of a 7x7 box is found there.
  e = @(c) diff(erf(((0:7)' - 0.5 - c) / (sqrt(2) * 1.3))) / 2;
  [params, ~, ~, status] = spotFit(2 + 500 * e(2.5) * e(3)', 1.3);
  assert(status, 0);
  assert(params, [2.5 3 500 2], 1e-3);
  % The same spot through a lens's curves at their crossing (z = 0 nm, 1.3 pixels wide both
  % ways): its depth is found there.
  psf = struct('sigma0', [1.3 1.3] / sqrt(1 + 0.25 ^ 2), 'c', [-100 100], 'd', [400 400], ...
               'A', [0 0], 'B', [0 0], 'zRange', [-500 500]);
  [params, ~, ~, status] = spotFit(2 + 500 * e(2.5) * e(3)', psf);
  assert(status, 0);
  assert(params(1:4), [2.5 3 500 2], -1e-4);
  assert(abs(params(5)) < 1);
  [x, y, z, strength] = spotFind(single(2 + 500 * e(2) * e(3)'), 1.3, 100);
  assert([x y z] == [2 3 0] && strength > 300);
  file = [tempname() '.rec'];
  frames = uint16(reshape(1:12, 3, 2, 2));
  writeRecording(file, frames);
  [frame, count] = frameFetch(1, file);
  delete(file);
  assert(frame, frames(:, :, 2));
  assert(count, 2);
end
