function result = runDemo(outDir, varargin)
  % result = runDemo(outDir)  The whole road of a localisation experiment, on a simulated
  % recording.
  %
  % Simulates a camera recording of blinking emitters on known structures (rings of several
  % radii and crossing lines), writes it with writeRecording, reads every frame back with
  % frameFetch, finds candidate spots with spotFind, cuts a box around each with boxGather,
  % localises each spot with spotFit's maximum-likelihood Gaussian fit, and renders the localisations eight times
  % finer than the camera with dotMosaic. Writes PNG images to outDir and prints the stages'
  % times, the localisation error against the true positions beside the Cramer-Rao bound, and
  % the detection rate.
  %
  % runDemo(outDir, name, value, ...) takes options:
  %   'frames'   number of frames (500)
  %   'pixels'   side of the square camera frame in pixels (128)
  %   'seed'     seed of the simulation (1)
  % Frames are processed in blocks, so long recordings need little memory; progress is printed
  % every few seconds. result holds the figures printed (result.rmsErrorPx, result.found, ...)
  % and the folder of the pictures.
  if nargin < 1 || isempty(outDir)
    outDir = pwd;
  end
  opts = struct('frames', 500, 'pixels', 128, 'seed', 1);
  for k = 1:2:numel(varargin)
    opts.(lower(varargin{k})) = varargin{k + 1};
  end
  if ~exist(outDir, 'dir')
    mkdir(outDir);
  end
  rand('seed', opts.seed); randn('seed', opts.seed);
  if exist('randp') ~= 0
    randp('seed', opts.seed);  % Octave's Poisson generator keeps a state of its own
  end

  cam = camera();
  side = opts.pixels;
  fprintf('Simulating %d frames of %dx%d pixels (%d nm pixels)...\n', opts.frames, side, side, ...
          cam.pixelNm);
  started = tic;
  emitters = structures(side, cam);
  [events, photons] = blink(emitters, opts.frames);
  recording = fullfile(outDir, 'demo_recording.rec');
  simulateRecording(recording, emitters, events, photons, side, opts.frames, cam);
  times.simulate = toc(started);

  % Read, find, cut and fit, a block of frames at a time.
  cam.progress = true;
  [fits, stageTimes, frameSum, rawFrame] = localiseRecording(recording, cam);
  for stage = fieldnames(stageTimes)'
    times.(stage{1}) = stageTimes.(stage{1});
  end
  frameCount = opts.frames;

  % Super-resolved images, eight times finer than the camera: render pixel ix covers camera
  % coordinates [ix/8 - 0.5, (ix+1)/8 - 0.5), since camera pixel i is centred on i.
  scale = 8;
  started = tic;
  rx = single((fits(:, 1) + 0.5) * scale);
  ry = single((fits(:, 2) + 0.5) * scale);
  [counts, levels] = dotMosaic(side * scale, side * scale, rx, ry, 1);
  plainCounts = dotMosaic(side * scale, side * scale, rx, ry, 0);
  times.render = toc(started);

  started = tic;
  writeImages(outDir, rawFrame, frameSum, levels, plainCounts, scale, cam);
  times.pictures = toc(started);
  result = report(fits, emitters, events, photons, times, frameCount, cam);
  result.images = outDir;
  fprintf('\nPictures:\n');
  for name = {'demo_side_by_side.png', 'demo_raw_frame.png', 'demo_sum_of_frames.png', ...
              'demo_super_resolved.png', 'demo_super_resolved_counts.png'}
    fprintf('  %s\n', fullfile(outDir, name{1}));
  end
end

function cam = camera()
  cam.pixelNm = 100;      % camera pixel
  cam.sigma = 1.3;        % PSF standard deviation, camera pixels
  cam.offset = 100;       % camera offset, counts
  cam.background = 15;    % background photons per pixel and frame
  cam.box = 7;            % box edge for fitting, pixels
  cam.gain = 1;           % counts per photon
  cam.threshold = 60;     % filtered photons above the background a candidate must reach
end

% Emitter positions (camera pixels, pixel i centred on i) along rings and crossing lines.
function xy = structures(side, cam)
  spacing = 80 / cam.pixelNm;   % one emitter every 80 nm
  xy = zeros(0, 2);
  margin = 6;
  radii = [2.5 4 6 8.5];        % 250 to 850 nm
  for k = 1:max(4, round(side ^ 2 / 2048))
    r = radii(mod(k - 1, numel(radii)) + 1);
    centre = margin + r + rand(1, 2) * (side - 2 * (margin + r));
    n = round(2 * pi * r / spacing);
    angle = 2 * pi * (0:n - 1)' / n + rand() * 2 * pi;
    xy = [xy; centre + r * [cos(angle) sin(angle)]];
  end
  for k = 1:max(3, round(side / 40))
    a = margin + rand(1, 2) * (side - 2 * margin);
    b = margin + rand(1, 2) * (side - 2 * margin);
    n = round(norm(b - a) / spacing);
    t = (0:n - 1)' / max(n - 1, 1);
    xy = [xy; a + t * (b - a)];
  end
