function [first, second] = closePairs(xy, radius, group)
%CLOSEPAIRS  The pairs of points closer than a distance along both axes.
%   [first, second] = closePairs(xy, radius)
%   [first, second] = closePairs(xy, radius, group)
%
%   The row indices into xy (N-by-2) of every pair of points, first < second,
%   whose coordinates differ by less than radius along both axes; given group
%   (N-by-1, whole numbers, such as the frames), only pairs within one group.
%   Each point is compared only with those of its own and the eight
%   neighbouring cells of a grid of radius-sized cells, so time and memory grow
%   with the points and the pairs, not with the square of the points.
%
%   localiseRecording uses it for the candidates whose boxes overlap,
%   estimateDrift for the localisations that share an emitter.
%
%   Example: the localisations of a frame that have another within a pixel
%     [i, j] = closePairs(fits(:, 1:2), 1, fits(:, 3));
%     crowded = unique([i; j]);
%
%   See also PAIRGROUPS, LOCALISERECORDING, ESTIMATEDRIFT.
n = size(xy, 1);
if nargin < 3
  group = zeros(n, 1);
end
first = zeros(0, 1);
second = zeros(0, 1);
if n < 2
  return;
end
place = floor((xy - min(xy, [], 1)) / radius) + 1;
height = max(place(:, 2)) + 2;
width = max(place(:, 1)) + 2;
[~, ~, groupIndex] = unique(group(:));
key = ((groupIndex - 1) * width + place(:, 1)) * height + place(:, 2);
[key, order] = sort(key);
starts = find([true; diff(key) ~= 0]);
cellKeys = key(starts);
counts = diff([starts; n + 1]);
found = cell(1, 0);
% The nine cells about each point's, looked up at once, and the points of every cell found
% taken rank by rank: a call costs more than its work on a frame's points.
[dx, dy] = meshgrid(-1:1);
[inCell, cellOf] = ismember(key + (dx(:) * height + dy(:))', cellKeys);
[who, ~] = find(inCell);
neighbour = cellOf(inCell);
for r = 0:max([0; counts(neighbour)]) - 1
  has = counts(neighbour) > r;
  i = order(who(has));
  j = order(starts(neighbour(has)) + r);
  keep = i < j & abs(xy(i, 1) - xy(j, 1)) < radius & abs(xy(i, 2) - xy(j, 2)) < radius;
  found{end + 1} = [i(keep), j(keep)]; %#ok<AGROW>
end
pairs = vertcat(zeros(0, 2), found{:});
first = pairs(:, 1);
second = pairs(:, 2);
end
