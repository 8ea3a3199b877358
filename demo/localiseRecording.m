function [fits, times, frameSum, firstFrame] = localiseRecording(file, cam)
  % fits = localiseRecording(file, cam)  Every spot of a recording, found, cut and fitted:
  % frameFetch -> spotFind -> boxGather -> spotFit, a block of 100 frames at a time.
  %
  % cam describes the camera and the spots: offset and gain (counts = offset + gain * photons),
  % sigma (the spots' standard deviation in pixels), threshold (filtered photons above the
  % background a candidate must reach), box (the side of the fitted boxes) and, optionally,
  % progress (true prints how far a long run is). The finder needs no background or offset:
  % its filter cancels both.
  %
  % fits has a row per localisation kept: x and y (0-based pixels, x along the first
  % dimension), frame (0-based), photons, background (per pixel) and the larger of the bounds
  % on x and y. A fit is kept when it converged inside the box's inner part with more than 200
  % photons, a bound below half a pixel and a log-likelihood ratio that one spot explains (less
  % than 2.4 standard deviations of its chi-squared distribution above its mean);
  % candidates closer than a box to another in the same frame are left out, since neither can
  % be fitted alone.
  %
  % [fits, times, frameSum, firstFrame] = localiseRecording(...) also returns the seconds each
  % stage took (read, detect, cut, fit), the sum of all frames and the first frame.
  %
  % Many recordings spread over processes, one recording a task, in Octave (package parallel):
  %   pkg load parallel
  %   fits = parcellfun(2, @(f) localiseRecording(f, cam), files, 'UniformOutput', false);
  % and in MATLAB (Parallel Computing Toolbox):
  %   fits = cell(size(files));
  %   parfor k = 1:numel(files), fits{k} = localiseRecording(files{k}, cam); end
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
    [frame, frameCount] = frameFetch(first, file);
    if isempty(frame)
      error('localiseRecording:Unreadable', 'frame %d of %s could not be read', first, file);
    end
    last = min(first + block, frameCount) - 1;
    % Single, as boxGather takes it; spotFind takes it as well. One stack serves every block of
    % the same length: new memory costs more than the frames that fill it.
    if size(stack, 3) ~= last - first + 1 || ~isequal(size(frame), size(stack)(1:2))
      stack = zeros([size(frame), last - first + 1], 'single');
    end
    stack(:, :, 1) = frame;
    for k = first + 1:last
      stack(:, :, k - first + 1) = frameFetch(k, file);
    end
    times.read = times.read + toc(started);
    if nargout > 2
      if isempty(frameSum)
        frameSum = zeros(size(frame));
        firstFrame = frame;
      end
      frameSum = frameSum + sum(double(stack), 3);
    end

    started = tic;
    [cx, cy, cz] = spotFind(stack, cam.sigma, cam.threshold * cam.gain);
    alone = uncrowded(cx, cy, cz, cam.box);
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
              cz(keep) + first, theta(keep, 3:4), max(crlb(keep, 1:2), [], 2)];
      times.fit = times.fit + toc(started);
    end
    first = last + 1;
    if isfield(cam, 'progress') && cam.progress && toc(lastReport) > 3 && first < frameCount
      fprintf('  %d of %d frames done, %d localisations so far\n', first, frameCount, size(fits, 1));
      lastReport = tic;
    end
  end
end

% Candidates with another closer than a box in the same frame: both go.
function alone = uncrowded(x, y, z, g)
  alone = true(size(x));
  [~, order] = sort(z);
  starts = [0; find(diff(z(order))); numel(z)];
  for k = 1:numel(starts) - 1
    in = order(starts(k) + 1:starts(k + 1));
    near = abs(x(in) - x(in)') < g - 1 & abs(y(in) - y(in)') < g - 1;
    alone(in) = sum(near, 2) == 1;
  end
end

function keep = kept(theta, crlb, ratio, status, g)
  dof = g * g - 4;
  keep = status == 0 & theta(:, 1) > 0.5 & theta(:, 1) < g - 1.5 & theta(:, 2) > 0.5 & ...
         theta(:, 2) < g - 1.5 & theta(:, 3) > 200 & ratio < dof + 2.4 * sqrt(2 * dof) & ...
         max(crlb(:, 1:2), [], 2) < 0.5;
end
