function result = runDemo(outDir, varargin)
  % result = runDemo(outDir)  A whole localisation experiment, on a simulated recording of a
  % simulated scientific CMOS camera.
  %
  % Simulates a camera whose every pixel has its own offset, gain and read noise, and a
  % recording through it of blinking emitters on known structures (rings of several radii and
  % crossing lines) on a sample that drifts. Then does what a user does: calibrates the camera
  % from dark and evenly lit stacks (calibrateCamera), localises the recording with the
  % camera's maps (localiseRecording: frameFetch, spotFind, boxGather and spotFit with each
  % pixel's read variance), estimates and corrects the drift (estimateDrift), renders the
  % localisations eight times finer than the camera (dotMosaic) and writes them as a table
  % other programs read (writeLocalisations). Writes the pictures, the table and the recording
  % to outDir and prints the stages' times, the localisation error against the true positions
  % beside the Cramer-Rao bound (with each pixel's read variance), the detection rate, how well
  % the calibration and the drift were found, and the error of the same recording localised
  % with one offset and gain and no read noise.
  %
  % runDemo(outDir, name, value, ...) takes options:
  %   'frames'   number of frames (500)
  %   'pixels'   side of the square camera frame in pixels (128)
  %   'seed'     seed of the simulation (1)
  %   'density'  how many times more emitters are on in each frame (1)
  %   'joint'    false leaves crowded candidates out instead of fitting them together (true)
  %   '3d'       true images in 3-D through a cylindrical lens (false): calibrates the depth
  %              from a simulated bead stack (calibrateAstigmatism), puts the structures at
  %              depths over +-400 nm, fits each spot's depth, reports it against its bound
  %              and draws the localisations coloured by depth (depthPicture)
  % Frames are processed in blocks, so long recordings need little memory; each stage says when
  % it starts, and the long ones print their progress every few seconds. result holds the figures printed (result.rmsErrorPx, result.found, ...)
  % and the folder of the pictures.
  if nargin < 1 || isempty(outDir)
    outDir = pwd;
  end
  opts = struct('frames', 500, 'pixels', 128, 'seed', 1, 'density', 1, 'joint', true, ...
                'depth', false);
  for k = 1:2:numel(varargin)
    name = lower(varargin{k});
    if strcmp(name, '3d')
      name = 'depth';  % a field name cannot start with a digit
    end
    opts.(name) = varargin{k + 1};
  end
  if ~exist(outDir, 'dir')
    mkdir(outDir);
  end
  rand('seed', opts.seed); randn('seed', opts.seed);
  if exist('randp') ~= 0
    randp('seed', opts.seed);  % Octave's Poisson generator keeps a state of its own
  end

  cam = experiment(opts.depth);
  side = opts.pixels;
  frameCount = opts.frames;
  fprintf('Simulating a camera and %d frames of %dx%d pixels (%d nm pixels)...\n', frameCount, ...
          side, side, cam.pixelNm);
  started = tic;
  camera = simulatedCamera(side);
  drift = simulatedDrift(frameCount);
  emitters = structures(side, cam, opts.depth);
  [events, photons] = blink(emitters, frameCount, opts.density);
  % Only the blinks centred in the frame, as the sample drifts under it.
  at = emitters(events(:, 1), 1:2) + drift(events(:, 2) + 1, :);
  inFrame = all(at >= -0.5 & at < side - 0.5, 2);
  events = events(inFrame, :);
  photons = photons(inFrame);
  recording = fullfile(outDir, 'demo_recording.rec');
  simulateRecording(recording, emitters, events, photons, drift, camera, cam);
  times.simulate = toc(started);

  % The camera's maps, as a user measures them: 1000 dark frames, and 4000 at each of two
  % light levels.
  fprintf('Calibrating the camera from 9000 simulated frames...\n');
  started = tic;
  [offset, variance, gain] = calibrateCamera(calibrationStack(camera, 0, 1000), ...
                                             {calibrationStack(camera, 40, 4000), ...
                                              calibrationStack(camera, 150, 4000)});
  times.calibrate = toc(started);
  cam.offset = offset;
  cam.gain = gain;
  cam.variance = variance;
  truePsf = [];
  if opts.depth
    % The lens's curves, as a user measures them: beads stepped through focus.
    fprintf('Calibrating the depth from a simulated stack of beads stepped through focus...\n');
    started = tic;
    truePsf = cam.psf;
    stageZ = -800:20:800;
    cam.psf = calibrateAstigmatism(beadStack(truePsf, stageZ), stageZ);
    times.depthCalibration = toc(started);
  end

  % Read, find, cut and fit, a block of frames at a time; then the drift, estimated and taken
  % out.
  cam.progress = true;
  cam.joint = opts.joint;
  fprintf('Localising the recording...\n');
  [fits, stageTimes, frameSum, rawFrame] = localiseRecording(recording, cam);
  for stage = fieldnames(stageTimes)'
    times.(stage{1}) = stageTimes.(stage{1});
  end
  fprintf('Estimating the drift, rendering, writing the table and the pictures...\n');
  started = tic;
  estimated = estimateDrift(fits, frameCount);
  fits(:, 1:2) = fits(:, 1:2) - estimated(fits(:, 3) + 1, :);
  times.drift = toc(started);

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
  writeLocalisations(fullfile(outDir, 'demo_localisations.csv'), fits, cam);
  times.table = toc(started);

  started = tic;
  writeImages(outDir, rawFrame, frameSum, levels, plainCounts, scale, camera);
  if opts.depth
    [picture, bar] = depthPicture(side * scale, side * scale, rx, ry, fits(:, 8), [-400 400]);
    imwrite([picture; bar], fullfile(outDir, 'demo_depth.png'));
  end
  times.pictures = toc(started);

  % The same recording with one offset and gain for every pixel and no read noise, as a
  % camera without its maps is taken.
  fprintf('Localising the recording again without the camera''s maps...\n');
  plain = rmfield(cam, 'variance');
  plain.offset = mean(offset(:));
  plain.gain = mean(gain(:));
  withoutMaps = localiseRecording(recording, plain);
  plainDrift = estimateDrift(withoutMaps, frameCount);
  withoutMaps(:, 1:2) = withoutMaps(:, 1:2) - plainDrift(withoutMaps(:, 3) + 1, :);

  truth = struct('emitters', emitters(:, 1:2), 'depths', emitters(:, 3), 'events', events, ...
                 'photons', photons, 'drift', drift, 'camera', camera, 'offset', offset, ...
                 'gain', gain, 'estimatedDrift', estimated, 'psf', truePsf);
  result = report(fits, withoutMaps, truth, times, frameCount, cam);
  result.images = outDir;
  fprintf('\nThe recording, pictures and the table:\n');
  names = {'demo_recording.rec', 'demo_side_by_side.png', 'demo_raw_frame.png', ...
           'demo_sum_of_frames.png', 'demo_super_resolved.png', ...
           'demo_super_resolved_counts.png', 'demo_localisations.csv'};
  if opts.depth
    names{end + 1} = 'demo_depth.png';
  end
  for name = names
    fprintf('  %s\n', fullfile(outDir, name{1}));
  end
end

% The experiment: the spots, the sample, and what localiseRecording is given.
function cam = experiment(depth)
  cam.pixelNm = 100;      % camera pixel
  cam.sigma = 1.3;        % PSF standard deviation, camera pixels
  cam.background = 15;    % background photons per pixel and frame
  cam.box = 7;            % box edge for fitting, pixels
  cam.threshold = 100;    % filtered photons above the background a candidate must reach: about
                          % 4.5 standard deviations of the filtered background, a fifth of the
                          % dimmest spot's
  if depth
    % Through a cylindrical lens: foci 500 nm apart, spots up to 2.3 pixels wide at +-400 nm.
    % Finding keeps the width in focus, which parts close spots best; boxes hold the widest.
    cam.psf = struct('sigma0', [1.3 1.28], 'c', [-250 250], 'd', [450 430], ...
                     'A', [0.06 -0.04], 'B', [0.03 0.02], 'zRange', [-900 900]);
    cam.box = 11;
  end
end

% A stack of 8 fluorescent beads (20,000 photons a frame on 20 a pixel, in photons) stepped
% through the depths stageZ, as calibrateAstigmatism takes it.
function stack = beadStack(psf, stageZ)
  side = 96;
  beads = [16 16; 48 18; 80 15; 18 48; 50 47; 79 50; 17 80; 62 78] + rand(8, 2);
  pixels = (0:side - 1)';
  stack = zeros(side, side, numel(stageZ));
  for f = 1:numel(stageZ)
    [sx, sy] = widthsAt(psf, repmat(stageZ(f), 8, 1));
    mu = 20 + pixelIntegrals(pixels, beads(:, 1)', sx') * ...
              (20000 * pixelIntegrals(pixels, beads(:, 2)', sy'))';
    stack(:, :, f) = poisson(mu);
  end
end

% The widths along x and y (pixels) at depths z of psf's defocus curves.
function [sx, sy] = widthsAt(psf, z)
  curve = @(a) psf.sigma0(a) * sqrt(1 + ((z - psf.c(a)) / psf.d(a)) .^ 2 + ...
                                     psf.A(a) * ((z - psf.c(a)) / psf.d(a)) .^ 3 + ...
                                     psf.B(a) * ((z - psf.c(a)) / psf.d(a)) .^ 4);
  sx = curve(1);
  sy = curve(2);
end

% A scientific CMOS camera: each pixel's offset (about 100 counts), gain (about 2 counts per
% photon, a few percent apart) and read noise (log-normal about 1.5 photons rms, one pixel in a
% hundred between 6 and 10).
function camera = simulatedCamera(side)
  camera.offset = 100 + 2 * randn(side);
  camera.gain = 2 * (1 + 0.03 * randn(side));
  rms = exp(log(1.5) + 0.3 * randn(side));
  noisy = rand(side) < 0.01;
  rms(noisy) = 6 + 4 * rand(nnz(noisy), 1);
  camera.readVariance = (rms .* camera.gain) .^ 2;  % counts squared
