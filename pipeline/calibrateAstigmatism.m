function [psf, widths] = calibrateAstigmatism(stack, z)
%CALIBRATEASTIGMATISM  Measure how a spot's widths follow its depth, from beads.
%   psf = calibrateAstigmatism(stack, z)
%   [psf, widths] = calibrateAstigmatism(stack, z)
%
%   With a cylindrical lens in the emission path a spot is wider along x on
%   one side of focus and along y on the other. Record a few fluorescent
%   beads (well apart, on a coverslip) while the stage steps through focus,
%   one frame a step. This finds the beads in the mean of the frames, fits
%   each bead in each frame with a width of its own along each axis by
%   maximum likelihood (spotFit with a 1-by-2 sigma, fitted), and fits each
%   axis's widths with the defocus curve
%     sigma(z) = sigma0 sqrt(1 + u^2 + A u^3 + B u^4),  u = (z - c) / d,
%   by weighted least squares on sigma^2, a polynomial of degree 4 in z. The
%   result is what spotFit, crowdFit and localiseRecording take to fit each
%   spot's depth.
%
%   Inputs
%     stack  W-by-H-by-F real single or double array in photons (the
%            camera's offset subtracted and its gain divided out), finite,
%            F >= 10, W and H at least 11
%     z      F real, finite stage positions (nm), one a frame, in the
%            stack's own coordinates: the fitted depths are in the same
%
%   Outputs
%     psf     struct of 1-by-2 fields (x, then y): sigma0 (pixels), c and d
%             (nm), A and B, and zRange (nm): the depths, within those of
%             the frames, at which at least half the beads were measured and
%             the curves meet the median width within 5%
%     widths  struct for a plot, one column a bead and one row a frame:
%             z (F-by-1), x and y (the fitted widths, pixels; NaN where a fit
%             did not converge), crlbX and crlbY (their bounds), and
%             position (beads-by-2: x and y in the frames, 0-based)
%
%   Errors
%     calibrateAstigmatism:BadInput  stack must be a W-by-H-by-F real single
%                                    or double array of finite values, F >=
%                                    10, with one finite z a frame
%     calibrateAstigmatism:NoBeads   no bead found, or none measured through
%                                    focus
%
%   Example: a bead stack stepped 20 nm from -800 to 800 nm
%     [psf, widths] = calibrateAstigmatism(beads, -800:20:800);
%     plot(widths.z, widths.x, 'r.', widths.z, widths.y, 'b.');
%     [p, crlb, llr, status] = spotFit(boxes, psf);   % z in p(:, 5)
%
%   See also SPOTFIT, CROWDFIT, LOCALISERECORDING.
if nargin ~= 2
  error('calibrateAstigmatism:BadInput', 'Usage: [psf, widths] = calibrateAstigmatism(stack, z)');
end
if ~(isa(stack, 'single') || isa(stack, 'double')) || ~isreal(stack) || issparse(stack) || ...
   ndims(stack) ~= 3 || size(stack, 3) < 10 || min(size(stack, 1), size(stack, 2)) < 11 || ...
   ~all(isfinite(stack(:)))
  error('calibrateAstigmatism:BadInput', ['stack must be a W-by-H-by-F real single or ' ...
        'double array of finite values, F >= 10 and W, H >= 11.']);
end
frames = size(stack, 3);
if ~isnumeric(z) || ~isreal(z) || issparse(z) || numel(z) ~= frames || ~all(isfinite(z(:)))
  error('calibrateAstigmatism:BadInput', 'z must hold one real, finite stage position a frame.');
end
z = double(z(:));

% Boxes wide enough for a spot twice its width in focus at either end of the scan.
side = min(size(stack, 1), size(stack, 2));
g = min(21, side - (mod(side, 2) == 0));
position = beadsIn(stack, g);
if isempty(position)
  error('calibrateAstigmatism:NoBeads', 'no bead found in the mean of the frames.');
end
beads = size(position, 1);
bx = repmat(position(:, 1), 1, frames);
by = repmat(position(:, 2), 1, frames);
bz = repmat(0:frames - 1, beads, 1);
[boxes, x0, y0] = boxGather(bx(:), by(:), bz(:), g, single(stack));
[params, crlb, ~, status] = spotFit(boxes, [1.5 1.5], true);
ok = status == 0;
widths.z = z;
widths.x = reshape(nanWhere(params(:, 5), ~ok), beads, frames)';
widths.y = reshape(nanWhere(params(:, 6), ~ok), beads, frames)';
widths.crlbX = reshape(nanWhere(crlb(:, 5), ~ok), beads, frames)';
widths.crlbY = reshape(nanWhere(crlb(:, 6), ~ok), beads, frames)';
% Where each bead is, from its fits near focus (the boxes' corners plus the fitted centres).
cx = reshape(double(x0) + params(:, 1), beads, frames);
cy = reshape(double(y0) + params(:, 2), beads, frames);
widths.position = [medianOfFinite(cx) medianOfFinite(cy)];
widths.position(any(isnan(widths.position), 2), :) = position(any(isnan(widths.position), 2), :);

measured = sum(isfinite(widths.x), 2) >= beads / 2;
if nnz(measured) < 10
  error('calibrateAstigmatism:NoBeads', 'no bead was measured in 10 frames or more.');
end
[px, fitX] = curveOf(z, widths.x, widths.crlbX);
[py, fitY] = curveOf(z, widths.y, widths.crlbY);
if isempty(px) || isempty(py)
  error('calibrateAstigmatism:NoBeads', 'the beads'' widths show no focus within the scan.');
end
% Well measured: half the beads fitted, and both curves within 5% of the median width there.
missX = abs(medianOfFinite(widths.x) ./ fitX - 1);
missY = abs(medianOfFinite(widths.y) ./ fitY - 1);
good = measured & missX < 0.05 & missY < 0.05;
zRange = longestRun(z, good);
if isempty(zRange)
  error('calibrateAstigmatism:NoBeads', 'the beads'' widths follow no curve through focus.');
end
psf = struct('sigma0', [px(1) py(1)], 'c', [px(2) py(2)], 'd', [px(3) py(3)], ...
             'A', [px(4) py(4)], 'B', [px(5) py(5)], 'zRange', zRange);
end

% The beads: the local maxima of the mean frame that stand out from its noise and reach a fifth
% of the brightest, with no other within a box of them (whose light would spoil both fits).
function position = beadsIn(stack, g)
  average = sum(double(stack), 3) / size(stack, 3);
  [x, y, ~, strength] = spotFind(average, 2, 0);
  position = zeros(0, 2);
  if isempty(x)
    return;
  end
  spread = 1.4826 * median(abs(strength - median(strength)));
  keep = strength >= max(median(strength) + 20 * spread, 0.2 * max(strength));
  x = double(x(keep));
  y = double(y(keep));
  alone = true(size(x));
  for k = 1:numel(x)
    others = [1:k - 1, k + 1:numel(x)];
    alone(k) = ~any(abs(x(others) - x(k)) < g & abs(y(others) - y(k)) < g);
  end
  position = [x(alone) y(alone)];
end

function values = nanWhere(values, where)
  values(where) = NaN;
end

% The median of each row's finite values (NaN for a row of none).
function m = medianOfFinite(values)
  m = NaN(size(values, 1), 1);
  for k = 1:size(values, 1)
    row = values(k, isfinite(values(k, :)));
    if ~isempty(row)
      m(k) = median(row);
    end
  end
end

% The curve of one axis: [sigma0 c d A B] from a weighted least-squares fit of the widths
% squared (z by frames, beads in columns) by a polynomial of degree 4 in z, and the curve at
% each z. Empty when the polynomial has no minimum within the scan. The weights take each
% width's bound and a 1% floor for what the model leaves out; widths more than five robust
% deviations off the first fit are left out of a second.
function [curve, atZ] = curveOf(z, widths, bounds)
  curve = [];
  atZ = [];
  zz = repmat(z, 1, size(widths, 2));
  use = isfinite(widths);
  middle = (min(z) + max(z)) / 2;
  scale = (max(z) - min(z)) / 2;
  t = (zz(use) - middle) / scale;
  s2 = widths(use) .^ 2;
  sd = 2 * widths(use) .* bounds(use) + 0.02 * s2;
  keep = true(size(t));
  for pass = 1:2
    design = [t .^ 4, t .^ 3, t .^ 2, t, ones(size(t))] ./ sd;
    p = design(keep, :) \ (s2(keep) ./ sd(keep));
    residual = (s2 - polyval(p', t)) ./ sd;
    keep = abs(residual) <= 5 * 1.4826 * median(abs(residual(keep))) + eps;
  end
  p = p';
  slope = polyder(p);
  critical = roots(slope);
  critical = real(critical(abs(imag(critical)) < 1e-9 & real(critical) >= -1 & ...
                           real(critical) <= 1));
  critical = critical(polyval(polyder(slope), critical) > 0);
  if isempty(critical)
    return;
  end
  [~, lowest] = min(polyval(p, critical));
  ct = critical(lowest);
  % sigma^2 = s0^2 (1 + u^2 + A u^3 + B u^4) about its minimum ct: P(ct) = s0^2,
  % P''(ct) = 2 s0^2 / d^2, P'''(ct) = 6 A s0^2 / d^3, P''''(ct) = 24 B s0^2 / d^4 (in t).
  s02 = polyval(p, ct);
  second = polyval(polyder(slope), ct);
  if ~(s02 > 0 && second > 0)
    return;
  end
  dt = sqrt(2 * s02 / second);
  third = polyval(polyder(polyder(slope)), ct);
  fourth = 24 * p(1);
  curve = [sqrt(s02), middle + scale * ct, scale * dt, third * dt ^ 3 / (6 * s02), ...
           fourth * dt ^ 4 / (24 * s02)];
  atZ = sqrt(max(polyval(p, (z - middle) / scale), 0));
end

% [low high] of the longest run of consecutive depths (in depth order) where `good` holds.
function range = longestRun(z, good)
  [z, order] = sort(z);
  good = good(order);
  range = [];
  best = 0;
  first = 0;
  for k = 1:numel(z) + 1
    if k <= numel(z) && good(k)
      if first == 0
        first = k;
      end
    elseif first > 0
      if k - first > best && z(k - 1) > z(first)
        best = k - first;
        range = [z(first) z(k - 1)];
      end
      first = 0;
    end
  end
end
