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
%                photons)
%     gain       counts per photon
%     sigma      the spots' standard deviation in pixels
%     threshold  filtered photons above the background a candidate must
%                reach (spotFind's threshold, in photons)
%     box        the side of the fitted boxes in pixels, a whole number of
%                at least 3
%     progress   (optional) true prints how far a long run is
%   The finder needs no background or offset: its filter cancels both.
%
%   fits has a row per localisation kept: x and y (0-based pixels, x along
%   the first dimension of the frames), frame (0-based), photons, background
%   (photons per pixel) and the larger of the Cramer-Rao bounds on x and y.
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
%                                    offset, gain, sigma, threshold and box,
%                                    or box is not a whole number of at
%                                    least 3
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
%   See also FRAMEFETCH, SPOTFIND, BOXGATHER, SPOTFIT.
checkCamera(cam);
times = struct('read', 0, 'detect', 0, 'cut', 0, 'fit', 0);
fits = zeros(0, 6);
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
  [cx, cy, cz] = spotFind(stack, cam.sigma, cam.threshold * cam.gain);
  alone = ~crowded(cx, cy, cz, cam.box);
  cx = cx(alone); cy = cy(alone); cz = cz(alone);
  times.detect = times.detect + toc(started);
  if ~isempty(cx)
    started = tic;
    [boxes, x0, y0] = boxGather(cx, cy, cz, cam.box, stack);
    times.cut = times.cut + toc(started);
    started = tic;
    [theta, crlb, ratio, status] = spotFit((boxes - cam.offset) / cam.gain, cam.sigma);
    keep = kept(theta, crlb, ratio, status, cam.box);
    fits = [fits; double(x0(keep)) + theta(keep, 1), double(y0(keep)) + theta(keep, 2), ...
            cz(keep) + first, theta(keep, 3:4), max(crlb(keep, 1:2), [], 2)]; %#ok<AGROW>
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

% Candidates with another closer than g - 1 along both axes in the same frame. Each candidate
% is compared only with those in its own and the eight neighbouring cells of a grid of
% (g - 1)-pixel cells, so time and memory grow with the candidates, not their square.
function near = crowded(x, y, z, g)
n = numel(x);
near = false(n, 1);
if n < 2
  return;
end
side = g - 1;
cx = floor(x / side) + 1;
cy = floor(y / side) + 1;
height = max(cy) + 2;
width = max(cx) + 2;
key = (z * width + cx) * height + cy;
[key, order] = sort(key);
xs = x(order);
ys = y(order);
starts = find([true; diff(key) ~= 0]);
cellKeys = key(starts);
counts = diff([starts; n + 1]);
sortedNear = false(n, 1);
for dx = -1:1
  for dy = -1:1
    [found, neighbour] = ismember(key + dx * height + dy, cellKeys);
    who = find(found);
    neighbour = neighbour(found);
    for r = 0:max([0; counts(neighbour)]) - 1
      has = counts(neighbour) > r;
      i = who(has);
      j = starts(neighbour(has)) + r;
      hit = i ~= j & abs(xs(i) - xs(j)) < side & abs(ys(i) - ys(j)) < side;
      sortedNear(i(hit)) = true;
    end
  end
end
near(order) = sortedNear;
end

function keep = kept(theta, crlb, ratio, status, g)
dof = g * g - 4;
keep = status == 0 & theta(:, 1) > 0.5 & theta(:, 1) < g - 1.5 & theta(:, 2) > 0.5 & ...
       theta(:, 2) < g - 1.5 & theta(:, 3) > 200 & ratio < dof + 2.4 * sqrt(2 * dof) & ...
       max(crlb(:, 1:2), [], 2) < 0.5;
end
