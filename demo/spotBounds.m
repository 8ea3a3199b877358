function bounds = spotBounds(theta, g, columns, readVariance, psf)
  % bounds = spotBounds(theta, g, columns)  Cramer-Rao bounds of a pixel-integrated Gaussian
  % spot on a flat background in a g-by-g box under Poisson noise, for each row of theta (x,
  % y, photons, background, sigma): the square roots of the diagonal of the inverse Fisher
  % information, on the first `columns` parameters (4: sigma known; 5: fitted). The
  % derivatives are central differences of the model, so the figure owes nothing to spotFit.
  % bounds = spotBounds(theta, g, columns, readVariance) with each pixel's read variance
  % (photons squared): a scalar, a g-by-g box for every row, or g-by-g-by-K, one box a row; the
  % information is then sum((dmu/dtheta_i) (dmu/dtheta_j) / (mu + r)).
  % Columns of theta after the fifth are further spots of the same width in the box, three
  % each (x, y, photons): their parameters are unknown too, so the bounds are those of the
  % first spot with its neighbours fitted alongside.
  % bounds = spotBounds(theta, g, columns, readVariance, psf) with a depth calibration: the
  % fifth column is the depth z (nm) and each spot's widths along x and y those of psf's curves
  % at its z; a further spot then has four columns (x, y, photons, z).
  K = size(theta, 1);
  if nargin < 4
    readVariance = 0;
  end
  if nargin < 5
    psf = [];
  end
  read = reshape(readVariance, 1, []);
  if numel(readVariance) > 1
    read = reshape(readVariance, g * g, [])';  % a row a box
  end
  expected = @(t) expectedPhotons(t, g, psf);
  unknown = [1:columns, 6:size(theta, 2)];
  jacobian = zeros(K, g * g, numel(unknown));
  for u = 1:numel(unknown)
    c = unknown(u);
    h = 1e-6 * max(1, abs(theta(:, c)));
    up = theta;
    up(:, c) = up(:, c) + h;
    down = theta;
    down(:, c) = down(:, c) - h;
    jacobian(:, :, u) = (expected(up) - expected(down)) ./ (2 * h);
  end
  weight = 1 ./ (expected(theta) + read);
  information = zeros(K, numel(unknown), numel(unknown));
  for a = 1:numel(unknown)
    for b = a:numel(unknown)
      information(:, a, b) = sum(jacobian(:, :, a) .* jacobian(:, :, b) .* weight, 2);
      information(:, b, a) = information(:, a, b);
    end
  end
  bounds = sqrt(inverseDiagonals(information));
  bounds = bounds(:, 1:columns);
end

% Expected photons of every pixel (columns, first index fastest) of every box (rows): the
% background, the first spot and its neighbours.
function mu = expectedPhotons(theta, g, psf)
  K = size(theta, 1);
  pixels = 0:g - 1;
  share = @(c, s) 0.5 * (erf((pixels + 0.5 - c) ./ (sqrt(2) * s)) - ...
                         erf((pixels - 0.5 - c) ./ (sqrt(2) * s)));
  mu = theta(:, 4);
  if isempty(psf)
    spots = [1, 6:3:size(theta, 2) - 2];
    widths = @(first) deal(theta(:, 5), theta(:, 5));
  else
    spots = [1, 6:4:size(theta, 2) - 3];
    widths = @(first) deal(defocus(psf, 1, depthOf(theta, first)), ...
                           defocus(psf, 2, depthOf(theta, first)));
  end
  for first = spots
    [sx, sy] = widths(first);
    mu = mu + reshape(theta(:, first + 2) .* share(theta(:, first), sx) .* ...
                      reshape(share(theta(:, first + 1), sy), K, 1, g), K, g * g);
  end
end

% The depth column of the spot whose x is column `first`: the fifth for the first spot.
function z = depthOf(theta, first)
  if first == 1
    z = theta(:, 5);
  else
    z = theta(:, first + 3);
  end
end

% The width along axis 1 (x) or 2 (y) at depths z of psf's defocus curves.
function s = defocus(psf, axis, z)
  u = (z - psf.c(axis)) / psf.d(axis);
  s = psf.sigma0(axis) * sqrt(1 + u .^ 2 + psf.A(axis) * u .^ 3 + psf.B(axis) * u .^ 4);
end

% The diagonal of the inverse of each matrix information(k, :, :), by Gauss-Jordan elimination
% on all of them at once.
function diagonal = inverseDiagonals(information)
  [K, n, ~] = size(information);
  a = cat(3, information, repmat(reshape(eye(n), 1, n, n), K, 1, 1));
  for p = 1:n
    a(:, p, :) = a(:, p, :) ./ a(:, p, p);
    for r = [1:p - 1, p + 1:n]
      a(:, r, :) = a(:, r, :) - a(:, r, p) .* a(:, p, :);
    end
  end
  diagonal = zeros(K, n);
  for p = 1:n
    diagonal(:, p) = a(:, p, n + p);
  end
end
