function test_localiseRecording(demoFolder)
  % The pipeline function: which candidates the crowding rule leaves out, what that rule costs
  % on a frame of thousands of candidates, and an identified error (or the sound result) for
  % every recording and camera it cannot use.
  [folder, cleanup] = scratchFolder();
  addpath(demoFolder);  % spotBounds
  cam = struct('offset', 100, 'gain', 2, 'sigma', 1.3, 'threshold', 40, 'box', 7);
  crowdedNeighboursAreLeftOut(folder, setfield(cam, 'joint', false));
  crowdedNeighboursAreFittedTogether(folder, setfield(cam, 'threshold', 100));
  theCamerasMapsAreUsed(folder, cam);
  aLoneCandidateThatIsNoSpotGivesNoRow(folder, cam);
  spotsAtTheEdgesAreFittedSoundly(folder, cam);
  aDimSpotBesideABrightOneIsFoundInTheSecondPass(folder, setfield(cam, 'threshold', 100));
  theFittedLightIsTheModelsSpots();
  twoSpotsCloserThanSigmaAreBothKept(folder, setfield(cam, 'threshold', 100));
  aLoneFitStaysWhereItsRegionKeepsNothing(folder, setfield(cam, 'threshold', 100));
  depthsAreFitted(folder, cam);
  crowdingCostGrowsWithTheCandidates(folder);
  everyFailureIsIdentified(folder, cam);
  disp('test_localiseRecording: all passed');
end

function crowdedNeighboursAreLeftOut(folder, cam)
  % Without joint fitting, a candidate goes when another in the same frame lies closer than the
  % box side less one along both axes. Stand-ins on the path hand localiseRecording chosen candidates (spotFind)
  % and a centred fit of every box (spotFit), so that what it returns is what the rule kept:
  % the edge cases, then random candidates against the rule by brute force.
  global chosenCandidates
  file = fullfile(folder, 'blank.rec');
  writeRecording(file, uint16(100 * ones(64, 64, 12)));
  writeFunction(folder, 'spotFind', ...
                {'function [x, y, z] = spotFind(stack, sigma, threshold, offset, gain)', ...
                 '  global chosenCandidates', ...
                 '  x = chosenCandidates(:, 1); y = chosenCandidates(:, 2); z = chosenCandidates(:, 3);', ...
                 'end'});
  writeFunction(folder, 'spotFit', ...
                {'function [p, crlb, ratio, status] = spotFit(boxes, sigma, fitSigma, variance)', ...
                 '  k = size(boxes, 3); c = (size(boxes, 1) - 1) / 2;', ...
                 '  p = repmat([c c 1000 10], k, 1); crlb = 0.01 * ones(k, 4);', ...
                 '  ratio = zeros(k, 1); status = zeros(k, 1);', 'end'});
  state = warning('off', 'Octave:shadowed-function');
  addpath(folder);
  restore = onCleanup(@() unshadow(folder, state, {'spotFind', 'spotFit'}));
  % Five apart along both axes go; six apart along either stay; other frames do not count.
  chosenCandidates = [10 10 0; 15 15 0; 30 10 0; 36 14 0; 10 40 0; 14 46 0; 15 15 1; 50 50 2];
  fits = localiseRecording(file, cam);
  assert(sortrows(fits(:, 1:3)), sortrows(chosenCandidates(3:end, :)));
  rand('seed', 7);
  [x, y, z] = ndgrid(3:60, 3:60, 0:11);
  pick = randperm(numel(x), 600)';
  chosenCandidates = [x(pick), y(pick), z(pick)];
  near = abs(x(pick) - x(pick)') < cam.box - 1 & abs(y(pick) - y(pick)') < cam.box - 1 & ...
         z(pick) == z(pick)';
  alone = sum(near, 2) == 1;
  assert(sum(alone) > 50 && sum(~alone) > 50);
  fits = localiseRecording(file, cam);
  assert(sortrows(fits(:, 1:3)), sortrows(chosenCandidates(alone, :)));
end

