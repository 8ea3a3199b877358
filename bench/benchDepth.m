function rows = benchDepth()
  % rows = benchDepth()  Fits with depth through a cylindrical lens's defocus curves: spotFit's
  % spread in x, y and z against the bound in each 200-nm depth bin within +-400 nm (spotBounds
  % with the curves, demo/: finite differences of the model, not the module's derivatives), its
  % z bias and convergence, printed; crowdFit's on pairs 2.5 px apart at depths of their own;
  % calibrateAstigmatism's curves against the truth. As benchModules rows: 3-D fits against the
  % 2-D fit of the same 13x13 boxes and against 100,000 a second, crowdFit with depth against
  % without, and the calibration's time.
  fprintf('Depth (Octave %s; simulated, fixed seed):\n', OCTAVE_VERSION);
  randp('seed', 7); rand('seed', 7);
  psf = struct('sigma0', [1.3 1.25], 'c', [-250 250], 'd', [450 440], 'A', [0.05 -0.05], ...
               'B', [0.02 0.03], 'zRange', [-700 700]);
  g = 13;
  for level = [2000 10; 800 5]'
    for centre = -300:200:300
      truth = [6 + rand(5000, 2) - 0.5, repmat(level', 5000, 1), centre + 200 * (rand(5000, 1) - 0.5)];
      [params, crlb, ~, status] = spotFit(astigmatic(truth, psf, g), psf);
      ok = status == 0;
      bounds = spotBounds(truth(ok, :), g, 5, 0, psf);
      err = params(ok, [1 2 5]) - truth(ok, [1 2 5]);
      spread = sqrt(mean(err .^ 2) ./ mean(bounds(:, [1 2 5]) .^ 2));
      fprintf(['  %d photons on %d, z %+4d +-100 nm: %.1f%% converged; spread / bound x %.3f, ' ...
               'y %.3f, z %.3f; z bias %+.1f nm (bound %.1f); reported z bound / Fisher %.4f\n'], ...
              level(1), level(2), centre, 100 * mean(ok), spread, mean(err(:, 3)), ...
              sqrt(mean(bounds(:, 5) .^ 2)), median(crlb(ok, 5) ./ bounds(:, 5)));
    end
  end

  % Speed on the same boxes: 2e4 of 13x13, 2000 photons on 10, depths over +-400 nm.
  count = 2e4;
  truth = [6 + rand(count, 2) - 0.5, repmat([2000 10], count, 1), 800 * rand(count, 1) - 400];
  boxes = single(astigmatic(truth, psf, g));
  t = medianTimes({@() spotFit(boxes, psf), @() spotFit(boxes, 1.5)}, [9 9]);
  what = sprintf('spotFit with depth, %d boxes of 13x13', count);
  rows = {what, t(1), 0, 'the 2-D fit of one width on the same boxes', t(2), 0.5};
  rows(end + 1, :) = {what, t(1), 0, 'the time of 100,000 fits per second', count / 1e5, 1};
  fprintf('  %s: %.0f fits/s; the 2-D fit of the same boxes %.0f fits/s\n', what, ...
          count / t(1), count / t(2));

  % crowdFit: pairs 2.5 px apart at depths of their own, against its bound with the other
  % fitted alongside.
  pairs = 2e3;
  angle = 2 * pi * rand(pairs, 1);
  middle = 7 + rand(pairs, 2) - 0.5;
  first = [middle - 1.25 * [cos(angle) sin(angle)], repmat([2000 10], pairs, 1), ...
           800 * rand(pairs, 1) - 400];
  second = [middle + 1.25 * [cos(angle) sin(angle)], 800 * rand(pairs, 1) - 400];
  regions = astigmatic(first, psf, 15) + astigmatic([second(:, 1:2), ...
                                                     repmat([2000 0], pairs, 1), second(:, 3)], psf, 15);
  starts = [kron((1:pairs)', [1; 1]), round(reshape([first(:, 1:2), second(:, 1:2)]', 2, [])')];
  [params, ~, ~, status] = crowdFit(regions, starts, psf);
  theta = [first, second(:, 1:2), repmat(2000, pairs, 1), second(:, 3)];
  bounds = spotBounds(theta, 15, 5, 0, psf);
  [found, err] = nearestFits(params, status, first(:, [1 2 5]));
  spread = sqrt(mean(err .^ 2) ./ mean(bounds(found, [1 2 5]) .^ 2));
  fprintf(['  crowdFit with depth, pairs 2.5 px apart: %.1f%% of the first found; spread / joint ' ...
           'bound x %.3f, y %.3f, z %.3f\n'], 100 * mean(found), spread);
  flat = astigmatic([first(:, 1:4), zeros(pairs, 1)], psf, 15) + ...
         astigmatic([second(:, 1:2), repmat([2000 0], pairs, 1), zeros(pairs, 1)], psf, 15);
  t = medianTimes({@() crowdFit(regions, starts, psf), @() crowdFit(flat, starts, 1.3)}, [5 5]);
  rows(end + 1, :) = {'crowdFit with depth, 2e3 regions of 15x15, pairs 2.5 px apart', t(1), ...
                      0, 'crowdFit without, the pairs at one depth', t(2), 0};

  % The calibration: 81 frames (-800 ... 800 nm) of 8 beads.
  z = -800:20:800;
  beads = [20 20; 60 25; 100 22; 25 70; 70 64; 105 75; 30 108; 90 104] + rand(8, 2);
  stack = zeros(128, 128, numel(z));
  for f = 1:numel(z)
    mu = expectedOf([beads, repmat([20000 0], 8, 1), repmat(z(f), 8, 1)], psf, 128);
    stack(:, :, f) = randp(20 + sum(mu, 3));
  end
  t = medianTimes({@() calibrateAstigmatism(stack, z)}, 5);
  found = calibrateAstigmatism(stack, z);
  depths = -600:10:600;
  miss = [widthOf(found, 1, depths) ./ widthOf(psf, 1, depths), ...
          widthOf(found, 2, depths) ./ widthOf(psf, 2, depths)] - 1;
  fprintf(['  calibrateAstigmatism, 81 frames of 8 beads: %.2f s; curves within %.3f%% rms ' ...
           'of the truth over +-600 nm\n'], t, 100 * sqrt(mean(miss .^ 2)));
  rows(end + 1, :) = {'calibrateAstigmatism, 81 frames of 128x128, 8 beads', t, 0, ...
                      'one second', 1, 1};
end

% Boxes of side g, one a row of truth (x, y, photons, background, z): Poisson counts of a spot
% whose widths follow psf's curves at its depth.
function boxes = astigmatic(truth, psf, g)
  boxes = randp(expectedOf(truth, psf, g));
end

% The expected photons of those boxes.
function mu = expectedOf(truth, psf, g)
  k = size(truth, 1);
  p = (0:g - 1)';
  sx = sqrt(2) * widthOf(psf, 1, truth(:, 5))';
  sy = sqrt(2) * widthOf(psf, 2, truth(:, 5))';
  ex = 0.5 * (erf((p + 0.5 - truth(:, 1)') ./ sx) - erf((p - 0.5 - truth(:, 1)') ./ sx));
  ey = 0.5 * (erf((p + 0.5 - truth(:, 2)') ./ sy) - erf((p - 0.5 - truth(:, 2)') ./ sy));
  mu = reshape(ex, g, 1, k) .* reshape(ey, 1, g, k) .* reshape(truth(:, 3), 1, 1, k) + ...
       reshape(truth(:, 4), 1, 1, k);
end

function s = widthOf(psf, axis, z)
  u = (z - psf.c(axis)) / psf.d(axis);
  s = psf.sigma0(axis) * sqrt(1 + u .^ 2 + psf.A(axis) * u .^ 3 + psf.B(axis) * u .^ 4);
end

% For each region's first emitter (x, y, z), whether a converged fit of its region lies within
% a pixel of it, and the errors of the nearest.
function [found, err] = nearestFits(params, status, truth)
  found = false(size(truth, 1), 1);
  err = zeros(0, 3);
  for k = 1:size(truth, 1)
    row = find(params(:, 1) == k & status == 0);
    [distance, nearest] = min(hypot(params(row, 2) - truth(k, 1), params(row, 3) - truth(k, 2)));
    if ~isempty(distance) && distance < 1
      found(k) = true;
      err(end + 1, :) = params(row(nearest), [2 3 6]) - truth(k, :); %#ok<AGROW>
    end
  end
end