end

% The sample's drift, frames-by-2 pixels: 2.5 pixels along x over the recording, 1 along y, and a
% slow sine of half a pixel on both.
function drift = simulatedDrift(frames)
  f = (0:frames - 1)' / frames;
  drift = [2.5 * f + 0.5 * sin(pi * f), 1.0 * f + 0.5 * (1 - cos(pi * f))];
end

% Counts through the camera: offset + gain * photons + read noise, as whole counts.
function counts = throughCamera(camera, photons)
  counts = uint16(camera.offset + camera.gain .* photons + ...
                  sqrt(camera.readVariance) .* randn(size(photons)));
end

% A stack of an evenly lit field of `level` photons a pixel (0: dark), a block of frames at a
% time. Each count has the mean and the variance it has through the camera, offset + gain *
% level and gain^2 * level + read variance, as a Gaussian of those: the calibration sees only
% means and variances, and one draw a count is a fraction of the cost of Poisson photons and
% read noise drawn apart.
function stack = calibrationStack(camera, level, frames)
  side = size(camera.offset);
  stack = zeros([side frames], 'uint16');
  average = single(camera.offset + camera.gain * level);
  spread = single(sqrt(camera.gain .^ 2 * level + camera.readVariance));
  lastReport = tic;
  for first = 1:100:frames
    if toc(lastReport) > 5
      fprintf('  %d of %d frames at level %d simulated\n', first - 1, frames, level);
      lastReport = tic;
    end
    count = min(100, frames - first + 1);
    stack(:, :, first:first + count - 1) = uint16(average + spread .* ...
                                                  randn([side count], 'single'));
  end
