function [offset, variance, gain] = calibrateCamera(dark, lit)
%CALIBRATECAMERA  Measure a camera's offset, read noise and gain at every pixel.
%   [offset, variance, gain] = calibrateCamera(dark, lit)
%
%   The photon transfer method, for scientific CMOS cameras whose every pixel
%   has an offset, a gain and a read noise of its own. Record a stack with no
%   light at all (dark: cap on, shutter closed), and two or more stacks of the
%   same frame size at different steady light levels (lit: a cell array; an
%   evenly lit field, such as a white card or an out-of-focus lamp, each level
%   below saturation). Then, per pixel,
%     offset    the mean of dark over its frames (counts)
%     variance  the variance of dark over its frames (counts squared: the
%               read noise), the sum of squared deviations from offset
%               divided by F - 1
%     gain      counts per photon: the least-squares slope through the origin
%               of (the variance of each lit stack - variance) against (the
%               mean of each lit stack - offset), since a pixel of mean
%               offset + gain * p counts has variance variance + gain^2 * p
%   A pixel the calibration cannot measure gets a gain of NaN: one whose lit
%   stacks all have its dark mean (stuck), or whose gain comes out not above
%   0 or more than three times off the median of the others (saturated: its
%   variance does not grow with its signal). localiseRecording leaves such
%   pixels out of finding and fitting.
%
%   Inputs
%     dark  R-by-C-by-F uint16, single or double array, F >= 2 frames (R or
%           C may be 1: a single row or column of pixels)
%     lit   cell array of two or more such stacks of the same R and C (their
%           frame counts may differ)
%
%   Outputs: R-by-C double arrays. For localiseRecording, cam.offset = offset,
%   cam.gain = gain, cam.variance = variance.
%
%   Errors
%     calibrateCamera:WrongNumberOfInputs  Usage: [offset, variance, gain] =
%                                          calibrateCamera(dark, lit)
%     calibrateCamera:WrongType     dark and each lit stack must be real
%                                   uint16, single or double arrays; lit must
%                                   be a cell array
%     calibrateCamera:WrongSize     stacks must be R-by-C-by-F, every lit stack
%                                   of dark's frame size
%     calibrateCamera:TooFewFrames  every stack needs at least 2 frames
%     calibrateCamera:TooFewLevels  lit must hold at least 2 stacks
%
%   Example: the maps of a camera, then its recordings localised with them
%     [offset, variance, gain] = calibrateCamera(dark, {dim, bright});
%     cam = struct('offset', offset, 'gain', gain, 'variance', variance, ...
%                  'sigma', 1.3, 'threshold', 40, 'box', 7);
%     fits = localiseRecording('cells.rec', cam);
%
%   See also LOCALISERECORDING, SPOTFIT.
if nargin ~= 2
  error('calibrateCamera:WrongNumberOfInputs', ...
        'Usage: [offset, variance, gain] = calibrateCamera(dark, lit)');
end
checkStack(dark);
if ~iscell(lit)
  error('calibrateCamera:WrongType', 'lit must be a cell array of stacks.');
end
for k = 1:numel(lit)
  checkStack(lit{k});
  if size(lit{k}, 1) ~= size(dark, 1) || size(lit{k}, 2) ~= size(dark, 2)
    error('calibrateCamera:WrongSize', 'every lit stack must have the frame size of dark.');
  end
end
if numel(lit) < 2
  error('calibrateCamera:TooFewLevels', 'lit must hold at least 2 stacks.');
end
[offset, variance] = meanAndVariance(dark);
above = 0;
spread = 0;
for k = 1:numel(lit)
  [level, levelVariance] = meanAndVariance(lit{k});
  signal = level - offset;
  above = above + signal .* (levelVariance - variance);
  spread = spread + signal .^ 2;
end
gain = above ./ spread;
measured = isfinite(gain) & gain > 0;
if any(measured(:))
  typical = median(gain(measured));
  measured = measured & gain <= 3 * typical & gain >= typical / 3;
end
gain(~measured) = NaN;
end

function checkStack(stack)
if ~(isa(stack, 'uint16') || isa(stack, 'single') || isa(stack, 'double')) || ...
   ~isreal(stack) || issparse(stack)
  error('calibrateCamera:WrongType', ...
        'dark and each lit stack must be real uint16, single or double arrays.');
end
if ndims(stack) > 3
  error('calibrateCamera:WrongSize', 'stacks must be R-by-C-by-F.');
end
if size(stack, 3) < 2
  error('calibrateCamera:TooFewFrames', 'every stack needs at least 2 frames.');
end
end

% Mean and variance over the frames of each pixel, in double precision, a block of pixels at a
% time (as rows of a pixels-by-frames matrix) so that a large stack never needs a copy of
% itself in doubles.
function [average, variance] = meanAndVariance(stack)
[rows, columns, frames] = size(stack);
values = reshape(stack, rows * columns, frames);
average = zeros(rows, columns);
variance = zeros(rows, columns);
block = max(1, floor(2^21 / frames));
for first = 1:block:rows * columns
  these = first:min(first + block - 1, rows * columns);
  chunk = double(values(these, :));
  % The block's means as a column whatever the stack's shape: indexing a map of one column
  % gives a column, of any other shape a row.
  means = sum(chunk, 2) / frames;
  average(these) = means;
  chunk = chunk - means;
  variance(these) = sum(chunk .* chunk, 2) / (frames - 1);
end
end
