function rows = benchCrowdFit()
  % rows = benchCrowdFit()  crowdFit on regions of 11x11 holding 2 and 3 emitters 2 pixels
  % apart (1000 photons each on 10 a pixel): the spread of each emitter's x against its bound
  % with the others fitted alongside (spotBounds with neighbours, demo/: finite differences,
  % not the module's derivatives), printed; and its speed, regions a second, against spotFit on
  % as many 7x7 boxes as there are emitters, as benchModules rows.
  fprintf('crowdFit precision (Octave %s; simulated, fixed seed):\n', OCTAVE_VERSION);
  randp('seed', 6); rand('seed', 6);
  rows = {};
  % Two side by side, and three on the corners of a triangle, about the region's middle.
  layouts = {[-1 0; 1 0], [-1 -0.577; 1 -0.577; 0 1.155]};
  for k = 1:2
    layout = layouts{k};
    emitters = size(layout, 1);
    count = 1e4;
    [regions, truth] = simulate(count, layout);
    starts = [kron((1:count)', ones(emitters, 1)), round(reshape(permute(truth, [2 1 3]), 2, [])')];
    starts(:, 2:3) = min(max(starts(:, 2:3), 0), 10);
    [params, ~, ~, status] = crowdFit(regions, starts, 1.3);
    spread(params, status, truth, emitters, count);
    boxes = spotBoxes(emitters * count);
    t = medianTimes({@() crowdFit(regions, starts, 1.3), @() spotFit(boxes, 1.3)}, [5 5]);
    what = sprintf('crowdFit, 1e4 regions of 11x11, %d emitters 2 px apart', emitters);
    rows(end + 1, :) = {what, t(1), 0, sprintf(['spotFit, as many 7x7 boxes of one spot as ' ...
                                                'emitters']), t(2), 0};
    fprintf('  %s: %.0f regions/s, %.0f emitters/s\n', what, count / t(1), emitters * count / t(1));
  end
end

% Boxes of 7x7 of a spot of 1000 photons on 10 a pixel, within half a pixel of the middle.
function boxes = spotBoxes(count)
  p = (0:6)';
  s = sqrt(2) * 1.3;
  xy = 3 + rand(count, 2) - 0.5;
  ex = 0.5 * (erf((p + 0.5 - xy(:, 1)') / s) - erf((p - 0.5 - xy(:, 1)') / s));
  ey = 0.5 * (erf((p + 0.5 - xy(:, 2)') / s) - erf((p - 0.5 - xy(:, 2)') / s));
  boxes = randp(10 + 1000 * reshape(ex, 7, 1, count) .* reshape(ey, 1, 7, count));
end

% count regions with the layout's emitters about a point within half a pixel of the middle;
% truth is emitters-by-2-by-count (x, y), 0-based.
function [regions, truth] = simulate(count, layout)
  g = 11;
  emitters = size(layout, 1);
  centre = 5 + rand(count, 2) - 0.5;
  truth = zeros(emitters, 2, count);
  mu = 10 * ones(g, g, count);
  p = (0:g - 1)';
  s = sqrt(2) * 1.3;
  for e = 1:emitters
    xy = centre + layout(e, :);
    truth(e, :, :) = reshape(xy', 1, 2, count);
    ex = 0.5 * (erf((p + 0.5 - xy(:, 1)') / s) - erf((p - 0.5 - xy(:, 1)') / s));
    ey = 0.5 * (erf((p + 0.5 - xy(:, 2)') / s) - erf((p - 0.5 - xy(:, 2)') / s));
    mu = mu + 1000 * reshape(ex, g, 1, count) .* reshape(ey, 1, g, count);
  end
  regions = randp(mu);
end

% Each emitter's spread of x against its joint bound at the truth, over the regions that kept
% just their emitters and converged. A fit may end with its emitters in another order than
% their starts (the same likelihood): each region's fits are paired with the truth in the
% order nearest it.
function spread(params, status, truth, emitters, count)
  region = params(:, 1);
  rowCount = accumarray(region, 1, [count 1]);
  firstRow = cumsum([1; rowCount(1:end - 1)]);
  ok = find(rowCount == emitters & accumarray(region, status == 0, [count 1]) == emitters);
  fitted = zeros(emitters, 2, numel(ok));
  for e = 1:emitters
    fitted(e, :, :) = reshape(params(firstRow(ok) + e - 1, 2:3)', 1, 2, []);
  end
  orders = perms(1:emitters);
  cost = zeros(numel(ok), size(orders, 1));
  for o = 1:size(orders, 1)
    cost(:, o) = squeeze(sum(sum((fitted(orders(o, :), :, :) - truth(:, :, ok)) .^ 2, 1), 2));
  end
  [~, best] = min(cost, [], 2);
  bound = zeros(emitters, 1);
  ratio = zeros(emitters, 1);
  for e = 1:emitters
    theta = [squeeze(truth(e, :, ok))', repmat([1000 10 1.3], numel(ok), 1)];
    for other = setdiff(1:emitters, e)
      theta = [theta, squeeze(truth(other, :, ok))', repmat(1000, numel(ok), 1)]; %#ok<AGROW>
    end
    b = spotBounds(theta, 11, 4);
    row = orders(best, e);
    err = fitted(sub2ind(size(fitted), row, ones(size(row)), (1:numel(ok))')) - ...
          squeeze(truth(e, 1, ok));
    bound(e) = sqrt(mean(b(:, 1) .^ 2));
    ratio(e) = sqrt(mean(err .^ 2)) / bound(e);
  end
  fprintf(['  %d emitters 2 px apart, 1000 photons on 10: %.1f%% of regions converged with ' ...
           'just them; spread of x / joint bound %s(bound %s px)\n'], emitters, ...
          100 * numel(ok) / count, sprintf('%.3f ', ratio), sprintf('%.4f ', bound));
end