end

% Emitter positions (camera pixels, pixel i centred on i) along rings and crossing lines, and
% their depths (nm): in 3-D each ring lies at a depth of its own and each line climbs from one
% depth to another, within +-400 nm; in 2-D all at 0.
function xyz = structures(side, cam, depth)
  spacing = 80 / cam.pixelNm;   % one emitter every 80 nm
  xy = zeros(0, 2);
  z = zeros(0, 1);
  radii = [2.5 4 6 8.5];        % 250 to 850 nm
  for k = 1:max(4, round(side ^ 2 / 2048))
    r = radii(mod(k - 1, numel(radii)) + 1);
    centre = rand(1, 2) * (side - 1);  % a ring about an edge is cut by it
    n = round(2 * pi * r / spacing);
    angle = 2 * pi * (0:n - 1)' / n + rand() * 2 * pi;
    xy = [xy; centre + r * [cos(angle) sin(angle)]];
    height = 0;
    if depth
      height = 800 * rand() - 400;  % drawn only in 3-D, so that 2-D draws what it always drew
    end
    z = [z; height * ones(n, 1)];
  end
  for k = 1:max(3, round(side / 40))
    % From beyond one edge to beyond another, mostly: the frame cuts the line.
    a = (rand(1, 2) * 1.5 - 0.25) * side;
    b = (rand(1, 2) * 1.5 - 0.25) * side;
    n = round(norm(b - a) / spacing);
    t = (0:n - 1)' / max(n - 1, 1);
    xy = [xy; a + t * (b - a)];
    ends = [0 0];
    if depth
      ends = 800 * rand(1, 2) - 400;
    end
    z = [z; ends(1) + t * (ends(2) - ends(1))];
  end
  xyz = [xy z];
