function test_crowdFit()
  % End-to-end checks of the crowdFit MEX file in Octave: messages as Octave shows them (the
  % unit tests check every error and its order), the example of its help, and threads.
  assertError(@() crowdFit(ones(5), [1 2 2]), 'crowdFit:WrongNumberOfInputs', ...
              ['crowdFit: Usage: [params, crlb, logLikelihoodRatio, status] = ' ...
               'crowdFit(regions, starts, sigma, readVariance)']);
  assertError(@() crowdFit(ones(5), [1 2 5], 1), 'crowdFit:BadStarts', ...
              ['crowdFit: each start''s region must be a whole number from 1 to the number ' ...
               'of regions, and its x and y within the region, -0.5 to 4.5.']);
  assertError(@() crowdFit(ones(5), repmat([1 2 2], 6, 1), 1), 'crowdFit:TooManyStarts', ...
              'crowdFit: a region holds at most 5 starts.');

  % The help's example, as it stands there.
  help = strsplit(fileread(which('crowdFit.m')), sprintf('\n'));
  first = find(strncmp(help, '%   Example', 11)) + 1;
  last = find(strncmp(help, '%   localiseRecording fits', 26)) - 1;
  example = regexprep(help(first:last), '^%\s*', '');
  randn('seed', 3);
  eval(strjoin(example, sprintf('\n')));
  assert(status, [0; 0; 0]);
  assert(sortrows(p(:, 2:3)), [5.2 6; 6 10; 7.2 6], 0.35);

  % Many regions on several threads give the serial result bit for bit.
  e = @(c, n) diff(erf(((0:n)' - 0.5 - c) / (sqrt(2) * 1.3))) / 2;
  randp('seed', 4);
  regions = randp(repmat(10 + 900 * e(3.2, 11) * e(4.7, 11)' + 700 * e(6, 11) * e(5, 11)', ...
                         [1 1 2000]));
  starts = [kron((1:2000)', [1; 1]), repmat([3 5; 6 5], 2000, 1)];
  [p4, c4, r4, s4] = withThreads('4', @() crowdFit(regions, starts, 1.3));
  [p1, c1, r1, s1] = withThreads('1', @() crowdFit(single(regions), starts, 1.3));
  assert(isequaln(p4, p1) && isequaln(c4, c1) && isequaln(r4, r1) && isequal(s4, s1));
  assert(mean(s1 == 0) > 0.99);

  % With a depth calibration: pairs 2.5 px apart at depths of their own, found and placed in
  % x, y and z as precisely as their joint bounds say.
  psf = struct('sigma0', [1.3 1.25], 'c', [-250 250], 'd', [450 440], 'A', [0.05 -0.05], ...
               'B', [0.02 0.03], 'zRange', [-700 700]);
  rand('seed', 2); randp('seed', 2);
  n = 400; g = 15;
  regions = zeros(g, g, n);
  truth = zeros(2 * n, 3);
  for k = 1:n
    a = 2 * pi * rand;
    centre = 7 + 0.5 * (rand(1, 2) - 0.5);
    pair = [centre; centre] + 1.25 * [-1; 1] * [cos(a) sin(a)];
    depths = -400 + 800 * rand(2, 1);
    regions(:, :, k) = randp(astigmaticSpots(g, psf, [pair, [2000; 2000], depths], 10));
    truth(2 * k - [1 0], :) = [pair depths];
  end
  starts = [kron((1:n)', [1; 1]), round(truth(:, 1:2))];
  [p, crlb, ~, status] = crowdFit(regions, starts, psf);
  assert(size(p, 2) == 6 && size(crlb, 2) == 5);
  errors = [];
  bounds = [];
  for k = 1:2 * n
    row = find(p(:, 1) == ceil(k / 2) & status == 0);
    [miss, nearest] = min(hypot(p(row, 2) - truth(k, 1), p(row, 3) - truth(k, 2)));
    if ~isempty(miss) && miss < 1
      errors(end + 1, :) = p(row(nearest), [2 3 6]) - truth(k, :);
      bounds(end + 1, :) = crlb(row(nearest), [1 2 5]);
    end
  end
  assert(rows(errors) >= 0.95 * 2 * n, sprintf('%d of %d found', rows(errors), 2 * n));
  spread = sqrt(mean(errors .^ 2) ./ mean(bounds .^ 2));
  assert(all(spread < 1.15), sprintf('spread %.2f %.2f %.2f of the joint bound', spread));
  psf.zRange = [300 -300];
  assertError(@() crowdFit(regions, starts, psf), 'crowdFit:BadPsf');
  disp('test_crowdFit: all passed');
end
