function drift = estimateDrift(fits, frameCount, segments)
%ESTIMATEDRIFT  The sample's drift over a recording, from its localisations.
%   drift = estimateDrift(fits, frameCount)
%   drift = estimateDrift(fits, frameCount, segments)
%
%   Over the minutes of a recording the sample moves by tens to hundreds of
%   nanometres. estimateDrift measures that from the localisations themselves,
%   by redundant cross-correlation (Wang et al., Optics Express 2014), refined
%   on the pairs of localisations one emitter gives:
%     1. The frames are split into consecutive segments of nearly equal length
%        (segments of them; by default one for every 800 localisations, from 3
%        to 20), and each segment's localisations are rendered with dotMosaic
%        on a grid of 512 bins along the longer side of the field and room
%        for a shift of a quarter of it (a bin is 0.29 pixel for a field of
%        128 pixels).
%     2. Every pair of segments is cross-correlated through the FFT, smoothed
%        by a Gaussian of one bin, and the peak within a quarter of the field of
%        no shift is found to a fraction of a bin (a parabola through the
%        logarithms of the three values about the largest, along each axis).
%     3. The segments' drifts follow from all the pairs' shifts by least
%        squares; pairs whose residual is more than three times the median
%        (and more than a twentieth of a bin) are dropped, and the system
%        solved again.
%     4. The drift of every frame is interpolated between the segments'
%        centres by a cubic spline (not-a-knot); before the first centre and
%        after the last (half a segment each) the drift keeps moving as the
%        spline's end pieces do (for two segments, along the straight line
%        through them).
%     5. Within a segment the sample drifts too, which smears its image and
%        flattens the peaks, and frame 0 lies half a segment before the first
%        centre: so the drift left is then measured on the localisations
%        themselves. Two corrected localisations closer than a third of a pixel
%        along both axes in different frames are most likely one emitter's,
%        and their difference is the drift between their frames. A curve
%        straight between knots spread evenly from frame 0 to the last (one
%        for every 400 localisations, from 2 to 50) is fitted to those
%        differences by least squares, twice more without the pairs whose
%        residual is more than three times the median, and added. (At most
%        20,000 localisations are taken for it, every k-th; where the pairs
%        leave the curve undetermined, this step is left out.) The drift of
%        frame 0 is then taken away.
%
%   Inputs
%     fits        N-by-3 or wider: x and y (pixels) and frame (0-based) in its
%                 first three columns, as localiseRecording returns
%     frameCount  the recording's number of frames
%     segments    (optional) how many segments, a whole number of at least 2;
%                 each must hold at least 50 localisations
%
%   Output
%     drift  frameCount-by-2: the x and y drift of each frame relative to
%            frame 0 (its first row is 0), in pixels, so that
%              corrected = fits(:, 1:2) - drift(fits(:, 3) + 1, :);
%
%   Errors
%     estimateDrift:WrongNumberOfInputs  Usage: drift = estimateDrift(fits,
%                                        frameCount, segments)
%     estimateDrift:WrongSize        fits must be a real numeric table with
%                                    the columns x, y and frame
%     estimateDrift:BadFrameCount    frameCount must be a whole number of at
%                                    least 1
%     estimateDrift:BadFrames        the frames must be whole numbers from 0 to
%                                    frameCount - 1, and the positions finite
%     estimateDrift:BadSegments      segments must be a whole number of at
%                                    least 2, at most frameCount
%     estimateDrift:TooFewLocalisations  a segment holds fewer than 50
%                                    localisations
%
%   Example: a recording's localisations corrected for the drift
%     fits = localiseRecording('cells.rec', cam);
%     [~, frameCount] = frameFetch(0, 'cells.rec');
%     drift = estimateDrift(fits, frameCount);
%     fits(:, 1:2) = fits(:, 1:2) - drift(fits(:, 3) + 1, :);
%
%   See also LOCALISERECORDING, DOTMOSAIC.
if nargin < 2 || nargin > 3
  error('estimateDrift:WrongNumberOfInputs', ...
        'Usage: drift = estimateDrift(fits, frameCount, segments)');
