function [theta, crlb] = mFitSpots(boxes, sigma, untilConverged)
  % [theta, crlb] = mFitSpots(boxes, sigma, untilConverged)  What a user writes instead of
  % spotFit: the same model fitted by Fisher scoring, vectorised over all boxes at once, from
  % the same start. As the demo's fitter did, it takes 20 steps; with untilConverged true it
  % stops as soon as every box's step moved x and y by less than 1e-4 pixel and photons and
  % background by less than 1e-4 of their value (at most 50 steps). theta is K-by-4 (x, y,
  % photons, background), crlb the Cramer-Rao bounds at the estimates.
  g = size(boxes, 1);
  n = size(boxes, 3);
  d = reshape(max(double(boxes), 0), g * g, n);
  [px, py] = ndgrid(0:g - 1, 0:g - 1);
  px = px(:); py = py(:);
  rim = px == 0 | py == 0 | px == g - 1 | py == g - 1;
  b = max(mean(d(rim, :), 1), 1e-6);
  above = max(d - b, 0);
  total = max(sum(above, 1), 1);
  theta = [(px' * above) ./ total; (py' * above) ./ total; total; b]';
  for iteration = 1:(50 - 30 * ~untilConverged)
    [mu, jac] = model(theta, px, py, sigma);
    gradient = reshape(sum(jac .* reshape(d ./ mu - 1, g * g, 1, n), 1), 4, n)';
    step = solve4(fisher(mu, jac), gradient);
    step(:, 1:2) = max(min(step(:, 1:2), 1), -1);
    next = theta + step;
    next(:, 3:4) = max(next(:, 3:4), [0.1 * theta(:, 3), max(0.1 * theta(:, 4), 1e-6)]);
    moved = abs(next - theta);
    theta = next;
    small = [moved(:, 1:2) < 1e-4, moved(:, 3:4) < 1e-4 * theta(:, 3:4)];
    if untilConverged && all(small(:))
      break;
    end
  end
  [mu, jac] = model(theta, px, py, sigma);
  info = fisher(mu, jac);
  crlb = zeros(n, 4);
  for k = 1:4
    e = zeros(n, 4);
    e(:, k) = 1;
    column = solve4(info, e);
    crlb(:, k) = sqrt(column(:, k));
  end
end

function [mu, jac] = model(theta, px, py, sigma)
  n = size(theta, 1);
  m = numel(px);
  x = theta(:, 1)'; y = theta(:, 2)'; photons = theta(:, 3)'; b = theta(:, 4)';
  s = sqrt(2) * sigma;
  ex = 0.5 * (erf((px + 0.5 - x) / s) - erf((px - 0.5 - x) / s));
  ey = 0.5 * (erf((py + 0.5 - y) / s) - erf((py - 0.5 - y) / s));
  gauss = @(t) exp(-t .^ 2 / (2 * sigma ^ 2)) / (sqrt(2 * pi) * sigma);
  dex = gauss(px - 0.5 - x) - gauss(px + 0.5 - x);
  dey = gauss(py - 0.5 - y) - gauss(py + 0.5 - y);
  mu = photons .* ex .* ey + b;
  jac = zeros(m, 4, n);
  jac(:, 1, :) = reshape(photons .* dex .* ey, m, 1, n);
  jac(:, 2, :) = reshape(photons .* ex .* dey, m, 1, n);
  jac(:, 3, :) = reshape(ex .* ey, m, 1, n);
  jac(:, 4, :) = 1;
end

function info = fisher(mu, jac)
  [m, p, n] = size(jac);
  w = reshape(1 ./ mu, m, 1, n);
  info = zeros(n, p, p);
  for i = 1:p
    for j = i:p
      v = reshape(sum(jac(:, i, :) .* jac(:, j, :) .* w, 1), n, 1);
      info(:, i, j) = v;
      info(:, j, i) = v;
    end
  end
end

% Solves the 4-by-4 systems a(k, :, :) x(k, :)' = b(k, :)' for all k at once.
function x = solve4(a, b)
  n = size(a, 1);
  p = size(a, 2);
  a = cat(3, a, reshape(b, n, p, 1));
  for col = 1:p
    pivot = a(:, col, col);
    pivot(abs(pivot) < 1e-12) = 1e-12;
    a(:, col, :) = a(:, col, :) ./ pivot;
    for row = [1:col - 1, col + 1:p]
      a(:, row, :) = a(:, row, :) - a(:, row, col) .* a(:, col, :);
    end
  end
  x = a(:, :, p + 1);
end
