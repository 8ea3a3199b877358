function rows = benchSpotFit()
  % rows = benchSpotFit()  spotFit's precision on simulated boxes against the Cramer-Rao bound
  % of spotBounds (demo/: finite differences of the model, not the module's derivatives), printed;
  % and its speed against mFitSpots and against 500,000 fits per second, as benchModules rows.
  fprintf('spotFit precision (Octave %s; simulated, fixed seed):\n', OCTAVE_VERSION);
  randp('seed', 5); rand('seed', 5);
  precision(20000, 1000, 10, 1.3, false, 'fixed width, 1000 photons on 10');
  precision(20000, 200, 5, 1.3, false, 'fixed width, 200 photons on 5');
  precision(20000, 2000, 10, 1.0, true, 'width fitted from 1.0, 2000 photons on 10');
  precisionWithReadNoise(20000, 1000, 10, 'read noise per pixel, 1000 photons on 10');
  precisionWithReadNoise(20000, 200, 5, 'read noise per pixel, 200 photons on 5');

  boxes = simulate(2e5, 1000, 10);
  few = boxes(:, :, 1:2e4);
  [theta, crlb] = mFitSpots(few, 1.3, true);
  [params, bounds, ~, status] = spotFit(few, 1.3);
  ok = status == 0;
  shift = abs(theta(ok, 1:2) - params(ok, 1:2));
  assert(max(shift(:)) < 1e-3 && ...
         max(abs(crlb(ok, 1) ./ bounds(ok, 1) - 1)) < 1e-3, 'spotFit and mFitSpots disagree');
  t = medianTimes({@() spotFit(few, 1.3), @() outputsOf(2e4), @() mFitSpots(few, 1.3, false), ...
                   @() mFitSpots(few, 1.3, true)}, [9 9 3 3]);
  rows = {'spotFit, 2e4 boxes of 7x7', t(1), t(2), ...
          'Fisher scoring in M, all boxes at once, 20 steps (the old demo''s fit)', t(3), 100};
  rows(end + 1, :) = {'spotFit, 2e4 boxes of 7x7', t(1), t(2), ...
                      'the same, stopping once every box has converged', t(4), 0};
  variance = readNoiseVariance(size(boxes));
  t = medianTimes({@() spotFit(boxes, 1.3), @() outputsOf(2e5), ...
                   @() spotFit(boxes, 1.3, false, variance)}, [9 9 9]);
  rows(end + 1, :) = {'spotFit, 2e5 boxes of 7x7', t(1), t(2), ...
                      'the time of 500,000 fits per second', 0.4, 1};
  % Each pixel's read variance may cost at most a quarter more.
  rows(end + 1, :) = {'spotFit, 2e5 boxes of 7x7, each pixel''s read variance', t(3), t(2), ...
                      'the same boxes without read variance', t(1), 0.8};
end

% What the host takes to hand out spotFit's outputs for k boxes, pages touched.
function outputsOf(k)
  for columns = [4 4 1 1]
    z = zeros(k, columns);
    z(end) = 1;
  end
end

function boxes = simulate(k, photons, background, truth)
  g = 7;
  if nargin < 4
    truth = [3 + rand(k, 2) - 0.5, repmat([photons background 1.3], k, 1)];
  end
  p = (0:g - 1)';
  s = sqrt(2) * truth(:, 5)';
  ex = 0.5 * (erf((p + 0.5 - truth(:, 1)') ./ s) - erf((p - 0.5 - truth(:, 1)') ./ s));
  ey = 0.5 * (erf((p + 0.5 - truth(:, 2)') ./ s) - erf((p - 0.5 - truth(:, 2)') ./ s));
  mu = reshape(ex, g, 1, k) .* reshape(ey, 1, g, k) .* reshape(truth(:, 3), 1, 1, k) + ...
       reshape(truth(:, 4), 1, 1, k);
  boxes = randp(mu);
end

% Read noise variance (photons squared) of each pixel of a scientific CMOS camera: log-normal
% around 1.5 photons rms, one pixel in a hundred between 6 and 10 rms.
function variance = readNoiseVariance(dims)
  rms = exp(log(1.5) + 0.3 * randn(dims));
  noisy = rand(dims) < 0.01;
  rms(noisy) = 6 + 4 * rand(nnz(noisy), 1);
  variance = rms .^ 2;
end

% The spread of x against the bound with each box's read variance (spotBounds, independent of
% the module), over boxes with Poisson photons and Gaussian read noise.
function precisionWithReadNoise(k, photons, background, what)
  truth = [3 + rand(k, 2) - 0.5, repmat([photons background 1.3], k, 1)];
  variance = readNoiseVariance([7 7 k]);
  boxes = simulate(k, photons, background, truth) + sqrt(variance) .* randn(7, 7, k);
  [params, ~, ~, status] = spotFit(boxes, 1.3, false, variance);
  ok = status == 0;
  bound = spotBounds(truth(ok, :), 7, 4, variance(:, :, ok));
  err = params(ok, 1:2) - truth(ok, 1:2);
  fprintf(['  %s: %.1f%% converged; spread / bound with the read variance x %.3f, y %.3f ' ...
           '(bound %.4f px rms)\n'], what, 100 * mean(ok), sqrt(mean(err(:, 1) .^ 2) / ...
          mean(bound(:, 1) .^ 2)), sqrt(mean(err(:, 2) .^ 2) / mean(bound(:, 2) .^ 2)), ...
          sqrt(mean(bound(:, 1) .^ 2)));
end

function precision(k, photons, background, start, fitSigma, what)
  truth = [3 + rand(k, 2) - 0.5, repmat([photons background 1.3], k, 1)];
  boxes = simulate(k, photons, background, truth);
  [params, crlb, ratio, status] = spotFit(boxes, start, fitSigma);
  ok = status == 0;
  columns = 4 + fitSigma;
  err = params(ok, :) - truth(ok, 1:columns);
  bound = spotBounds([3 3 photons background 1.3], 7, columns);
  fprintf('  %s: %.1f%% converged; bias x %.4f, y %.4f px; std/bound x %.3f, y %.3f, photons %.3f;\n', ...
          what, 100 * mean(ok), mean(err(:, 1)), mean(err(:, 2)), std(err(:, 1)) / bound(1), ...
          std(err(:, 2)) / bound(2), std(err(:, 3)) / bound(3));
  fprintf('    photons bias %.2f%%', 100 * mean(err(:, 3)) / photons);
  if fitSigma
    fprintf('; width bias %.2f%%, std/bound %.3f', 100 * mean(err(:, 5)) / 1.3, ...
            std(err(:, 5)) / bound(5));
  end
  % The returned bounds against the independent computation at each estimate (a sample).
  sample = find(ok, 200);
  theta = [params(sample, :), repmat(1.3, numel(sample), 5 - columns)];
  agree = max(abs(crlb(sample, 1:columns) ./ spotBounds(theta, 7, columns) - 1), [], 2);
  fprintf('; crlb vs independent %.2g%% at most; mean ratio %.1f for %d degrees of freedom\n', ...
          100 * max(agree), mean(ratio(ok)), 49 - columns);
end
