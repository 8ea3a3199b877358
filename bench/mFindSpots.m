function [X, Y, Z, S] = mFindSpots(stack, sigma, threshold)
  % [X, Y, Z, S] = mFindSpots(stack, sigma, threshold)  What a user writes instead of spotFind:
  % the same definition in M, frame by frame, with separable conv2 calls on the frame padded by
  % replication (the filter is a Gaussian minus a constant, so two separable passes) and the
  % eight neighbours compared by shifting.
  r = ceil(3 * sigma);
  G = exp(-(-r:r) .^ 2 / (2 * sigma ^ 2));
  norm = 1 / (2 * pi * sigma ^ 2);
  h = norm * (G' * G);
  m = mean(h(:));
  q = sum((h(:) - m) .^ 2);
  ones1 = ones(1, 2 * r + 1);
  X = []; Y = []; Z = []; S = [];
  for f = 1:size(stack, 3)
    [R, C] = size(stack(:, :, f));
    padded = double(stack([ones(1, r), 1:R, R * ones(1, r)], [ones(1, r), 1:C, C * ones(1, r)], f));
    s = (norm * conv2(G, G, padded, 'valid') - m * conv2(ones1, ones1, padded, 'valid')) / q;
    around = -Inf(R + 2, C + 2);
    around(2:end - 1, 2:end - 1) = s;
    peak = s >= threshold & s > around(1:end - 2, 2:end - 1) & s > around(1:end - 2, 1:end - 2) & ...
           s > around(2:end - 1, 1:end - 2) & s > around(3:end, 1:end - 2) & ...
           s >= around(3:end, 2:end - 1) & s >= around(3:end, 3:end) & ...
           s >= around(2:end - 1, 3:end) & s >= around(1:end - 2, 3:end);
    index = find(peak);
    [i, j] = ind2sub([R C], index);
    X = [X; i - 1]; Y = [Y; j - 1]; Z = [Z; repmat(f - 1, numel(i), 1)]; S = [S; s(index)];
  end
end
