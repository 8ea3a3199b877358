function [fits, times, frameSum, firstFrame] = localiseRecording(file, cam, analysis)
%LOCALISERECORDING  Find, cut and fit every spot of a camera recording.
%   fits = localiseRecording(file, cam)
%   fits = localiseRecording(file, camera, analysis)
%   [fits, times, frameSum, firstFrame] = localiseRecording(...)
%
%   Runs the toolbox's pipeline on the recording at path file, a block of
%   frames at a time (as many as hold about 2^25 pixels, 128 MB in single):
%   frameFetch reads the frames, spotFind finds the candidate spots,
%   boxGather cuts a box around each and spotFit fits it; candidates whose
%   boxes overlap are fitted together by crowdFit.
%
%   cam describes the camera and the spots, a struct with the fields
%     offset     the camera's offset in counts (counts = offset + gain *
%                photons): a scalar, or a map the size of the frames
%                (width-by-height, as frameFetch returns them) for a camera
%                whose every pixel has its own, as calibrateCamera measures
%     gain       counts per photon, a scalar or such a map, above 0; NaN
%                marks a pixel the calibration could not measure
%                (calibrateCamera): it is left out, its value in each frame
%                taken as its neighbours' mean for finding, and it carries
%                no information in the fits (an infinite read variance)
%     variance   (optional, default 0) the read noise variance in counts
%                squared, a scalar or such a map
%     sigma      the spots' standard deviation in pixels
%     threshold  filtered photons above the background a candidate must
%                reach (spotFind's threshold, in photons)
%     box        the side of the fitted boxes in pixels, a whole number of
%                at least 3
%     joint      (optional, default true) false leaves out the candidates
%                whose boxes overlap instead of fitting them together
%     progress   (optional) true prints how far a long run is
%     psf        (optional) a depth calibration (calibrateAstigmatism): each
%                spot's depth is fitted too (spotFit and crowdFit with psf)
%   Every field may be of any real numeric class (joint and progress also
%   logical); the analysis is that of the same values as doubles. The
%   fields that say how to analyse (sigma, threshold, box, joint, progress
%   and psf) may come instead in a struct of their own, analysis, apart
%   from those that describe the camera (offset, gain, variance): a field
%   of analysis takes the place of cam's of the same name.
%   Each frame is read in photons, (frame - offset) ./ gain, by spotFind
%   itself; its filter cancels the background. The boxes are cut from the
%   frames as recorded and turned into photons with the maps cut the same
%   way, and spotFit fits them with each pixel's read variance in photons
%   squared, variance ./ gain.^2.
%
%   fits has a row per localisation kept: x and y (0-based pixels, x along
%   the first dimension of the frames), frame (0-based), photons, background
%   (photons per pixel), the larger of the Cramer-Rao bounds on x and y, and
%   the read variance (photons squared) of the pixel the spot is centred on;
%   with cam.psf, two columns more: the depth z (nm, in the calibration's
%   coordinates) and its Cramer-Rao bound (nm).
%   A fit is kept when it converged inside the box's inner part (a pixel in
%   from each side, but up to the frame's edge where the box meets it) with
%   more than 200 photons, a bound below half a pixel and a log-likelihood
%   ratio that its model explains (less than 3.5 standard deviations of its
%   chi-squared distribution above its mean, the degrees of freedom less one
%   for each depth); with psf also within the calibrated depths (not status
%   4) and with a depth bound below a quarter of their span.
%
%   Candidates closer than a box side less one pixel to another in the same
%   frame, along both axes, cannot be fitted alone: they form groups, linked
%   directly or through others (closePairs, pairGroups). A group of at most
%   five that lies within a box side less one along both axes is cut as one
%   region about it (the box's side and the group's span, at least two
%   pixels more than the box) and fitted by crowdFit, each emitter from its
%   candidate, an emitter added where the region holds more light. A larger
%   group gives each of its candidates a region of side 2 box - 1 about it,
%   fitted with its four nearest. A candidate alone in its box whose fit
%   converged but left more light than one spot explains (more than 2.4
%   standard deviations: two emitters spotFind saw as one, say) is fitted
%   again the same way, in a region of the box and two pixels about it,
%   where crowdFit may add the second; its fit alone stays only where that
%   region kept none near it. Emitters are kept as fits are, their region's
%   ratio judged against its own degrees of freedom; of two localisations of
%   one frame closer than half a pixel along both axes (regions that
%   overlap, or a region that reaches a neighbour fitted in its own box) the
%   one with the larger bound goes.
%
%   Then a second pass finds what the first could not see beside brighter
%   spots: about each localisation, a box of side 2 box - 1 is cut, less the
%   light of every spot fitted in its frame (spotLight), and spotFind looks
%   in it with the same threshold, raised where the fitted light adds its
%   own noise (times sqrt(1 + L / (16 b)), L the fitted light at the
%   candidate, b the background). Each candidate it finds that is new (not one of the first
%   pass's, nor within a pixel of a localisation) is fitted by crowdFit in a
%   region of side 2 box - 1 about it with its four nearest localisations
%   and new candidates, from the frame as recorded; the region's rows,
%   kept as above, take the place of the localisations they refit. A third
%   pass would find about one blink in 7,000 more. With cam.joint false,
%   crowded candidates are left out instead and there is no second pass. A
%   recording of no frames gives no rows.
%
%   times holds the seconds each stage took (read, detect, cut, fit; the
%   second pass's search counts as detect, its boxes and fits as cut and
%   fit); frameSum is the sum of all frames and firstFrame the first frame
%   (both empty for a recording of no frames).
%
%   Errors
%     localiseRecording:BadCamera    cam is missing or not a struct with the
%                                    fields offset, gain, sigma, threshold
%                                    and box; box is not a whole number of
%                                    at least 3; sigma is not from 0.1 to
%                                    20 and at most box; threshold is NaN
%                                    or not a real scalar; joint or
%                                    progress is not a logical or numeric
%                                    scalar; offset, gain or variance is not
%                                    a real scalar or map the size of the
%                                    frames, finite (gain may be NaN, not
%                                    everywhere), gain above 0 and not so
%                                    small that photons overflow, variance
%                                    not below 0; psf is not a usable depth
%                                    calibration (as spotFit takes it);
%                                    analysis is not a struct of those fields
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
%   See also FRAMEFETCH, SPOTFIND, BOXGATHER, SPOTFIT, CROWDFIT, SPOTLIGHT,
%   CALIBRATECAMERA, ESTIMATEDRIFT, WRITELOCALISATIONS.
if nargin < 2
  error('localiseRecording:BadCamera', 'Usage: fits = localiseRecording(file, cam), cam a struct.');
end
if nargin > 2
  cam = withAnalysis(cam, analysis);
end
cam = checkedCamera(cam);
depth = isfield(cam, 'psf');
joint = ~isfield(cam, 'joint') || cam.joint;
times = struct('read', 0, 'detect', 0, 'cut', 0, 'fit', 0);
fits = zeros(0, 7 + 2 * depth);
maps = [];
frameSum = [];
firstFrame = [];
stack = [];
lastReport = tic;
block = 1;
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
    % Each block's calls cost the same whatever its frames: many small frames a block, and
    % few large ones, so that memory stays bounded; blocks of one length share one stack.
    most = max(1, floor(2 ^ 25 / (size(frame, 1) * size(frame, 2))));
    block = ceil(frameCount / ceil(frameCount / most));
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
    % Dimension by dimension: isequal on the sizes costs as much as the read.
    if size(frame, 1) ~= size(stack, 1) || size(frame, 2) ~= size(stack, 2) || ndims(frame) ~= 2
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
  stack = withDeadFilled(stack, maps);
  [cx, cy, cz] = spotFind(stack, cam.sigma, cam.threshold, maps.findOffset, maps.findGain);
  % Candidates whose boxes share more than their edge pixels, directly or through others.
  [near, other] = closePairs([cx cy], cam.box - 1, cz);
  group = pairGroups(numel(cx), near, other);
  members = accumarray(group, 1, [max([group; 0]) 1]);
  alone = members(group) == 1;
  times.detect = times.detect + toc(started);
  [found, excess, cut, fitted, fallback] = isolatedFits(stack, cx(alone), cy(alone), ...
                                                        cz(alone), maps, cam);
  times.cut = times.cut + cut;
  times.fit = times.fit + fitted;
  % Fitted together: the groups, and the candidates alone in their box whose fit left more
  % light than one spot explains, where crowdFit may add the emitter spotFind did not part from
  % theirs.
  if joint
    crowded = find(~alone);
    number = zeros(size(cx));
    number(crowded) = 1:numel(crowded);
    [~, ~, crowdedGroup] = unique(group(crowded));
    isolated = find(alone);
    isolated = isolated(excess);
    together = [crowded; isolated];
    groups = [crowdedGroup(:); max([crowdedGroup(:); 0]) + (1:numel(isolated))'];
    [crowd, cut, fitted] = jointFits(stack, cx(together), cy(together), cz(together), groups, ...
                                     [number(near), number(other)], maps, cam);
    found = withoutRepeats([found; crowd]);
    % A spot fitted again with room for a second emitter keeps its fit alone only where the
    % region kept none near it.
    m = size(fallback, 1);
    [a, b] = closePairs([fallback(:, 1:2); found(:, 1:2)], cam.sigma, ...
                        [fallback(:, 3); found(:, 3)]);
    fallback(a(a <= m & b > m), :) = [];
    found = [found; fallback];
    times.cut = times.cut + cut;
    times.fit = times.fit + fitted;
    [found, findTime, cut, fitted] = withResidualFinds(stack, found, [cx cy cz], maps, cam);
    times.detect = times.detect + findTime;
    times.cut = times.cut + cut;
    times.fit = times.fit + fitted;
  end
  [~, order] = sort(found(:, 3));
  found(:, 3) = found(:, 3) + first;
  fits = [fits; found(order, :)]; %#ok<AGROW>
  first = last + 1;
  if isfield(cam, 'progress') && cam.progress && toc(lastReport) > 3 && first < frameCount
    fprintf('  %d of %d frames done, %d localisations so far\n', first, frameCount, ...
            size(fits, 1));
    lastReport = tic;
  end
end
end

% cam checked, its fields as doubles: whatever numeric class the user gives them, the analysis
% is the double's.
function cam = checkedCamera(cam)
fields = {'offset', 'gain', 'sigma', 'threshold', 'box'};
if ~isstruct(cam) || ~isscalar(cam) || ~all(isfield(cam, fields))
  error('localiseRecording:BadCamera', ...
        'cam must be a struct with the fields offset, gain, sigma, threshold and box.');
end
if ~isRealScalar(cam.box) || ~(cam.box >= 3) || cam.box ~= round(cam.box)
  error('localiseRecording:BadCamera', 'cam.box must be a whole number of at least 3.');
end
cam.box = double(cam.box);
if ~isRealScalar(cam.sigma) || ~(cam.sigma >= 0.1 && cam.sigma <= min(20, cam.box))
  error('localiseRecording:BadCamera', 'cam.sigma must be from 0.1 to 20 and at most cam.box.');
end
if ~isRealScalar(cam.threshold) || isnan(cam.threshold)
  error('localiseRecording:BadCamera', 'cam.threshold must be a real scalar, not NaN.');
end
cam.sigma = double(cam.sigma);
cam.threshold = double(cam.threshold);
for name = {'joint', 'progress'}
  if isfield(cam, name{1})
    value = cam.(name{1});
    if ~(islogical(value) && isscalar(value)) && ~(isRealScalar(value) && ~isnan(value))
      error('localiseRecording:BadCamera', 'cam.%s must be a logical or numeric scalar.', ...
            name{1});
    end
    cam.(name{1}) = value ~= 0;
  end
end
if isfield(cam, 'psf')
  cam.psf = checkedPsf(cam.psf, cam.box);
end
end

% The depth calibration as the fits take it, its fields as doubles; spotFit's own checks
% decide whether it is usable, raised as the camera's.
function psf = checkedPsf(psf, box)
names = {'sigma0', 'c', 'd', 'A', 'B', 'zRange'};
if ~isstruct(psf) || ~isscalar(psf) || ~all(isfield(psf, names))
  error('localiseRecording:BadCamera', ...
        'cam.psf must be a struct with the fields sigma0, c, d, A, B and zRange.');
end
for name = names
  if ~isnumeric(psf.(name{1})) || ~isreal(psf.(name{1}))
    error('localiseRecording:BadCamera', 'cam.psf.%s must be real and 1-by-2.', name{1});
  end
  psf.(name{1}) = double(psf.(name{1}));
end
try
  spotFit(zeros(box), psf);
catch err
  error('localiseRecording:BadCamera', 'cam.psf: %s', regexprep(err.message, '^spotFit: ', ''));
end
end

% cam with the fields of analysis in place of its own of the same names.
function cam = withAnalysis(cam, analysis)
names = {'sigma', 'threshold', 'box', 'joint', 'progress', 'psf'};
if ~isstruct(cam) || ~isscalar(cam) || ~isstruct(analysis) || ~isscalar(analysis) || ...
   ~all(ismember(fieldnames(analysis), names))
  error('localiseRecording:BadCamera', ['camera and analysis must be structs, analysis of ' ...
        'the fields sigma, threshold, box, joint, progress and psf.']);
end
for name = fieldnames(analysis)'
  cam.(name{1}) = analysis.(name{1});
end
end

function yes = isRealScalar(value)
yes = isnumeric(value) && isreal(value) && isscalar(value) && ~issparse(value);
end

% The camera's maps as the boxes are turned into photons with them: single, for boxGather, or
% empty where one value serves every pixel; and the read variance in photons squared. A pixel
% of gain NaN is one calibrateCamera could not measure: it is left out, its value in each
% frame taken from its neighbours (offset 0, gain 1) for finding, and its read variance
% infinite for fitting, where it carries no information.
function maps = cameraMaps(cam, frameSize)
variance = 0;
if isfield(cam, 'variance')
  variance = cam.variance;
end
values = {cam.offset, cam.gain, variance};
names = {'offset', 'gain', 'variance'};
for k = 1:3
  v = values{k};
  if ~isnumeric(v) || ~isreal(v) || issparse(v) || ~(isscalar(v) || isequal(size(v), frameSize))
    error('localiseRecording:BadCamera', 'cam.%s must be a real scalar or a %d-by-%d map.', ...
          names{k}, frameSize(1), frameSize(2));
  end
  values{k} = double(v);
end
[offset, gain, variance] = values{:};
dead = isnan(gain);
if ~all(isfinite(offset(:))) || ~all(gain(~dead) > 0 & isfinite(gain(~dead))) || ...
   ~all(variance(:) >= 0 & isfinite(variance(:))) || all(dead(:))
  error('localiseRecording:BadCamera', ['cam.offset and cam.variance must be finite, ' ...
        'variance not below 0, and cam.gain above 0 and finite (NaN: a pixel left out).']);
end
readVariance = variance ./ gain .^ 2;
if ~all(isfinite(readVariance(~dead))) || ~all(isfinite(single(1 ./ gain(~dead))))
  error('localiseRecording:BadCamera', 'cam.gain is too small: photons would overflow.');
end
maps.dead = find(dead);
if ~isempty(maps.dead)
  offset(dead) = 0;
  gain(dead) = 1;
  readVariance(dead) = Inf;
  [maps.near, maps.nearWeight] = neighboursOf(dead);
end
maps.findOffset = offset;
maps.findGain = gain;
maps.offset = [];
maps.gain = [];
if ~isscalar(offset)
  maps.offset = single(offset);
end
if ~isscalar(gain)
  maps.gain = single(gain);
end
maps.readVariance = readVariance;
maps.readMap = single(readVariance);
% The table's read variance of a spot centred on a pixel left out: the median of the others.
maps.tableVariance = readVariance;
maps.tableVariance(dead) = median(readVariance(~dead));
end

% For each pixel of `dead` (a logical map), its eight neighbours' linear indices as a row, the
% pixel's own where a neighbour is outside the frame or left out too, with weights that
% average those that count.
function [near, weight] = neighboursOf(dead)
[rows, columns] = size(dead);
[i, j] = find(dead);
near = zeros(numel(i), 8);
weight = zeros(numel(i), 8);
k = 0;
for di = -1:1
  for dj = -1:1
    if di == 0 && dj == 0
      continue;
    end
    k = k + 1;
    a = i + di;
    b = j + dj;
    inside = a >= 1 & a <= rows & b >= 1 & b <= columns;
    index = i + rows * (j - 1);
    index(inside) = a(inside) + rows * (b(inside) - 1);
    near(:, k) = index;
    weight(:, k) = inside & ~dead(index);
  end
end
weight = weight ./ max(sum(weight, 2), 1);
end

% The stack with each pixel left out set to the mean photons of its neighbours, so that the
% finder sees no edge there (a pixel with no neighbour to go by gets 0).
function stack = withDeadFilled(stack, maps)
if isempty(maps.dead)
  return;
end
shift = (0:size(stack, 3) - 1) * (size(stack, 1) * size(stack, 2));
near = maps.near(:);
photons = (double(stack(near + shift)) - maps.findOffset(near)) ./ maps.findGain(near);
photons = reshape(photons .* maps.nearWeight(:), numel(maps.dead), 8, []);
stack(maps.dead + shift) = single(reshape(sum(photons, 2), numel(maps.dead), []));
end

% The boxes of side `side` about (x, y) in frames z of the stack, in photons ((counts - offset)
% ./ gain, the maps cut as the boxes are), their corners and, when asked, their pixels' read
% variance in photons squared.
function [photons, x0, y0, variance] = boxesInPhotons(stack, x, y, z, side, maps)
[boxes, x0, y0] = boxGather(x, y, z, side, stack);
zero = zeros(size(x));
offset = maps.findOffset;
if ~isempty(maps.offset)
  offset = boxGather(x, y, zero, side, maps.offset);
end
gain = maps.findGain;
if ~isempty(maps.gain)
  gain = boxGather(x, y, zero, side, maps.gain);
end
photons = (boxes - offset) ./ gain;
if nargout > 3
  variance = maps.readVariance;
  if ~isscalar(variance)
    variance = boxGather(x, y, zero, side, maps.readMap);
  end
end
end

% Rows of the table (frame within the block) for the candidates at (x, y) in frames z, each
% fitted alone in its box; which of them converged but left more light in their box than one
% spot explains; and the rows kept of those, apart (fallback), when they are fitted again.
function [entries, excess, cut, fitted, fallback] = isolatedFits(stack, x, y, z, maps, cam)
entries = zeros(0, 7 + 2 * isfield(cam, 'psf'));
fallback = entries;
excess = false(size(x));
cut = 0;
fitted = 0;
if isempty(x)
  return;
end
started = tic;
[photons, x0, y0, variance] = boxesInPhotons(stack, x, y, z, cam.box, maps);
cut = toc(started);
started = tic;
[theta, crlb, ratio, status] = spotFit(photons, spotModel(cam), false, variance);
dof = cam.box ^ 2 - size(theta, 2);
keep = kept(theta, crlb, ratio, status, cam, innerPart(x0, y0, cam.box, size(stack)), dof);
excess = status == 0 & ~explained(ratio, dof, 2.4);
entries = tableRows(double(x0) + theta(:, 1), double(y0) + theta(:, 2), z, theta(:, 3:end), ...
                    crlb, maps);
% A fit fitted again with room for a second emitter has its row from there, or this one as a
% fallback.
again = excess & (~isfield(cam, 'joint') || cam.joint);
fallback = entries(keep & again, :);
entries = entries(keep & ~again, :);
fitted = toc(started);
end

% Rows of the table for the candidates of the groups given, fitted together: a group of at
% most five whose candidates lie within a box side less one along both axes in one region about
% it, of the box's side and its span (at least two pixels more than the box); each candidate of
% a larger group in a region of its own about it, of side twice the box less one, with the
% nearest four of its group (a spot two such regions hold is localised twice; withoutRepeats
% keeps one). pairs are the candidates' close pairs, which made the groups. Regions of one side
% go to crowdFit together.
function [entries, cut, fitted] = jointFits(stack, x, y, z, group, pairs, maps, cam)
entries = zeros(0, 7 + 2 * isfield(cam, 'psf'));
cut = 0;
fitted = 0;
g = cam.box;
if isempty(x)
  return;
end
started = tic;
n = numel(x);
members = accumarray(group, 1);
low = [accumarray(group, x, [], @min), accumarray(group, y, [], @min)];
high = [accumarray(group, x, [], @max), accumarray(group, y, [], @max)];
span = max(high - low, [], 2);
whole = find(members <= 5 & span <= g - 1);
regionOfGroup = zeros(size(members));
regionOfGroup(whole) = 1:numel(whole);
firstMember = accumarray(group, (1:n)', [], @min);
inWhole = find(regionOfGroup(group) > 0);
alone = find(regionOfGroup(group) == 0);
% Each region's centre, frame and side; the starts as (region, candidate, distance) rows.
centre = [floor((low(whole, :) + high(whole, :)) / 2); x(alone), y(alone)];
frame = [z(firstMember(whole)); z(alone)];
side = [g + 2 * max(1, ceil(span(whole) / 2)); repmat(2 * g - 1, numel(alone), 1)];
regionOf = zeros(n, 1);
regionOf(alone) = numel(whole) + (1:numel(alone))';
split = pairs(regionOf(pairs(:, 1)) > 0, :);
distance = hypot(x(split(:, 1)) - x(split(:, 2)), y(split(:, 1)) - y(split(:, 2)));
starts = [regionOfGroup(group(inWhole)), inWhole, zeros(size(inWhole));
          regionOf(alone), alone, zeros(size(alone));
          regionOf(split(:, 1)), split(:, 2), distance;
          regionOf(split(:, 2)), split(:, 1), distance];
starts = sortrows(starts, [1 3 2]);
regions = size(centre, 1);
startCount = accumarray(starts(:, 1), 1, [regions 1]);
firstStart = cumsum([1; startCount(1:end - 1)]);
rank = (1:size(starts, 1))' - firstStart(starts(:, 1)) + 1;
starts = starts(rank <= 5, :);
regions = struct('centre', centre, 'frame', frame, 'side', side);
cut = toc(started);
[entries, cutHere, fitted] = fitRegions(stack, regions, [starts(:, 1), x(starts(:, 2)), ...
                                                         y(starts(:, 2))], maps, cam);
cut = cut + cutHere;
end

% Rows of the table for the emitters of the regions (fields centre, frame and side, a row a
% region) fitted together from the starts (region, x, y; in the frame's coordinates). Regions
% of one side go to crowdFit together; those larger than the frame are left out.
function [entries, cut, fitted] = fitRegions(stack, regions, starts, maps, cam)
entries = zeros(0, 7 + 2 * isfield(cam, 'psf'));
cut = 0;
fitted = 0;
side = regions.side;
for s = unique(side(side <= min(size(stack, 1), size(stack, 2))))'
  started = tic;
  these = find(side == s);
  local = zeros(numel(side), 1);
  local(these) = 1:numel(these);
  own = starts(local(starts(:, 1)) > 0, :);
  [photons, x0, y0, variance] = boxesInPhotons(stack, regions.centre(these, 1), ...
                                               regions.centre(these, 2), ...
                                               regions.frame(these), s, maps);
  r = local(own(:, 1));
  startTable = [r, own(:, 2) - double(x0(r)), own(:, 3) - double(y0(r))];
  cut = cut + toc(started);
  started = tic;
  [theta, crlb, ratio, status] = crowdFit(photons, startTable, spotModel(cam), variance);
  r = theta(:, 1);
  % Each emitter fitted has x, y and photons, and its depth with psf: the columns but the
  % region and the shared background.
  perEmitter = size(theta, 2) - 2;
  fittedCount = accumarray(r, status <= 1 | status == 4, [numel(these) 1]);
  keep = kept(theta(:, 2:end), crlb, ratio(r), status, cam, ...
              innerPart(x0(r), y0(r), s, size(stack)), s ^ 2 - 1 - perEmitter * fittedCount(r));
  region = r(keep);
  rows = tableRows(double(x0(region)) + theta(keep, 2), double(y0(region)) + theta(keep, 3), ...
                   regions.frame(these(region)), theta(keep, 4:end), crlb(keep, :), maps);
  entries = [entries; rows]; %#ok<AGROW>
  fitted = fitted + toc(started);
end
end

% The rows with what a second pass finds in the frames' residuals (each frame less the spots
% fitted in it), where a spot beside a brighter one shows that the first pass could not see:
% the brighter one's light, in the filter's surround, takes it below the threshold, or its
% flank hides it. Each new candidate is fitted in a region of its own with the localisations
% about it as further starts, and their new rows take the place of the old. A third pass
% finds about one blink in 7,000 more: not worth its time. tried holds the first pass's
% candidates (x, y, frame), not taken again.
function [entries, finding, cut, fitted] = withResidualFinds(stack, entries, tried, maps, cam)
cut = 0;
fitted = 0;
started = tic;
candidates = residualCandidates(stack, entries, maps, cam);
% Not where the first pass had one, nor on a localisation (within a pixel along both axes).
% The rest works on the frames that have a candidate: the others keep their rows.
candidates = candidates(~ismember(candidates, tried, 'rows'), :);
apart = entries(~ismember(entries(:, 3), candidates(:, 3)), :);
entries = entries(ismember(entries(:, 3), candidates(:, 3)), :);
n = size(candidates, 1);
[a, b] = closePairs([candidates(:, 1:2); entries(:, 1:2)], 1, [candidates(:, 3); entries(:, 3)]);
candidates(a(a <= n & b > n), :) = [];
finding = toc(started);
if isempty(candidates)
  entries = [apart; entries];
  return;
end
started = tic;
% A region of side twice the box less one about each new candidate, started from it and the
% four nearest of the other new candidates and the localisations within it.
n = size(candidates, 1);
points = [candidates; entries(:, 1:3)];
[a, b] = closePairs(points(:, 1:2), cam.box - 1, points(:, 3));
distance = hypot(points(a, 1) - points(b, 1), points(a, 2) - points(b, 2));
starts = sortrows([(1:n)', (1:n)', zeros(n, 1); a(a <= n), b(a <= n), distance(a <= n);
                   b(b <= n), a(b <= n), distance(b <= n)], [1 3 2]);
firstOfRegion = [true; diff(starts(:, 1)) ~= 0];
firstStart = find(firstOfRegion);
rank = (1:size(starts, 1))' - firstStart(cumsum(firstOfRegion)) + 1;
starts = starts(rank <= 5, :);
regions = struct('centre', candidates(:, 1:2), 'frame', candidates(:, 3), ...
                 'side', repmat(2 * cam.box - 1, n, 1));
finding = finding + toc(started);
[refits, cut, fitted] = fitRegions(stack, regions, [starts(:, 1), points(starts(:, 2), 1:2)], ...
                                 maps, cam);
% A localisation refit takes the place of its old row (within sigma along both axes); one
% whose refit was not kept stays as it was.
refits = withoutRepeats(refits);
m = size(refits, 1);
[a, b] = closePairs([refits(:, 1:2); entries(:, 1:2)], cam.sigma, [refits(:, 3); entries(:, 3)]);
old = b(a <= m & b > m) - m;
entries(unique(old(ismember(old + n, starts(:, 2)))), :) = [];
entries = [apart; withoutRepeats([refits; entries])];
end

% The candidates (x, y, frame; whole pixels) spotFind sees in the residual about each
% localisation: the box of side twice the box less one about it, in photons, less the light
% of the spots fitted in its frame. Those on a box's edge pixels, where the box's end shapes
% the filter most, are left to the boxes that hold them further in. A few hundred
% boxes at a time: arrays that stay in the cache and reuse memory, where larger ones cost new
% pages each time.
function candidates = residualCandidates(stack, entries, maps, cam)
side = 2 * cam.box - 1;
if isfield(cam, 'psf')
  [sx, sy] = spotWidths(cam.psf, entries(:, 8));
else
  sx = repmat(cam.sigma, size(entries, 1), 1);
  sy = sx;
end
% Light from further than two widths beyond a box's edge is lost in the noise of its inner
% part.
[a, b] = closePairs(entries(:, 1:2), side / 2 + 2 * max([sx; sy]), entries(:, 3));
% The box about each row, then the spots about it: (box owner, spot) pairs by owner.
count = size(entries, 1);
[owner, order] = sort([(1:count)'; a; b]);
spot = [(1:count)'; b; a];
spot = spot(order);
chunk = 512;
found = cell(1, ceil(count / chunk));
for first = 1:chunk:count
  these = (first:min(first + chunk - 1, count))';
  [photons, x0, y0] = boxesInPhotons(stack, entries(these, 1), entries(these, 2), ...
                                     entries(these, 3), side, maps);
  corners = double([x0(:), y0(:)]);
  boxOf = zeros(size(entries, 1), 1);
  boxOf(these) = 1:numel(these);
  inChunk = boxOf(owner) > 0;
  near = spot(inChunk);
  light = spotLight([boxOf(owner(inChunk)), entries(near, [1 2 4]), sx(near), sy(near)], ...
                    corners, side);
  [x, y, box, strength] = spotFind(photons - light, cam.sigma, cam.threshold);
  % Where fitted light adds its shot noise, the threshold is raised, but by a part of it only:
  % raised as far as that noise grows (the fitted light counted in full), it hides the
  % neighbours on a bright spot's flank that this pass is for; not raised, the noise of
  % bright spots is fitted as emitters. A sixteenth of the light balances the two on the
  % demo's recordings at densities 1 to 3.
  background = max(entries(these, 5), 1);
  at = 1 + x + side * y + side ^ 2 * box;
  noisier = sqrt(1 + double(light(at)) ./ (16 * background(box + 1)));
  inner = x >= 1 & x <= side - 2 & y >= 1 & y <= side - 2 & strength >= cam.threshold * noisier;
  box = double(box(inner)) + 1;
  found{(first - 1) / chunk + 1} = [corners(box, 1) + double(x(inner)), ...
                                    corners(box, 2) + double(y(inner)), entries(these(box), 3)];
end
candidates = unique(vertcat(zeros(0, 3), found{:}), 'rows');
end

% Table rows: x, y, frame, photons, background, the larger bound of x and y, the read variance,
% and with a depth, its value and bound. rest holds photons, background (and depth) as fitted.
% x, y and z as columns: of a single candidate, none kept are 0-by-0.
function entries = tableRows(x, y, z, rest, crlb, maps)
x = x(:);
y = y(:);
entries = [x, y, z(:), rest(:, 1:2), max(crlb(:, 1:2), [], 2), varianceAt(maps, x, y)];
if size(rest, 2) > 2
  entries = [entries, rest(:, 3), crlb(:, 5)];
end
end

% What the fits take for the spots' shape: the width, or the depth calibration.
function model = spotModel(cam)
model = cam.sigma;
if isfield(cam, 'psf')
  model = cam.psf;
end
end

% The rows without the second localisation of a spot, as regions that overlap give, or a
% region that reaches a neighbour fitted in its own box: of two in one frame closer than
% repeatRadius along both axes, the one with the larger bound goes. Two emitters that close
% cannot be told apart; further apart, both are kept.
function entries = withoutRepeats(entries)
repeatRadius = 0.5;
[a, b] = closePairs(entries(:, 1:2), repeatRadius, entries(:, 3));
worse = a;
worse(entries(b, 6) > entries(a, 6)) = b(entries(b, 6) > entries(a, 6));
entries(unique(worse), :) = [];
end

% The read variance (photons squared) of the pixel nearest each position.
function values = varianceAt(maps, x, y)
if isscalar(maps.tableVariance)
  values = maps.tableVariance * ones(size(x));
  return;
end
[width, height] = size(maps.tableVariance);
ix = min(max(round(x), 0), width - 1);
iy = min(max(round(y), 0), height - 1);
values = maps.tableVariance(ix + 1 + width * iy);
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

% Fits (x, y, photons, background[, z]) that converged inside the inner part of their box
% (inner: its limits on x and y, a row a fit), of more than 200 photons, a bound below half a
% pixel, and a box whose log-likelihood ratio its model (of dof degrees of freedom) explains;
% with a depth, one within the calibrated range (status 4 is not 0) whose bound is below a
% quarter of the range's span.
function keep = kept(theta, crlb, ratio, status, cam, inner, dof)
keep = status == 0 & theta(:, 1) > inner(:, 1) & theta(:, 1) < inner(:, 2) & ...
       theta(:, 2) > inner(:, 3) & theta(:, 2) < inner(:, 4) & theta(:, 3) > 200 & ...
       explained(ratio, dof, 3.5) & max(crlb(:, 1:2), [], 2) < 0.5;
if isfield(cam, 'psf')
  keep = keep & crlb(:, 5) < diff(cam.psf.zRange) / 4;
end
end

% The inner part of boxes of side g with corners (x0, y0) in frames of frameSize, as limits
% [x low, x high, y low, y high] on the positions in a box: a pixel in from each side, where a
% box about the spot would hold it better, but the whole box where that side is the frame's
% edge, whose spots no box holds further in.
function inner = innerPart(x0, y0, g, frameSize)
x0 = double(x0(:));
y0 = double(y0(:));
inner = repmat([0.5, g - 1.5, 0.5, g - 1.5], numel(x0), 1);
inner(x0 == 0, 1) = -Inf;
inner(x0 + g == frameSize(1), 2) = Inf;
inner(y0 == 0, 3) = -Inf;
inner(y0 + g == frameSize(2), 4) = Inf;
end

% Whether a box's log-likelihood ratio lies within `deviations` standard deviations of its
% chi-squared distribution above its degrees of freedom. A fit is kept within 3.5, which
% refuses one good fit in 600 to 1,300 (2.4 refused one in 60 to 80); one alone in its box is
% fitted again with room for a second emitter already above 2.4, where crowdFit's own test
% decides.
function yes = explained(ratio, dof, deviations)
yes = ratio < dof + deviations * sqrt(2 * dof);
end
