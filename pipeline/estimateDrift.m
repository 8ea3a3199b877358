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
%        128 pixels). The field is where all but the outermost 0.1% of the
%        localisations lie along each axis, and a little more; those outside
%        it are left out of the images, so that a stray localisation far
%        away does not coarsen them.
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
%        20,000 localisations are taken for it, every k-th, and fewer where
%        so many crowd together that they would make more than about 10^6
%        pairs; where the pairs leave the curve undetermined, this step is
%        left out.) The drift of
%        frame 0 is then taken away.
%
%   Inputs
%     fits        N-by-3 or wider: x and y (pixels) and frame (0-based) in its
%                 first three columns, as localiseRecording returns
%     frameCount  the recording's number of frames; for 1, drift is 0 0
%     segments    (optional) how many segments, a whole number of at least 2;
%                 each must hold at least 50 localisations
%   frameCount and segments may be of any real numeric class.
%
%   Output
%     drift  frameCount-by-2: the x and y drift of each frame relative to
%            frame 0 (its first row is 0), in pixels, so that
%              corrected = fits(:, 1:2) - drift(fits(:, 3) + 1, :);
%            Only x and y: localisations with depth (localiseRecording with
%            a psf) keep their z as fitted. Axial drift needs a reference
%            the localisations do not give (a bead, or the microscope's own
%            focus lock).
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
frameCount = double(frameCount);
fits = double(fits(:, 1:3));
frames = fits(:, 3);
if ~all(frames >= 0 & frames < frameCount & frames == round(frames)) || ...
   ~all(isfinite(fits(:, 1)) & isfinite(fits(:, 2)))
  error('estimateDrift:BadFrames', ...
        'the frames must be whole numbers from 0 to frameCount - 1, and the positions finite.');
end
if frameCount == 1
  drift = [0 0];  % one frame: nothing to drift from
  return;
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
segments = double(segments);
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
curve = @(f) [alongFrames(centres, shifts(:, 1), f), alongFrames(centres, shifts(:, 2), f)];
[at, left] = remainingDrift(fits(:, 1:2) - curve(frames), frames, frameCount);
driftAt = @(f) curve(f) + [interp1(at, left(:, 1), f), interp1(at, left(:, 2), f)];
% Frames a million at a time, so that a long recording takes little more memory than its
% output.
drift = zeros(frameCount, 2);
first = driftAt(0);
for start = 0:2 ^ 20:frameCount - 1
  f = (start:min(start + 2 ^ 20, frameCount) - 1)';
  drift(f + 1, :) = driftAt(f) - first;
end
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
[origin, extent] = fieldOf(xy);
% Room beside the field for the largest shift sought, so that none wraps round.
reach = 0.25 * max(extent) + 1;
bin = (max(extent) + reach) / 512;
side = ceil((extent + reach) / bin);
spectra = cell(segments, 1);
for k = 1:segments
  mine = which == k;
  inside = mine & all(xy >= origin & xy <= origin + extent, 2);
  image = dotMosaic(side(1), side(2), single((xy(inside, 1) - origin(1)) / bin), ...
                    single((xy(inside, 2) - origin(2)) / bin), 0);
  spectra{k} = fft2(double(image));
end
% A Gaussian of one bin on each image, two in the correlation: a smooth peak.
fx = (mod((0:side(1) - 1)' + floor(side(1) / 2), side(1)) - floor(side(1) / 2)) / side(1);
fy = (mod((0:side(2) - 1) + floor(side(2) / 2), side(2)) - floor(side(2) / 2)) / side(2);
smoothing = exp(-4 * pi ^ 2 * (fx .^ 2 + fy .^ 2));
% At most half a side: the correlation's shifts beyond that are the opposite ones.
reach = min(ceil(reach / bin), floor((side - 1) / 2));
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
% The field the images cover: along each axis, from the 0.1st to the 99.9th percentile of the
% positions, widened by a twentieth of that span and a pixel at both ends.
function [origin, extent] = fieldOf(xy)
sorted = sort(xy, 1);
n = size(xy, 1);
low = sorted(max(1, ceil(0.001 * n)), :);
high = sorted(min(n, floor(0.999 * n) + 1), :);
margin = 0.05 * (high - low) + 1;
origin = low - margin;
extent = high - low + 2 * margin;
end

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
% different frames: a curve straight between knots, by least squares, robustly (step 5), as
% its values `left` at frames `at` (none: 0 from the first frame to the last).
function [at, left] = remainingDrift(xy, frames, frameCount)
at = [0; frameCount - 1];
left = zeros(2, 2);
step = ceil(size(xy, 1) / 20000);
% Fewer still where they crowd into a few cells (all at one place, say): the pairs grow as the
% square of a cell's count, and about 10^6 of them are plenty.
[~, ~, cell] = unique(floor(3 * xy(1:step:end, :)), 'rows');
pairsAbout = sum(accumarray(cell(:), 1) .^ 2);
step = step * ceil(sqrt(pairsAbout / 1e6));
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
knotsAt = linspace(0, frameCount - 1, knots)';
[ka, wa] = knotWeights(frames(a), knotsAt);
[kb, wb] = knotWeights(frames(b), knotsAt);
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
at = knotsAt;
left = values;
end

% The two knots about each frame and the weights of a straight line between them.
function [which, weight] = knotWeights(frames, at)
spacing = at(2) - at(1);
lower = min(floor(frames / spacing) + 1, numel(at) - 1);
t = (frames - at(lower)) / spacing;
which = [lower, lower + 1];
weight = [1 - t, t];
end

% Values at the segments' centres, at the frames given: a cubic spline through the centres,
% continued beyond them (a straight line for two).
function values = alongFrames(centres, atCentres, frames)
if numel(centres) > 2
  values = interp1(centres, atCentres, frames, 'spline', 'extrap');
else
  values = interp1(centres, atCentres, frames, 'linear', 'extrap');
end
end