end
if ~isnumeric(fits) || ~isreal(fits) || issparse(fits) || ndims(fits) ~= 2 || size(fits, 2) < 3
  error('estimateDrift:WrongSize', ...
        'fits must be a real numeric table with the columns x, y and frame.');
end
if ~isnumeric(frameCount) || ~isscalar(frameCount) || ~isreal(frameCount) || ...
   ~(frameCount >= 1) || frameCount ~= round(frameCount) || isinf(frameCount)
  error('estimateDrift:BadFrameCount', 'frameCount must be a whole number of at least 1.');
end
fits = double(fits(:, 1:3));
frames = fits(:, 3);
if ~all(frames >= 0 & frames < frameCount & frames == round(frames)) || ...
   ~all(isfinite(fits(:, 1)) & isfinite(fits(:, 2)))
  error('estimateDrift:BadFrames', ...
        'the frames must be whole numbers from 0 to frameCount - 1, and the positions finite.');
end
least = 50;
if nargin < 3
  segments = min(20, max(3, floor(size(fits, 1) / 800)));
  segments = min(segments, frameCount);
elseif ~isnumeric(segments) || ~isscalar(segments) || ~isreal(segments) || ...
       ~(segments >= 2) || segments ~= round(segments) || segments > frameCount
  error('estimateDrift:BadSegments', ...
        'segments must be a whole number of at least 2, at most frameCount.');
end
% Segment k holds frames edges(k) ... edges(k + 1) - 1.
edges = round((0:segments) * frameCount / segments);
which = discretise(frames, edges);
counts = accumarray(which, 1, [segments 1]);
if any(counts < least)
  error('estimateDrift:TooFewLocalisations', ...
        ['each of the %d segments needs at least %d localisations; segment %d has %d ' ...
         '(fewer segments: estimateDrift(fits, frameCount, segments))'], segments, least, ...
        find(counts < least, 1), counts(find(counts < least, 1)));
end
centres = (edges(1:end - 1) + edges(2:end) - 1) / 2;
shifts = segmentDrifts(fits(:, 1:2), which, segments);
drift = [alongFrames(centres, shifts(:, 1), frameCount), ...
         alongFrames(centres, shifts(:, 2), frameCount)];
drift = drift + remainingDrift(fits(:, 1:2) - drift(frames + 1, :), frames, frameCount);
drift = drift - drift(1, :);
end

% Segment (1 ... numel(edges) - 1) of each frame.
function which = discretise(frames, edges)
which = ones(size(frames));
for k = 2:numel(edges) - 1
  which = which + (frames >= edges(k));
end
end

% Each segment's drift relative to the first, in pixels, from the cross-correlation of every
% pair of segments.
function drift = segmentDrifts(xy, which, segments)
origin = min(xy, [], 1);
extent = max(xy, [], 1) - origin;
% Room beside the field for the largest shift sought, so that none wraps round.
reach = 0.25 * max(extent) + 1;
bin = (max(extent) + reach) / 512;
side = ceil((extent + reach) / bin);
spectra = cell(segments, 1);
for k = 1:segments
  mine = which == k;
  image = dotMosaic(side(1), side(2), single((xy(mine, 1) - origin(1)) / bin), ...
                    single((xy(mine, 2) - origin(2)) / bin), 0);
  spectra{k} = fft2(double(image));