function theCamerasMapsAreUsed(folder, cam)
  % A camera whose pixels differ in offset, gain and read noise: with its maps the spots are
  % found where they are, within their bounds; with one offset and gain for all, not.
  randn('seed', 4); rand('seed', 4); randp('seed', 4);
  side = 64; frames = 10;
  offset = 100 + 15 * randn(side);
  gain = 2 * (1 + 0.2 * randn(side));
  readRms = gain .* exp(log(1.5) + 0.3 * randn(side));  % counts
  e = @(c) diff(erf(((0:side)' - 0.5 - c) / (sqrt(2) * cam.sigma))) / 2;
  truth = zeros(0, 3);
  counts = zeros(side, side, frames);
  for f = 1:frames
    photons = 10 * ones(side);
    for k = 1:3
      xy = [10 + 44 * rand(), 8 + 16 * k + 4 * rand()];
      truth(end + 1, :) = [xy, f - 1];
      photons = photons + 2000 * e(xy(1)) * e(xy(2))';
    end
    counts(:, :, f) = offset + gain .* randp(photons) + readRms .* randn(side);
  end
  file = fullfile(folder, 'camera.rec');
  writeRecording(file, uint16(round(max(counts, 0))));
  withMaps = setfield(setfield(setfield(cam, 'offset', offset), 'gain', gain), ...
                      'variance', readRms .^ 2);
  withMaps.threshold = 100;
  fits = localiseRecording(file, withMaps);
  [found, normalised] = matched(fits, truth);
  assert(found >= 27, sprintf('%d of 30 spots found with the maps', found));
  assert(normalised < 1.5, sprintf('errors %.2f of the bounds with the maps', normalised));
  % The last column: the read variance in photons squared of the pixel the spot is on.
  pixel = round(fits(:, 1)) + 1 + side * round(fits(:, 2));
  readPhotons = readRms .^ 2 ./ gain .^ 2;
  assert(fits(:, 7), readPhotons(pixel), 1e-12);
  % The bounds are those of each box with its pixels' read variance (spotBounds: finite
  % differences of the model), the box about the pixel the spot is on.
  agree = boundsAgree(fits, readPhotons, cam.sigma);
  assert(mean(agree) > 0.9, sprintf('%.0f%% of the bounds agree', 100 * mean(agree)));
  plain = setfield(setfield(withMaps, 'offset', mean(offset(:))), 'gain', mean(gain(:)));
  plain = rmfield(plain, 'variance');
  [foundPlain, normalisedPlain] = matched(localiseRecording(file, plain), truth);
  assert(foundPlain < found || normalisedPlain > 2 * normalised, ...
         sprintf('one offset and gain did as well: %d found, errors %.2f of the bounds', ...
                 foundPlain, normalisedPlain));
  % Pixels the calibration could not measure (gain NaN), 0.1% and more of them, four beside
  % spots, stuck at full scale in the recording: left out, the spots are found as well and
  % fitted within their bounds, and nothing is found at them.
  dead = unique([sub2ind([side side], round(truth(1:4, 1)) + 2, round(truth(1:4, 2)) + 1); ...
                 randperm(side ^ 2, 4)']);
  stuck = counts;
  stuck(dead + side ^ 2 * (0:frames - 1)) = 65535;
  stuckFile = fullfile(folder, 'stuck.rec');
  writeRecording(stuckFile, uint16(round(max(stuck, 0))));
  withDead = withMaps;
  withDead.gain(dead) = NaN;
  fitsDead = localiseRecording(stuckFile, withDead);
  [foundDead, normalisedDead] = matched(fitsDead, truth);
  assert(foundDead >= found - 1 && rows(fitsDead) <= foundDead + 1 && normalisedDead < 1.5, ...
         sprintf('%d of %d found, %d rows, errors %.2f of the bounds with pixels left out', ...
                 foundDead, found, rows(fitsDead), normalisedDead));
  assert(all(isfinite(fitsDead(:))));
  % Their bounds are those of boxes without them, where a box holds one.
  readPhotons(dead) = Inf;
  [agree, holds] = boundsAgree(fitsDead, readPhotons, cam.sigma);
  assert(sum(holds) >= 3 && mean(agree(holds)) >= 0.75, ...
         sprintf('%d of %d bounds agree', sum(agree(holds)), sum(holds)));
  % Maps must be the frames' size and sound.
  assertError(@() localiseRecording(file, setfield(withMaps, 'gain', 1e-300)), ...
              'localiseRecording:BadCamera');
  assertError(@() localiseRecording(file, setfield(withMaps, 'gain', NaN(side))), ...
              'localiseRecording:BadCamera');
  assertError(@() localiseRecording(file, setfield(withMaps, 'gain', gain(1:10, :))), ...
              'localiseRecording:BadCamera');
  assertError(@() localiseRecording(file, setfield(withMaps, 'gain', -gain)), ...
              'localiseRecording:BadCamera');
  assertError(@() localiseRecording(file, setfield(withMaps, 'variance', -1)), ...
              'localiseRecording:BadCamera');
end

function depthsAreFitted(folder, cam)
  % With a depth calibration: spots alone and in pairs 2.5 pixels apart at depths over
  % +-400 nm, found and placed in z within their bounds; the same given the analysis apart
  % from the camera; a spot beyond the calibrated depths not kept.
  psf = struct('sigma0', [1.3 1.25], 'c', [-250 250], 'd', [450 440], 'A', [0.05 -0.05], ...
               'B', [0.02 0.03], 'zRange', [-600 600]);
  rand('seed', 6); randp('seed', 6);
  side = 64; frames = 30;
  truth = zeros(0, 5);
  counts = zeros(side, side, frames);
  for f = 1:frames
    spots = [14 14; 40 16; 16 44; 44 42; 46.5 43.2] + rand(5, 2) - 0.5;
    spots = [spots, 2000 * ones(5, 1), -400 + 800 * rand(5, 1)];
    spots(1, 4) = 900 * (mod(f, 3) == 0);  % every third frame, one far beyond the range
    truth = [truth; spots, (f - 1) * ones(5, 1)]; %#ok<AGROW>
    counts(:, :, f) = 100 + 2 * randp(astigmaticSpots(side, psf, spots, 10));
  end
  file = fullfile(folder, 'depths.rec');
  writeRecording(file, uint16(counts));
  analysis = struct('sigma', 1.6, 'threshold', 60, 'box', 13, 'psf', psf);
  fits = localiseRecording(file, rmfield(cam, {'sigma', 'threshold', 'box'}), analysis);
  assert(isequal(fits, localiseRecording(file, setfield(cam, 'psf', psf), analysis)));
  assert(size(fits, 2) == 9);
  beyond = truth(:, 4) == 900;
  found = false(rows(truth), 1);
  zRatio = [];
  for k = 1:rows(truth)
    [distance, row] = min(hypot(fits(:, 1) - truth(k, 1), fits(:, 2) - truth(k, 2)) + ...
                          1e3 * (fits(:, 3) ~= truth(k, 5)));
    found(k) = distance < 1;
    if found(k) && ~beyond(k)
      zRatio(end + 1) = (fits(row, 8) - truth(k, 4)) / fits(row, 9); %#ok<AGROW>
    end
  end
  assert(~any(found(beyond)), 'a spot beyond the calibrated depths was kept');
  assert(mean(found(~beyond)) > 0.9, sprintf('%.0f%% found', 100 * mean(found(~beyond))));
  assert(sqrt(mean(zRatio .^ 2)) < 1.3, sprintf('z error %.2f bounds', sqrt(mean(zRatio .^ 2))));
  assertError(@() localiseRecording(file, cam, setfield(analysis, 'psf', ...
                                                        setfield(psf, 'd', [0 440]))), ...
              'localiseRecording:BadCamera');
  assertError(@() localiseRecording(file, cam, struct('gain', 2)), 'localiseRecording:BadCamera');
end

function crowdedNeighboursAreFittedTogether(folder, cam)
  % Frames of an isolated spot, a pair 2 pixels apart (one candidate), a pair 4 apart, three
  % within 5 pixels, two 6.5 apart (each alone in its box), and a line of six 3.5 apart (a
  % group too large for one region): with joint fitting every spot is found once, within its
  % bounds; without, the pair 4 apart, the three and the line are lost.
  randp('seed', 8); rand('seed', 8);
  side = 64; frames = 12;
  e = @(c) diff(erf(((0:side)' - 0.5 - c) / (sqrt(2) * cam.sigma))) / 2;
  layout = [12 12; 30 12; 32 12.4; 50 12; 50 16; 12 40; 16 41; 14 44.5; 40 40; 46.5 40;
            10 56; 13.5 56; 17 56; 20.5 56; 24 56; 27.5 56];
  truth = zeros(0, 3);
  counts = zeros(side, side, frames);
  for f = 1:frames
    photons = 10 * ones(side);
    xy = layout + rand(size(layout)) - 0.5;
    for k = 1:rows(xy)
      photons = photons + 2500 * e(xy(k, 1)) * e(xy(k, 2))';
    end
    truth = [truth; xy, (f - 1) * ones(rows(xy), 1)]; %#ok<AGROW>
    counts(:, :, f) = 100 + 2 * randp(photons);
  end
  file = fullfile(folder, 'crowded.rec');
  writeRecording(file, uint16(counts));
  fits = localiseRecording(file, cam);
  % Camera fields of any real numeric class give the double's result, regions fitted together
  % among them (whose degrees of freedom would saturate in small integers).
  asIntegers = setfield(setfield(setfield(setfield(cam, 'offset', uint16(cam.offset)), 'gain', ...
                        uint8(cam.gain)), 'box', uint8(cam.box)), 'threshold', int16(cam.threshold));
  assert(isequal(localiseRecording(file, asIntegers), fits));
  [found, normalised] = matched(fits, truth);
  assert(found >= 0.9 * rows(truth), sprintf('%d of %d spots found', found, rows(truth)));
  assert(rows(fits) <= found + 2, sprintf('%d localisations for %d spots', rows(fits), found));
  assert(normalised < 1.5, sprintf('errors %.2f of the bounds', normalised));
  % Read noise given to every fit: each bound grows, those of spots fitted together too.
  noisy = localiseRecording(file, setfield(cam, 'variance', 400));
  grown = zeros(0, 1);
  for k = 1:rows(noisy)
    here = find(fits(:, 3) == noisy(k, 3));
    [distance, i] = min(hypot(fits(here, 1) - noisy(k, 1), fits(here, 2) - noisy(k, 2)));
    if distance < 0.3
      grown(end + 1) = noisy(k, 6) / fits(here(i), 6);
    end
  end
  assert(numel(grown) > 0.9 * rows(fits) && median(grown) > 1.3 && mean(grown > 1.15) > 0.9, ...
         'bounds without the read variance');
  alone = matched(localiseRecording(file, setfield(cam, 'joint', false)), truth);
  assert(alone <= found - 11 * frames, sprintf('%d spots found without joint fitting', alone));
end

% How many true spots have a localisation within a pixel in their frame, and the rms of their
% errors over the bounds the fits report.
% Which fits' bounds are those of the box of side 7 about the pixel the spot is on, with its
% pixels' read variance (spotBounds: finite differences of the model); and which boxes hold a
% pixel of infinite read variance.
function [agree, holdsInfinite] = boundsAgree(fits, readPhotons, sigma)
  side = size(readPhotons, 1);
  corner = min(max(round(fits(:, 1:2)) - 3, 0), side - 7);
  [i, j] = ndgrid(0:6, 0:6);
  boxes = reshape(readPhotons(1 + corner(:, 1) + i(:)' + side * (corner(:, 2) + j(:)'))', 7, 7, []);
  theta = [fits(:, 1:2) - corner, fits(:, 4:5), sigma * ones(rows(fits), 1)];
  bounds = spotBounds(theta, 7, 4, boxes);
  agree = abs(max(bounds(:, 1:2), [], 2) ./ fits(:, 6) - 1) < 1e-4;
  holdsInfinite = squeeze(any(any(isinf(boxes), 1), 2));
end

function [found, normalised] = matched(fits, truth)
  found = 0;
  ratios = [];
  for k = 1:rows(truth)
    here = find(fits(:, 3) == truth(k, 3));
    [distance, i] = min(hypot(fits(here, 1) - truth(k, 1), fits(here, 2) - truth(k, 2)));
    if ~isempty(distance) && distance < 1
      found = found + 1;
      ratios(end + 1, :) = (fits(here(i), 1:2) - truth(k, 1:2)) / fits(here(i), 6);
    end
  end
  normalised = sqrt(mean(ratios(:) .^ 2));
end

function spotsAtTheEdgesAreFittedSoundly(folder, cam)
  % Spots centred from half a pixel outside each edge to 2.5 pixels in, cut from boxes
  % shifted inward: finite rows, each on a spot, and nearly all of them found, those in the
  % outermost pixel too (no box holds them further in).
  side = 32;
  e = @(c) diff(erf(((0:side)' - 0.5 - c) / (sqrt(2) * cam.sigma))) / 2;
  rand('seed', 2); randp('seed', 2);
  truth = zeros(0, 3);
  counts = zeros(side, side, 20);
  for f = 1:20
    xy = [3 * rand() - 0.3, 3 + 26 * rand(); 31.3 - 3 * rand(), 3 + 26 * rand(); ...
          3 + 26 * rand(), 3 * rand() - 0.3; 3 + 26 * rand(), 31.3 - 3 * rand()];
    photons = 10 * ones(side);
    for k = 1:4
      photons = photons + 2000 * e(xy(k, 1)) * e(xy(k, 2))';
    end
    truth = [truth; xy, repmat(f - 1, 4, 1)];
    counts(:, :, f) = 100 + 2 * randp(photons);
  end
  file = fullfile(folder, 'edges.rec');
  writeRecording(file, uint16(counts));
  fits = localiseRecording(file, cam);
  found = matched(fits, truth);
  outermost = any(truth(:, 1:2) < 0.5 | truth(:, 1:2) > side - 1.5, 2);
  assert(all(isfinite(fits(:))) && found == rows(fits) && found >= 0.9 * rows(truth) && ...
         matched(fits, truth(outermost, :)) >= 0.8 * nnz(outermost), ...
         sprintf('%d rows, %d of %d spots found', rows(fits), found, rows(truth)));
end

function aDimSpotBesideABrightOneIsFoundInTheSecondPass(folder, cam)
  % A spot of 900 photons 4 pixels from one of 3000: the bright one's light in the finder's
  % surround hides it from spotFind, and a region about the bright one does not reach it.
  % Taken out, it shows: each spot is found once, within its bounds.
  rand('seed', 4); randp('seed', 4);
  bright = 14 + rand(12, 2);
  dim = bright + [4 * ones(12, 1), 0.4 * rand(12, 1)];
  [photons, truth] = spotFrames(32, cam.sigma, {bright, 3000}, {dim, 900});
  for f = 1:12
    [x, y] = spotFind(photons(:, :, f), cam.sigma, cam.threshold);
    assert(numel(x) == 1 && hypot(x - bright(f, 1), y - bright(f, 2)) < 1, ...
           'spotFind sees the dim spot');
  end
  fits = localiseRecording(recordingOf(folder, 'hidden.rec', cam, photons), cam);
  [found, normalised] = matched(fits, truth);
  assert(found >= rows(truth) - 1 && rows(fits) == found && normalised < 1.5, ...
         sprintf('%d rows, %d of %d spots found, errors %.2f of the bounds', rows(fits), ...
                 found, rows(truth), normalised));
end

function twoSpotsCloserThanSigmaAreBothKept(folder, cam)
  % Two spots of 4000 photons a pixel apart along each axis (1.4 pixels, inside sigma along
  % both): the finder sees one, crowdFit parts them, and neither is taken for the other
  % localised twice.
  rand('seed', 6); randp('seed', 6);
  first = 10 + rand(20, 2);
  [photons, truth] = spotFrames(24, cam.sigma, {first, 4000}, {first + 1, 4000});
  fits = localiseRecording(recordingOf(folder, 'pairs.rec', cam, photons), cam);
  found = matched(fits, truth);
  assert(found >= 0.8 * rows(truth) && rows(fits) == found, ...
         sprintf('%d rows, %d of %d spots found', rows(fits), found, rows(truth)));
end

function aLoneFitStaysWhereItsRegionKeepsNothing(folder, cam)
  % A spot with a faint hot pixel in its box, so that its fit alone is kept but tried again
  % with room for a second emitter, and a brighter one just outside the box, in that region,
  % whose light no spot explains: the region is refused and the fit alone stays.
  rand('seed', 7); randp('seed', 7);
  spots = 11.5 + rand(60, 2);
  [photons, truth] = spotFrames(24, cam.sigma, {spots, 2000});
  for f = 1:60
    c = round(spots(f, :)) + 1;
    photons(c(1) + 2, c(2) - 2, f) += 25;
    photons(c(1) + 4, c(2), f) += 60;
  end
  fits = localiseRecording(recordingOf(folder, 'hotPixels.rec', cam, photons), cam);
  found = matched(fits, truth);
  assert(found >= 45 && rows(fits) == found, sprintf('%d rows, %d of 60 spots found', ...
                                                      rows(fits), found));
end

% Frames of side-by-side pixels of expected photons (a background of 10) holding, for each
% {xy, photons} given, the spot of frame f at xy(f, :); and the spots as rows x, y, frame.
function [photons, truth] = spotFrames(side, sigma, varargin)
  e = @(c) diff(erf(((0:side)' - 0.5 - c) / (sqrt(2) * sigma))) / 2;
  frames = rows(varargin{1}{1});
  photons = 10 * ones(side, side, frames);
  truth = zeros(0, 3);
  for f = 1:frames
    for k = 1:numel(varargin)
      xy = varargin{k}{1}(f, :);
      photons(:, :, f) += varargin{k}{2} * e(xy(1)) * e(xy(2))';
      truth(end + 1, :) = [xy, f - 1];
    end
  end
end

% A recording of the expected photons through the camera of cam, with Poisson noise.
function file = recordingOf(folder, name, cam, photons)
  file = fullfile(folder, name);
  writeRecording(file, uint16(cam.offset + cam.gain * randp(photons)));
end

function theFittedLightIsTheModelsSpots()
  % spotLight against spots written out from their definition (astigmaticSpots), through a
  % depth calibration's widths: boxes at the frame's corner and inside it, a box holding two
  % spots, another none, and a spot in two boxes.
  psf = struct('sigma0', [1.3 1.2], 'c', [-250 250], 'd', [450 430], 'A', [0.06 -0.04], ...
               'B', [0.03 0.02], 'zRange', [-900 900]);
  spots = [5.3 6.8 2000 -300; 9.6 4.1 700 200; 20.2 19.5 1500 0];
  frame = astigmaticSpots(40, psf, spots, 0);
  [sx, sy] = spotWidths(psf, spots(:, 4));
  corners = [0 0; 3 2; 15 16; 28 0];
  side = 11;
  pairs = [1 1; 1 2; 2 1; 2 2; 3 3];
  light = spotLight([pairs(:, 1), spots(pairs(:, 2), 1:3), sx(pairs(:, 2)), sy(pairs(:, 2))], ...
                    corners, side);
  assert(isa(light, 'single') && isequal(size(light), [side side 4]));
  for k = 1:3
    expected = frame(corners(k, 1) + (1:side), corners(k, 2) + (1:side));
    difference = abs(double(light(:, :, k)) - expected);
    assert(max(difference(:)) < 1e-4 * max(expected(:)), sprintf('box %d', k));
  end
  assert(all(light(:, :, 4)(:) == 0));
end

function aLoneCandidateThatIsNoSpotGivesNoRow(folder, cam)
  % A hot pixel, the one candidate of its recording: its box holds more light than a spot
  % explains, so it is fitted alone, then in a region of its own, and neither is kept.
  file = fullfile(folder, 'hot.rec');
  counts = uint16(100 * ones(32, 32));
  counts(16, 16) = 5000;
  writeRecording(file, counts);
  assert(size(localiseRecording(file, cam)), [0 7]);
end

function crowdingCostGrowsWithTheCandidates(folder)
  % The groups of 10,000 candidates in a few frames, against a search through every pair
  % from each candidate; then a 640x640 frame of background only, at a threshold that makes
  % more than 10,000 candidates, most in groups too large for one region: in a session of its
  % own, so that its peak memory tells what the call took.
  rand('seed', 2);
  xy = round(500 * rand(10000, 2));
  frame = floor(3 * rand(10000, 1));
  [i, j] = closePairs(xy, 6, frame);
  [group, count] = pairGroups(10000, i, j);
  near = @(k) find(abs(xy(:, 1) - xy(k, 1)) < 6 & abs(xy(:, 2) - xy(k, 2)) < 6 & ...
                   frame == frame(k));
  expected = zeros(10000, 1);
  groups = 0;
  for k = find(expected == 0)'
    if expected(k) == 0
      groups = groups + 1;
      expected(k) = groups;
      front = k;
      while ~isempty(front)
        reached = unique(cell2mat(arrayfun(near, front(:), 'UniformOutput', false)));
        front = reached(expected(reached) == 0);
        expected(front) = groups;
      end
    end
  end
  assert(isequal(group, expected) && count == groups && max(accumarray(group, 1)) > 20);

  file = fullfile(folder, 'background.rec');
  randp('seed', 1);
  writeRecording(file, uint16(100 + randp(10 * ones(640, 640))));
  command = sprintf(['%s --no-history -q --eval "addpath(''%s''); ' ...
                     'cam = struct(''offset'', 100, ''gain'', 1, ''sigma'', 1.3, ''threshold'', 8, ''box'', 7); ' ...
                     'candidates = numel(spotFind(single(frameFetch(0, ''%s'')), 1.3, 8)); ' ...
                     'peak = @() str2double(regexp(fileread(''/proc/self/status''), ''VmPeak:\\s*(\\d+)'', ''tokens'', ''once''){1}); ' ...
                     'before = peak(); localiseRecording(''%s'', cam); ' ...
                     'printf(''%%d %%d\\n'', candidates, peak() - before);" 2>&1'], ...
                    fullfile(OCTAVE_HOME(), 'bin', 'octave-cli'), fileparts(which('spotFit')), ...
                    file, file);
  [status, output] = system(command);
  assert(status, 0, output);
  figures = sscanf(output, '%d %d');
  assert(figures(1) > 10000, sprintf('only %d candidates', figures(1)));
  assert(figures(2) < 64 * 1024, sprintf('the call took %d kB more at its peak', figures(2)));
end

function everyFailureIsIdentified(folder, cam)
  frames = fullfile(folder, 'frames.rec');
  writeRecording(frames, uint16(100 * ones(32, 32, 2)));
  noBox = rmfield(cam, 'box');
  assertError(@() localiseRecording(frames, noBox), 'localiseRecording:BadCamera');
  assertError(@() localiseRecording(frames, 3), 'localiseRecording:BadCamera');
  assertError(@() localiseRecording(frames), 'localiseRecording:BadCamera');
  for bad = {{'sigma', NaN}, {'sigma', 0.05}, {'sigma', 'a'}, {'threshold', NaN}, ...
             {'joint', 'no'}, {'joint', [1 1]}, {'progress', {}}}
    assertError(@() localiseRecording(frames, setfield(cam, bad{1}{:})), ...
                'localiseRecording:BadCamera');
  end
  assertError(@() localiseRecording(frames, setfield(cam, 'box', 6.5)), ...
              'localiseRecording:BadCamera');
  small = fullfile(folder, 'small.rec');
  writeRecording(small, uint16(100 * ones(5, 9, 2)));
  assertError(@() localiseRecording(small, cam), 'localiseRecording:FrameTooSmall');
  % What the library says of an unreadable first frame goes into the error, not the console.
  missing = fullfile(folder, 'missing.rec');
  printed = evalc('assertError(@() localiseRecording(missing, cam), ''localiseRecording:Unreadable'');');
  assert(isempty(printed), printed);
  try
    localiseRecording(missing, cam);
  catch err
    assert(~isempty(strfind(err.message, 'DCIMG_ERR=0x80000101 @ dcimg_open')), err.message);
  end
  % A recording of no frames: no localisations, nothing said.
  empty = fullfile(folder, 'empty.rec');
  fid = fopen(empty, 'w', 'ieee-le');
  fwrite(fid, uint8('FRAMEREC'));
  fwrite(fid, [1 0 32 32 64 0], 'uint32');
  fclose(fid);
  printed = evalc('[fits, times, frameSum] = localiseRecording(empty, cam);');
  assert(isempty(printed), printed);
  assert(size(fits), [0 7]);
  assert(isempty(frameSum));
  % A frame inside a block that cannot be read (a frameFetch of the user's stands in for a
  % recording damaged there).
  shadow = fullfile(folder, 'shadow');
  mkdir(shadow);
  writeFunction(shadow, 'frameFetch', ...
                {'function [frame, count] = frameFetch(k, file)', '  count = 150;', ...
                 '  frame = uint16(100 * ones(32, 32));', ...
                 '  if k == 57, frame = zeros(0, 0, ''uint16''); end', 'end'});
  state = warning('off', 'Octave:shadowed-function');
  addpath(shadow);
  restore = onCleanup(@() unshadow(shadow, state, {'frameFetch'}));
  try
    localiseRecording('anything.rec', cam);
    error('test:noError', 'a recording with an unreadable frame 57 gave no error');
  catch err
    assert(err.identifier, 'localiseRecording:Unreadable');
    assert(~isempty(strfind(err.message, 'frame 57 ')), err.message);
  end
end

function writeFunction(folder, name, lines)
  fid = fopen(fullfile(folder, [name '.m']), 'w');
  fprintf(fid, '%s\n', lines{:});
  fclose(fid);
end

function unshadow(folder, state, names)
  rmpath(folder);
  for name = names
    clear(name{1});
  end
  warning(state);
end