end

% Which emitter is on in which frame (rows: emitter, frame from 0) and its photon count.
function [events, photons] = blink(emitters, frames)
  onFraction = 0.02;
  count = round(size(emitters, 1) * frames * onFraction);
  events = [randi(size(emitters, 1), count, 1), randi(frames, count, 1) - 1];
  events = unique(events, 'rows');
  photons = 500 + 2500 * rand(size(events, 1), 1);
end

function simulateRecording(file, emitters, events, photons, side, frames, cam)
  data = zeros(side, side, frames, 'uint16');
  pixels = (0:side - 1)';
  lastReport = tic;
  for f = 0:frames - 1
    if toc(lastReport) > 3
      fprintf('  %d of %d frames simulated\n', f, frames);
      lastReport = tic;
    end
    on = events(:, 2) == f;
    mu = cam.background + expectedSpots(emitters(events(on, 1), :), photons(on), pixels, cam);
    data(:, :, f + 1) = uint16(cam.offset + poisson(mu));
  end
  writeRecording(file, data);
end

% Expected photons per pixel of Gaussian spots integrated over each pixel: separable, so one
% product of two matrices per frame.
function mu = expectedSpots(xy, n, pixels, cam)
  ex = pixelIntegrals(pixels, xy(:, 1)', cam.sigma);
  ey = pixelIntegrals(pixels, xy(:, 2)', cam.sigma);
  mu = ex * (n(:) .* ey');
end

% Fraction of a spot at `centre` falling into each pixel [p - 0.5, p + 0.5).
function e = pixelIntegrals(pixels, centre, sigma)
  s = sqrt(2) * sigma;
  e = 0.5 * (erf((pixels + 0.5 - centre) / s) - erf((pixels - 0.5 - centre) / s));
end

function k = poisson(mu)
  if exist('randp') ~= 0
    k = randp(mu);
  elseif exist('poissrnd')
    k = poissrnd(mu);
  else
    k = max(round(mu + sqrt(mu) .* randn(size(mu))), 0);  % ample counts: close to Poisson
  end
end

function writeImages(outDir, rawFrame, frameSum, levels, plainCounts, scale, cam)
  toGray = @(img) uint8(round(255 * (img - min(img(:))) / max(max(img(:)) - min(img(:)), eps)));
  % Rows of an image are X: shown transposed, so that X runs across.
  raw = toGray(double(rawFrame) - cam.offset)';
  widefield = toGray(frameSum)';
  superRes = uint8(round(levels' / 1023 * 255));
  imwrite(raw, fullfile(outDir, 'demo_raw_frame.png'));
  imwrite(widefield, fullfile(outDir, 'demo_sum_of_frames.png'));
  imwrite(superRes, fullfile(outDir, 'demo_super_resolved.png'));
  imwrite(toGray(min(double(plainCounts), 8))', fullfile(outDir, 'demo_super_resolved_counts.png'));
  % The three side by side, at the same field of view; the super-resolved image softened by
  % a pixel so that its structures still show when the figure is shown smaller.
  up = @(img) repelem(img, scale, scale);
  gap = 255 * ones(size(superRes, 1), 16, 'uint8');
  soft = conv2([0.25 0.5 0.25], [0.25 0.5 0.25], double(superRes), 'same');
  soft = uint8(min(255, 2 * soft));
  imwrite([up(raw), gap, up(widefield), gap, soft], fullfile(outDir, 'demo_side_by_side.png'));
end

% Matches localisations to the emitters on in the same frame, within one camera pixel, and
% prints and returns the figures. Its own work is timed too.
function r = report(fits, emitters, events, photons, times, frameCount, cam)
  started = tic;
  matchedEvent = matchToTruth(fits, emitters, events, frameCount);
  hit = matchedEvent > 0;
  matchedEvents = matchedEvent(hit);
  errors = fits(hit, 1:2) - emitters(events(matchedEvents, 1), :);
  matchedPhotons = photons(matchedEvents);
  r.frames = frameCount;
  r.spots = size(events, 1);
  r.localisations = size(fits, 1);
  r.rmsErrorPx = sqrt(mean(errors(:) .^ 2));
  r.errors = errors; r.matchedPhotons = matchedPhotons;
  r.crlbPx = sqrt(mean(crlbAt(matchedPhotons, cam) .^ 2));
  r.found = numel(matchedEvents);
  r.falseDetections = sum(~hit);
  % Blinks with no other emitter on within 5 pixels in the same frame: what the fit itself does.
  isolated = isolatedEvents(emitters, events, frameCount, 5);
  isolated = isolated(matchedEvents);
  r.isolatedRmsPx = sqrt(mean(reshape(errors(isolated, :), [], 1) .^ 2));
  r.isolatedCrlbPx = sqrt(mean(crlbAt(matchedPhotons(isolated), cam) .^ 2));
  times.report = toc(started);
  processing = times.read + times.detect + times.cut + times.fit + times.render;
  fprintf('\nFrames: %d; spots simulated: %d; localisations kept: %d\n', r.frames, r.spots, ...
          r.localisations);
  fprintf('Time: simulate and write %.2f s, read (frameFetch) %.2f s, find spots %.2f s, cut (boxGather) %.3f s,\n', ...
          times.simulate, times.read, times.detect, times.cut);
  fprintf('      fit %.2f s, render (dotMosaic) %.3f s, pictures %.2f s, report %.2f s; %.0f localisations per second\n', ...
          times.fit, times.render, times.pictures, times.report, r.localisations / processing);
  fprintf('Localisation error (RMS per axis, matched within 1 pixel): %.3f px = %.1f nm\n', ...
          r.rmsErrorPx, r.rmsErrorPx * cam.pixelNm);
  fprintf('Cramer-Rao bound for the simulated photons and background:  %.3f px = %.1f nm (ratio %.2f)\n', ...
          r.crlbPx, r.crlbPx * cam.pixelNm, r.rmsErrorPx / r.crlbPx);
  fprintf('Detection: %d of %d emitter blinks found (%.0f%%), %d false detections\n', r.found, ...
          r.spots, 100 * r.found / r.spots, r.falseDetections);
  fprintf(['Isolated blinks (no other emitter on within 5 pixels): RMS %.3f px = %.1f nm, ' ...
           'bound %.3f px (ratio %.2f)\n'], r.isolatedRmsPx, r.isolatedRmsPx * cam.pixelNm, ...
          r.isolatedCrlbPx, r.isolatedRmsPx / r.isolatedCrlbPx);
end

% For each localisation, the blink it matches (0 for none): the nearest not yet matched among
% those on in its frame, within one pixel, localisations taken in order. Frame by frame, so
% that the work grows with the blinks and localisations, not their product.
function matchedEvent = matchToTruth(fits, emitters, events, frameCount)
  matchedEvent = zeros(size(fits, 1), 1);
  [eventStarts, byFrame] = framesOf(events(:, 2), frameCount);
  [fitStarts, fitOrder] = framesOf(fits(:, 3), frameCount);
  for f = 1:frameCount
    candidates = byFrame(eventStarts(f) + 1:eventStarts(f + 1));
    truth = emitters(events(candidates, 1), :);
    taken = false(size(candidates));
    for i = fitOrder(fitStarts(f) + 1:fitStarts(f + 1))'
      distance = sqrt(sum((truth - fits(i, 1:2)) .^ 2, 2));
      distance(taken) = Inf;
      [nearest, k] = min([distance; Inf]);
      if nearest <= 1
        taken(k) = true;
        matchedEvent(i) = candidates(k);
      end
    end
  end
end

% Whether each blink has no other emitter on within `radius` pixels in its frame.
function isolated = isolatedEvents(emitters, events, frameCount, radius)
  isolated = false(size(events, 1), 1);
  [starts, byFrame] = framesOf(events(:, 2), frameCount);
  for f = 1:frameCount
    here = byFrame(starts(f) + 1:starts(f + 1));
    xy = emitters(events(here, 1), :);
    gaps = (xy(:, 1) - xy(:, 1)') .^ 2 + (xy(:, 2) - xy(:, 2)') .^ 2;
    isolated(here) = sum(gaps < radius ^ 2, 2) == 1;
  end
end

% Indices of the rows of each frame (0-based frames): rows order(starts(f) + 1:starts(f + 1))
% are those of frame f - 1.
function [starts, order] = framesOf(frames, frameCount)
  [~, order] = sort(frames);
  starts = [0; cumsum(accumarray(frames + 1, 1, [frameCount 1]))];
end

% The Cramer-Rao bound on one coordinate of spots with these photons on the simulated
% background, centred in a box: the best any unbiased localisation can do. It is smooth in the
% photons, so it is computed for 64 counts over their range and interpolated between them.
function bound = crlbAt(n, cam)
  bound = zeros(size(n(:)));
  if isempty(n)
    return;
  end
  c = (cam.box - 1) / 2;
  grid = unique(exp(linspace(log(min(n(:))), log(max(n(:))), 64)'));
  theta = [repmat([c c], numel(grid), 1), grid, ...
           repmat([cam.background cam.sigma], numel(grid), 1)];
  bounds = spotBounds(theta, cam.box, 4);
  if numel(grid) == 1
    bound(:) = bounds(1, 1);
  else
    bound = exp(interp1(log(grid), log(bounds(:, 1)), log(n(:))));
  end
end
