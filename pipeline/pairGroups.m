function [group, count] = pairGroups(n, first, second)
%PAIRGROUPS  Groups of items linked by pairs, directly or through others.
%   [group, count] = pairGroups(n, first, second)
%
%   Numbers each of n items with its group (n-by-1, 1 ... count): items i
%   and j share a group when a pair (first(k), second(k)) links them, or a
%   chain of pairs does. Groups are numbered in the order of their first
%   item. Each round links every pair's two groups under the smaller and
%   then lets every item take its group's group, until nothing changes: a few
%   rounds for groups of a few items, and time and memory that grow with the
%   items and the pairs.
%
%   localiseRecording uses it for candidates whose boxes overlap, which are
%   fitted together.
%
%   Example: the candidates of each frame closer than 6 pixels along both
%   axes, directly or through others
%     [i, j] = closePairs([x y], 6, frame);
%     [group, count] = pairGroups(numel(x), i, j);
%
%   See also CLOSEPAIRS, LOCALISERECORDING.
label = (1:n)';
first = first(:);
second = second(:);
while true
  a = label(first);
  b = label(second);
  apart = a ~= b;
  if ~any(apart)
    break;
  end
  % Every group linked to one of a smaller label goes under the smallest such; then every item
  % follows its label's label until they agree, so that labels are again groups' first items.
  under = accumarray(max(a(apart), b(apart)), min(a(apart), b(apart)), [n 1], @min, n + 1);
  parent = min(under, (1:n)');
  label = parent(label);
  next = label(label);
  while any(next ~= label)
    label = next;
    next = label(label);
  end
end
% Each group's label is its first item.
isFirst = label == (1:n)';
number = cumsum(isFirst);
group = number(label);
count = sum(isFirst);
end
