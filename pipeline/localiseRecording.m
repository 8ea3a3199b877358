function [fits, times, frameSum, firstFrame] = localiseRecording(file, cam)
%LOCALISERECORDING  Find, cut and fit every spot of a camera recording.
%   fits = localiseRecording(file, cam)
%   [fits, times, frameSum, firstFrame] = localiseRecording(file, cam)
%
%   Runs the toolbox's pipeline on the recording at path file, a block of
%   100 frames at a time: frameFetch reads the frames, spotFind finds the
%   candidate spots, boxGather cuts a box around each and spotFit fits it.
%
%   cam describes the camera and the spots, a struct with the fields
%     offset     the camera's offset in counts (counts = offset + gain *
%                photons): a scalar, or a map the size of the frames
%                (width-by-height, as frameFetch returns them) for a camera
%                whose every pixel has its own, as calibrateCamera measures
%     gain       counts per photon, a scalar or such a map, above 0
%     variance   (optional, default 0) the read noise variance in counts
%                squared, a scalar or such a map
%     sigma      the spots' standard deviation in pixels
%     threshold  filtered photons above the background a candidate must
%                reach (spotFind's threshold, in photons)
%     box        the side of the fitted boxes in pixels, a whole number of
%                at least 3
%     progress   (optional) true prints how far a long run is
%   Each frame is read in photons, (frame - offset) ./ gain, by spotFind
%   itself; its filter cancels the background. The boxes are cut from the
%   frames as recorded and turned into photons with the maps cut the same
%   way, and spotFit fits them with each pixel's read variance in photons
%   squared, variance ./ gain.^2.
%
%   fits has a row per localisation kept: x and y (0-based pixels, x along
%   the first dimension of the frames), frame (0-based), photons, background
%   (photons per pixel), the larger of the Cramer-Rao bounds on x and y, and
%   the read variance (photons squared) of the pixel the spot is centred on.
%   A fit is kept when it converged inside the box's inner part with more
%   than 200 photons, a bound below half a pixel and a log-likelihood ratio
%   that one spot explains (less than 2.4 standard deviations of its
%   chi-squared distribution above its mean). Candidates closer than a box
%   side less one pixel to another in the same frame, along both axes, are
%   left out, since neither can be fitted alone. A recording of no frames
%   gives no rows.
%
%   times holds the seconds each stage took (read, detect, cut, fit);
%   frameSum is the sum of all frames and firstFrame the first frame (both
%   empty for a recording of no frames).
%
%   Errors
%     localiseRecording:BadCamera    cam is not a struct with the fields
%                                    offset, gain, sigma, threshold and box;
%                                    box is not a whole number of at least 3;
%                                    or offset, gain or variance is not a
%                                    real scalar or map the size of the
%                                    frames, finite, with gain above 0 and
%                                    variance not below 0
%     localiseRecording:Unreadable   a frame of the recording could not be
%                                    read (the message says which; for the
%                                    first frame also what the recording
%                                    library said, which frameFetch prints
%                                    for the others)
%     localiseRecording:FrameTooSmall  the frames are smaller than the box
%
%   Many recordings spread over processes, one recording a task, in Octave
%   (package parallel):
%     pkg load parallel
%     fits = parcellfun(2, @(f) localiseRecording(f, cam), files, ...
%                       'UniformOutput', false);
%   and in MATLAB (Parallel Computing Toolbox):
%     fits = cell(size(files));
%     parfor k = 1:numel(files), fits{k} = localiseRecording(files{k}, cam); end
%
%   See also FRAMEFETCH, SPOTFIND, BOXGATHER, SPOTFIT, CALIBRATECAMERA,
%   ESTIMATEDRIFT, WRITELOCALISATIONS.
checkCamera(cam);
times = struct('read', 0, 'detect', 0, 'cut', 0, 'fit', 0);
fits = zeros(0, 7);
maps = [];
frameSum = [];
firstFrame = [];
stack = [];
lastReport = tic;
block = 100;
frameCount = 1;
first = 0;
while first < frameCount
  started = tic;
  if first == 0
    % What the recording library says of the first frame is kept, not printed: a recording
    % of no frames is not an error, and one that cannot be read is told in the error.
    said = evalc('[frame, frameCount] = frameFetch(0, file);');
    % No frames, when the count was read (only the frame's lock failed).
    if frameCount == 0 && isempty(regexp(said, '@ dcimg_(init|open|getparaml)', 'once'))
      break;
    end
  else
    [frame, frameCount] = frameFetch(first, file);
    said = '';
  end
  if isempty(frame)
    unreadable(first, file, said);
  end
  if size(frame, 1) < cam.box || size(frame, 2) < cam.box
    error('localiseRecording:FrameTooSmall', ...
          'the frames of %s are %d-by-%d pixels, smaller than the box of %d.', file, ...
          size(frame, 1), size(frame, 2), cam.box);
  end
  if isempty(maps)
    maps = cameraMaps(cam, size(frame));
  end
  last = min(first + block, frameCount) - 1;
  % Single, as boxGather takes it; spotFind takes it as well. One stack serves every block of
  % the same length: new memory costs more than the frames that fill it.
  if size(stack, 3) ~= last - first + 1 || size(stack, 1) ~= size(frame, 1) || ...
     size(stack, 2) ~= size(frame, 2)
    stack = zeros([size(frame), last - first + 1], 'single');
  end
  stack(:, :, 1) = frame;
  for k = first + 1:last
    frame = frameFetch(k, file);
    if ~isequal(size(frame), [size(stack, 1), size(stack, 2)])
      unreadable(k, file, '');
    end
    stack(:, :, k - first + 1) = frame;
  end
  times.read = times.read + toc(started);
  if nargout > 2
    if isempty(frameSum)
      frameSum = zeros(size(frame));
      firstFrame = stack(:, :, 1);
    end
    frameSum = frameSum + sum(double(stack), 3);
  end

  started = tic;
  [cx, cy, cz] = spotFind(stack, cam.sigma, cam.threshold, cam.offset, cam.gain);
  alone = ~crowded(cx, cy, cz, cam.box);
  cx = cx(alone); cy = cy(alone); cz = cz(alone);
  times.detect = times.detect + toc(started);
  if ~isempty(cx)
    started = tic;
    [boxes, x0, y0] = boxGather(cx, cy, cz, cam.box, stack);
    [photons, variance] = inPhotons(boxes, cx, cy, maps, cam);
    times.cut = times.cut + toc(started);
    started = tic;
    [theta, crlb, ratio, status] = spotFit(photons, cam.sigma, false, variance);
    keep = kept(theta, crlb, ratio, status, cam.box);
    x = double(x0(keep)) + theta(keep, 1);
    y = double(y0(keep)) + theta(keep, 2);
    fits = [fits; x, y, cz(keep) + first, theta(keep, 3:4), max(crlb(keep, 1:2), [], 2), ...
            varianceAt(maps, x, y)]; %#ok<AGROW>
    times.fit = times.fit + toc(started);
  end
  first = last + 1;
  if isfield(cam, 'progress') && cam.progress && toc(lastReport) > 3 && first < frameCount
    fprintf('  %d of %d frames done, %d localisations so far\n', first, frameCount, ...
            size(fits, 1));
    lastReport = tic;
  end
end
end

function checkCamera(cam)
fields = {'offset', 'gain', 'sigma', 'threshold', 'box'};
if ~isstruct(cam) || ~isscalar(cam) || ~all(isfield(cam, fields))
  error('localiseRecording:BadCamera', ...
        'cam must be a struct with the fields offset, gain, sigma, threshold and box.');
end
if ~isnumeric(cam.box) || ~isscalar(cam.box) || ~(cam.box >= 3) || cam.box ~= round(cam.box)
  error('localiseRecording:BadCamera', 'cam.box must be a whole number of at least 3.');
end
end

% The camera's maps as the boxes are turned into photons with them: single, for boxGather, or
% empty where one value serves every pixel; and the read variance in photons squared.
function maps = cameraMaps(cam, frameSize)
variance = 0;
if isfield(cam, 'variance')
  variance = cam.variance;
end
values = {cam.offset, cam.gain, variance};
names = {'offset', 'gain', 'variance'};
for k = 1:3
  v = values{k};
  if ~isnumeric(v) || ~isreal(v) || issparse(v) || ...
     ~(isscalar(v) || isequal(size(v), frameSize)) || ~all(isfinite(v(:))) || ...
     (k == 2 && ~all(v(:) > 0)) || (k == 3 && ~all(v(:) >= 0))
    error('localiseRecording:BadCamera', ...
          ['cam.%s must be a real scalar or a %d-by-%d map, finite%s.'], names{k}, ...
          frameSize(1), frameSize(2), pick(k == 2, ', above 0', pick(k == 3, ', not below 0', '')));
  end
end
maps.offset = [];
maps.gain = [];
if ~isscalar(cam.offset)
  maps.offset = single(cam.offset);
end
if ~isscalar(cam.gain)
  maps.gain = single(cam.gain);
end
maps.readVariance = double(variance) ./ double(cam.gain) .^ 2;
maps.readMap = single(maps.readVariance);
end

function value = pick(condition, yes, no)
if condition
  value = yes;
else
  value = no;
end
end

% The boxes in photons, (counts - offset) ./ gain with the maps cut as the boxes were (or the
% one value of each), and the read variance of each box pixel in photons squared (0 without).
function [photons, variance] = inPhotons(boxes, cx, cy, maps, cam)
z = zeros(size(cx));
offset = cam.offset;
if ~isempty(maps.offset)
  offset = boxGather(cx, cy, z, cam.box, maps.offset);
end
gain = cam.gain;
if ~isempty(maps.gain)
  gain = boxGather(cx, cy, z, cam.box, maps.gain);
end
photons = (boxes - offset) ./ gain;
variance = maps.readVariance;
if ~isscalar(variance)
  variance = boxGather(cx, cy, z, cam.box, maps.readMap);
end
end

% The read variance (photons squared) of the pixel nearest each position.
function values = varianceAt(maps, x, y)
if isscalar(maps.readVariance)
  values = maps.readVariance * ones(size(x));
  return;
end
[width, height] = size(maps.readVariance);
ix = min(max(round(x), 0), width - 1);
iy = min(max(round(y), 0), height - 1);
values = maps.readVariance(ix + 1 + width * iy);
end

% What the recording library said, when it was kept, goes into the error; otherwise
% frameFetch has printed it.
function unreadable(index, file, said)
said = strtrim(said);
if ~isempty(said)
  said = sprintf(' (%s)', strrep(said, sprintf('\n'), '; '));
end
error('localiseRecording:Unreadable', 'frame %d of %s could not be read%s.', index, file, ...
      said);
end

% Candidates with another closer than g - 1 along both axes in the same frame.
function near = crowded(x, y, z, g)
near = false(size(x));
[i, j] = closePairs([x y], g - 1, z);
near([i; j]) = true;
end

function keep = kept(theta, crlb, ratio, status, g)
dof = g * g - 4;
keep = status == 0 & theta(:, 1) > 0.5 & theta(:, 1) < g - 1.5 & theta(:, 2) > 0.5 & ...
       theta(:, 2) < g - 1.5 & theta(:, 3) > 200 & ratio < dof + 2.4 * sqrt(2 * dof) & ...
       max(crlb(:, 1:2), [], 2) < 0.5;
end