end
% A Gaussian of one bin on each image, two in the correlation: a smooth peak.
fx = (mod((0:side(1) - 1)' + floor(side(1) / 2), side(1)) - floor(side(1) / 2)) / side(1);
fy = (mod((0:side(2) - 1) + floor(side(2) / 2), side(2)) - floor(side(2) / 2)) / side(2);
smoothing = exp(-4 * pi ^ 2 * (fx .^ 2 + fy .^ 2));
reach = ceil(reach / bin) * [1 1];
pairs = nchoosek(1:segments, 2);
measured = zeros(size(pairs, 1), 2);
for p = 1:size(pairs, 1)
  correlation = real(ifft2(conj(spectra{pairs(p, 1)}) .* spectra{pairs(p, 2)} .* smoothing));
  measured(p, :) = peakOf(correlation, reach) * bin;
end
% d_j - d_i = shift of pair (i, j), with d_1 = 0: least squares, then again without the pairs
% far off.
design = zeros(size(pairs, 1), segments);
design(sub2ind(size(design), (1:size(pairs, 1))', pairs(:, 2))) = 1;
design(sub2ind(size(design), (1:size(pairs, 1))', pairs(:, 1))) = -1;
design = design(:, 2:end);
solution = design \ measured;
residual = sqrt(sum((design * solution - measured) .^ 2, 2));
kept = residual <= max(3 * median(residual), bin / 20);
if ~all(kept) && rank(design(kept, :)) == segments - 1
  solution = design(kept, :) \ measured(kept, :);
end
drift = [0 0; solution];
end

% The shift of a correlation's peak (in bins, to a fraction of one), among shifts of at most
% `reach` bins along each axis: a parabola through the logarithms of the three values about
% the largest, along each axis.
function shift = peakOf(correlation, reach)
[rows, columns] = size(correlation);
near = [0:reach(1), rows - reach(1):rows - 1]' + 1;
across = [0:reach(2), columns - reach(2):columns - 1] + 1;
window = correlation(near, across);
[~, at] = max(window(:));
[i, j] = ind2sub(size(window), at);
i = near(i) - 1;
j = across(j) - 1;
value = @(a, b) log(max(correlation(mod(a, rows) + 1, mod(b, columns) + 1), realmin));
shift = [i + vertex(value(i - 1, j), value(i, j), value(i + 1, j)), ...
         j + vertex(value(i, j - 1), value(i, j), value(i, j + 1))];
shift = shift - [rows columns] .* (shift > [rows columns] / 2);
end

function offset = vertex(before, here, after)
curvature = before - 2 * here + after;
offset = 0;
if curvature < 0
  offset = max(-0.5, min(0.5, (before - after) / (2 * curvature)));
end
end

% The drift left in corrected localisations, from the pairs closer than a third of a pixel in
% different frames: a curve straight between knots, by least squares, robustly (step 5).
function left = remainingDrift(xy, frames, frameCount)
left = zeros(frameCount, 2);
step = ceil(size(xy, 1) / 20000);
xy = xy(1:step:end, :);
frames = frames(1:step:end);
knots = max(2, min(50, round(size(xy, 1) / 400)));
[a, b] = closePairs(xy, 1 / 3);
apart = frames(a) ~= frames(b);
a = a(apart);
b = b(apart);
if frameCount < 2 || numel(a) < 4 * knots
  return;
end
at = linspace(0, frameCount - 1, knots)';
[ka, wa] = knotWeights(frames(a), at);
[kb, wb] = knotWeights(frames(b), at);
difference = xy(b, :) - xy(a, :);
kept = true(numel(a), 1);
for attempt = 1:3
  use = find(kept);
  m = numel(use);
  design = sparse(repmat((1:m)', 1, 4), [kb(use, :), ka(use, :)], [wb(use, :), -wa(use, :)], ...
                  m, knots);
  design = design(:, 2:end);  % the first knot is 0: only differences are measured
  normal = full(design' * design);
  if rcond(normal) < 1e-12
    return;
  end
  values = [0 0; normal \ full(design' * difference(use, :))];
  residual = sqrt(sum((design * values(2:end, :) - difference(use, :)) .^ 2, 2));
  kept(use) = residual <= 3 * median(residual);
end
f = (0:frameCount - 1)';
left = [interp1(at, values(:, 1), f), interp1(at, values(:, 2), f)];
end

% The two knots about each frame and the weights of a straight line between them.
function [which, weight] = knotWeights(frames, at)
spacing = at(2) - at(1);
lower = min(floor(frames / spacing) + 1, numel(at) - 1);
t = (frames - at(lower)) / spacing;
which = [lower, lower + 1];
weight = [1 - t, t];
end

% Values at the segments' centres, for every frame: a cubic spline through the centres,
% continued beyond them (a straight line for two).
function values = alongFrames(centres, atCentres, frameCount)
frames = (0:frameCount - 1)';
if numel(centres) > 2
  values = interp1(centres, atCentres, frames, 'spline', 'extrap');
else
  values = interp1(centres, atCentres, frames, 'linear', 'extrap');
end
end