end

% Which emitter is on in which frame (rows: emitter, frame from 0) and its photon count.
function [events, photons] = blink(emitters, frames, density)
  onFraction = 0.02 * density;
  count = round(size(emitters, 1) * frames * onFraction);
  events = [randi(size(emitters, 1), count, 1), randi(frames, count, 1) - 1];
  events = unique(events, 'rows');
  photons = 500 + 2500 * rand(size(events, 1), 1);
end

function simulateRecording(file, emitters, events, photons, drift, camera, cam)
  side = size(camera.offset, 1);
  frames = size(drift, 1);
  data = zeros(side, side, frames, 'uint16');
  pixels = (0:side - 1)';
  lastReport = tic;
  for f = 0:frames - 1
    if toc(lastReport) > 3
      fprintf('  %d of %d frames simulated\n', f, frames);
      lastReport = tic;
    end
    on = events(:, 2) == f;
    where = emitters(events(on, 1), 1:2) + drift(f + 1, :);
    mu = cam.background + expectedSpots(where, emitters(events(on, 1), 3), photons(on), ...
                                         pixels, cam);
    data(:, :, f + 1) = throughCamera(camera, poisson(mu));
  end
  writeRecording(file, data);
end

% Expected photons per pixel of Gaussian spots integrated over each pixel, of width cam.sigma or
% in 3-D of the widths of the lens's curves at depths z: separable, so one product of two
% matrices per frame.
function mu = expectedSpots(xy, z, n, pixels, cam)
  sx = cam.sigma;
  sy = cam.sigma;
  if isfield(cam, 'psf')
    [sx, sy] = widthsAt(cam.psf, z);
  end
  ex = pixelIntegrals(pixels, xy(:, 1)', sx(:)');
  ey = pixelIntegrals(pixels, xy(:, 2)', sy(:)');
  mu = ex * (n(:) .* ey');
end

% Fraction of a spot at `centre` falling into each pixel [p - 0.5, p + 0.5).
function e = pixelIntegrals(pixels, centre, sigma)
  s = sqrt(2) * sigma;
  e = 0.5 * (erf((pixels + 0.5 - centre) ./ s) - erf((pixels - 0.5 - centre) ./ s));
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
function r = report(fits, withoutMaps, truth, times, frameCount, cam)
  fprintf('Matching the localisations against the simulation...\n');
  started = tic;
  [errors, matchedEvents, hit] = matched(fits, truth, frameCount);
  [bounds, depthBounds] = boundsOf(matchedEvents, truth, cam);
  jointBounds = boundsWithNeighbours(matchedEvents, truth, cam, frameCount);
  r.frames = frameCount;
  r.spots = size(truth.events, 1);
  r.localisations = size(fits, 1);
  r.rmsErrorPx = sqrt(mean(errors(:) .^ 2));
  r.errors = errors;
  r.matchedPhotons = truth.photons(matchedEvents);
  r.crlbPx = sqrt(mean(bounds(:) .^ 2));
  % Both ratios over all blinks the same way: the RMS over blinks of each one's error over its
  % bound (alone, or with its neighbours; none where a neighbour sits on it).
  r.aloneRatio = sqrt(mean((errors(:) ./ bounds(:)) .^ 2));
  normalised = errors ./ jointBounds;
  normalised(isinf(jointBounds)) = 0;
  r.jointRatio = sqrt(mean(normalised(:) .^ 2));
  r.found = numel(matchedEvents);
  r.falseDetections = r.localisations - r.found;
  % The same ratio by the distance from each blink to the nearest other emitter on in its
  % frame; and the localisations that lie between two emitters on, within a pixel of a second
  % one that nothing found.
  nearest = nearestOn(truth.emitters(truth.events(:, 1), :), truth.events(:, 2), frameCount);
  r.crowdingEdges = [1 2 4 6 Inf];
  for c = 1:4
    in = nearest(matchedEvents) >= r.crowdingEdges(c) & ...
         nearest(matchedEvents) < r.crowdingEdges(c + 1);
    r.crowdingCounts(c) = nnz(in);
    r.crowdingRatios(c) = sqrt(mean(reshape(normalised(in, :), [], 1) .^ 2));
  end
  unfound = true(size(truth.events, 1), 1);
  unfound(matchedEvents) = false;
  r.betweenTwo = betweenTwo(fits(hit, 1:3), matchedEvents, unfound, truth, frameCount);
  % Blinks with no other emitter on within 5 pixels in the same frame (in 3-D, whose boxes are
  % wider, within a box side less one): what the fit itself does.
  r.isolatedRadius = 5;
  if ~isempty(truth.psf)
    r.isolatedRadius = cam.box - 1;
  end
  isolated = nearest(matchedEvents) >= r.isolatedRadius;
  r.isolatedRmsPx = sqrt(mean(reshape(errors(isolated, :), [], 1) .^ 2));
  r.isolatedCrlbPx = sqrt(mean(reshape(bounds(isolated, :), [], 1) .^ 2));
  if ~isempty(truth.psf)
    % Each axis apart: RMS error over RMS bound of the isolated blinks, z in nm.
    depthErrors = fits(hit, 8) - truth.depths(truth.events(matchedEvents, 1));
    axisErrors = [errors, depthErrors];
    allBounds = [bounds, depthBounds];
    r.isolatedDepthRatios = sqrt(mean(axisErrors(isolated, :) .^ 2) ./ ...
                                 mean(allBounds(isolated, :) .^ 2));
    r.depthRmsNm = sqrt(mean(depthErrors .^ 2));
    depths = -600:10:600;
    [sx, sy] = widthsAt(cam.psf, depths);
    [tx, ty] = widthsAt(truth.psf, depths);
    r.depthCalibrationPercent = 100 * sqrt(mean([sx ./ tx - 1, sy ./ ty - 1] .^ 2));
  end
  camera = truth.camera;
  r.offsetErrorCounts = sqrt(mean((truth.offset(:) - camera.offset(:)) .^ 2));
  r.gainErrorPercent = 100 * sqrt(mean((truth.gain(:) ./ camera.gain(:) - 1) .^ 2));
  r.driftErrorPx = sqrt(mean(sum((truth.estimatedDrift - truth.drift) .^ 2, 2) / 2));
  r.driftPx = max(sqrt(sum(truth.drift .^ 2, 2)));
  [plainErrors, plainEvents] = matched(withoutMaps, truth, frameCount);
  r.withoutMapsRmsPx = sqrt(mean(plainErrors(:) .^ 2));
  r.withoutMapsCrlbPx = sqrt(mean(reshape(boundsOf(plainEvents, truth, cam), [], 1) .^ 2));
  r.withoutMapsFound = numel(plainEvents);
  times.report = toc(started);
  processing = times.read + times.detect + times.cut + times.fit + times.render;
  r.localisationsPerSecond = r.localisations / processing;
  r.framesPerSecond = frameCount / processing;
  fprintf('\nFrames: %d; spots simulated: %d; localisations kept: %d\n', r.frames, r.spots, ...
          r.localisations);
  fprintf('Time: simulate and write %.2f s, read (frameFetch) %.2f s, find spots %.2f s, cut (boxGather) %.3f s,\n', ...
          times.simulate, times.read, times.detect, times.cut);
  fprintf('      fit %.2f s, render (dotMosaic) %.3f s, pictures %.2f s, report %.2f s; %.0f localisations per second\n', ...
          times.fit, times.render, times.pictures, times.report, r.localisationsPerSecond);
  fprintf('      calibrate (calibrateCamera) %.2f s, drift (estimateDrift) %.2f s, table (writeLocalisations) %.3f s\n', ...
          times.calibrate, times.drift, times.table);
  fprintf('Localisation error (RMS per axis, matched within 1 pixel): %.3f px = %.1f nm\n', ...
          r.rmsErrorPx, r.rmsErrorPx * cam.pixelNm);
  fprintf(['Each blink against its bound alone, for its photons and background (RMS bound ' ...
           '%.3f px = %.1f nm): RMS over blinks of error / bound %.2f\n'], r.crlbPx, ...
          r.crlbPx * cam.pixelNm, r.aloneRatio);
  fprintf(['Each blink against its bound with the emitters on within %d pixels fitted alongside: ' ...
           'RMS over blinks of error / bound %.2f\n'], cam.box - 1, r.jointRatio);
  fprintf('Detection: %d of %d emitter blinks found (%.1f%%), %d false detections\n', r.found, ...
          r.spots, 100 * r.found / r.spots, r.falseDetections);
  fprintf(['Crowding: error / joint bound by distance to the nearest emitter on: ' ...
           '1-2 px %.2f (%d), 2-4 px %.2f (%d), 4-6 px %.2f (%d), over 6 px %.2f (%d)\n'], ...
          [r.crowdingRatios; r.crowdingCounts]);
  fprintf(['Between two emitters: %d of the localisations kept (%.2f%%) lie within 1 px of a ' ...
           'second emitter on that nothing found\n'], r.betweenTwo, ...
          100 * r.betweenTwo / r.localisations);
  fprintf(['Isolated blinks (no other emitter on within %d pixels): RMS %.3f px = %.1f nm, ' ...
           'bound %.3f px (ratio %.2f)\n'], r.isolatedRadius, r.isolatedRmsPx, ...
          r.isolatedRmsPx * cam.pixelNm, r.isolatedCrlbPx, r.isolatedRmsPx / r.isolatedCrlbPx);
  fprintf('Calibration: offset %.2f counts rms, gain %.2f %% rms against the simulated camera\n', ...
          r.offsetErrorCounts, r.gainErrorPercent);
  if ~isempty(truth.psf)
    fprintf('Depth: isolated blinks ratio x %.2f, y %.2f, z %.2f\n', r.isolatedDepthRatios);
    fprintf('Depth: RMS error over all blinks found %.1f nm\n', r.depthRmsNm);
    fprintf('Calibration of depth: widths within %.2f %% rms of the simulated curves\n', ...
            r.depthCalibrationPercent);
  end
  fprintf('Drift: estimated within %.3f px rms of the simulated %.1f px\n', r.driftErrorPx, ...
          r.driftPx);
  fprintf('Without the camera''s maps: RMS %.3f px (ratio %.2f), %d blinks found (%.0f%%)\n', ...
          r.withoutMapsRmsPx, r.withoutMapsRmsPx / r.withoutMapsCrlbPx, r.withoutMapsFound, ...
          100 * r.withoutMapsFound / r.spots);
end

% The errors of the localisations that match a blink (within a pixel, in its frame) against the
% emitter's position, and the blinks they match.
function [errors, events, hit] = matched(fits, truth, frameCount)
  matchedEvent = matchToTruth(fits, truth.emitters, truth.events, frameCount);
  hit = matchedEvent > 0;
  events = matchedEvent(hit);
  errors = fits(hit, 1:2) - truth.emitters(truth.events(events, 1), :);
end

% The Cramer-Rao bounds on x and y of each blink, at its true position in its frame and its
% photons, on the simulated background, with the read variance (photons squared) of the
% pixels of a box around it: the best any unbiased localisation can do (spotBounds, by finite
% differences of the model). In 3-D, with each blink's depth unknown too, and its bound.
function [bounds, depthBounds] = boundsOf(events, truth, cam)
  camera = truth.camera;
  side = size(camera.offset, 1);
  g = cam.box;
  frames = truth.events(events, 2);
  xy = truth.emitters(truth.events(events, 1), :) + truth.drift(frames + 1, :);
  corner = min(max(round(xy) - (g - 1) / 2, 0), side - g);
  theta = [xy - corner, truth.photons(events), ...
           repmat([cam.background cam.sigma], numel(events), 1)];
  readPhotons = camera.readVariance ./ camera.gain .^ 2;
  [i, j] = ndgrid(0:g - 1, 0:g - 1);
  pixel = 1 + (corner(:, 1) + i(:)') + side * (corner(:, 2) + j(:)');
  boxes = reshape(readPhotons(pixel)', g, g, []);
  depthBounds = [];
  if isempty(truth.psf)
    bounds = spotBounds(theta, g, 4, boxes);
  else
    theta(:, 5) = truth.depths(truth.events(events, 1));
    bounds = spotBounds(theta, g, 5, boxes, truth.psf);
    depthBounds = bounds(:, 5);
  end
  bounds = bounds(:, 1:2);
end

% The bounds on x and y of each blink with the emitters on near it in its frame fitted
% alongside: those whose centres lie in the region of side 2 box - 1 about it, the region
% localiseRecording fits crowded candidates in, each emitter's position and photons an unknown
% of the joint Fisher information (spotBounds with neighbours). Inf where a neighbour sits so
% close that the information cannot tell them apart.
function bounds = boundsWithNeighbours(events, truth, cam, frameCount)
  camera = truth.camera;
  side = size(camera.offset, 1);
  g = 2 * cam.box - 1;
  frames = truth.events(:, 2);
  allXy = truth.emitters(truth.events(:, 1), :) + truth.drift(frames + 1, :);
  corner = min(max(round(allXy(events, :)) - (g - 1) / 2, 0), side - g);
  [starts, byFrame] = framesOf(frames, frameCount);
  near = cell(numel(events), 1);
  for k = 1:numel(events)
    f = frames(events(k));
    here = byFrame(starts(f + 1) + 1:starts(f + 2));
    here = here(here ~= events(k));
    place = allXy(here, :) - corner(k, :);
    inside = all(place >= -0.5 & place <= g - 0.5, 2);
    neighbours = [place(inside, :), truth.photons(here(inside))];
    if ~isempty(truth.psf)
      neighbours(:, 4) = truth.depths(truth.events(here(inside), 1));
    end
    near{k} = reshape(neighbours', 1, []);
  end
  perNeighbour = 3 + ~isempty(truth.psf);
  counts = cellfun(@numel, near) / perNeighbour;
  readPhotons = camera.readVariance ./ camera.gain .^ 2;
  [i, j] = ndgrid(0:g - 1, 0:g - 1);
  bounds = zeros(numel(events), 2);
  for n = unique(counts)'
    these = find(counts == n);
    theta = [allXy(events(these), :) - corner(these, :), truth.photons(events(these)), ...
             repmat([cam.background cam.sigma], numel(these), 1), vertcat(near{these})];
    pixel = 1 + (corner(these, 1) + i(:)') + side * (corner(these, 2) + j(:)');
    boxes = reshape(readPhotons(pixel)', g, g, []);
    if isempty(truth.psf)
      found = spotBounds(theta, g, 4, boxes);
    else
      theta(:, 5) = truth.depths(truth.events(events(these), 1));
      found = spotBounds(theta, g, 5, boxes, truth.psf);
    end
    bounds(these, :) = found(:, 1:2);
  end
  bounds(~(bounds < 100)) = Inf;
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

% Indices of the rows of each frame (0-based frames): rows order(starts(f) + 1:starts(f + 1))
% are those of frame f - 1.
function [starts, order] = framesOf(frames, frameCount)
  [~, order] = sort(frames);
  starts = [0; cumsum(accumarray(frames + 1, 1, [frameCount 1]))];
end

% For each blink, the distance to the nearest other emitter on in its frame (Inf for none);
% xy the blinks' positions, frames theirs.
function nearest = nearestOn(xy, frames, frameCount)
  nearest = Inf(size(frames));
  [starts, byFrame] = framesOf(frames, frameCount);
  for f = 1:frameCount
    here = byFrame(starts(f) + 1:starts(f + 1));
    gaps = (xy(here, 1) - xy(here, 1)') .^ 2 + (xy(here, 2) - xy(here, 2)') .^ 2;
    gaps(1:numel(here) + 1:end) = Inf;
    nearest(here) = sqrt(min([gaps, Inf(numel(here), 1)], [], 2));
  end
end

% How many localisations (x, y, frame; each matching the blink in `events`) lie within a pixel
% of a second emitter on in their frame that no localisation found (unfound, over blinks).
function count = betweenTwo(located, events, unfound, truth, frameCount)
  count = 0;
  [starts, byFrame] = framesOf(truth.events(:, 2), frameCount);
  for k = 1:size(located, 1)
    f = located(k, 3);
    here = byFrame(starts(f + 1) + 1:starts(f + 2));
    here = here(here ~= events(k) & unfound(here));
    distance = sqrt(sum((truth.emitters(truth.events(here, 1), :) - located(k, 1:2)) .^ 2, 2));
    count = count + any(distance <= 1);
  end
end
