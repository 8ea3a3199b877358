function test_crowdFit()
  % End-to-end checks of the crowdFit MEX file in Octave: messages as Octave shows them (the
  % unit tests check every error and its order), the example of its help, regions boxGather
  % cuts from single frames with a read variance map, and threads.
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

  % Two spots 2 pixels apart in a frame of a camera with read noise: a region cut around their
  % candidates, with the frame's read variance cut the same way.
  e = @(c, n) diff(erf(((0:n)' - 0.5 - c) / (sqrt(2) * 1.3))) / 2;
  randn('seed', 5); randp('seed', 5);
  variance = 1 + 4 * rand(64, 48);
  truth = 8 + 1500 * e(30.3, 64) * e(20.1, 48)' + 1000 * e(32.4, 64) * e(20.6, 48)';
  frame = single(randp(truth) + sqrt(variance) .* randn(64, 48));
  [regions, x0, y0] = boxGather(31, 20, 0, 13, frame);
  readVariance = boxGather(31, 20, 0, 13, single(variance));
  starts = [1, 30 - x0, 20 - y0; 1, 32 - x0, 21 - y0];
  [p, crlb, ratio, status] = crowdFit(regions, starts, 1.3, readVariance);
  assert(status, [0; 0]);
  assert(double([x0 y0]) + p(:, 2:3), [30.3 20.1; 32.4 20.6], 4 * max(crlb(:, 1:2), [], 2));
  assert(class(p), 'double');
  assert(size(crlb) == [2 4] && isscalar(ratio));

  % Many regions on several threads give the serial result bit for bit.
  randp('seed', 4);
  regions = randp(repmat(10 + 900 * e(3.2, 11) * e(4.7, 11)' + 700 * e(6, 11) * e(5, 11)', ...
                         [1 1 2000]));
  starts = [kron((1:2000)', [1; 1]), repmat([3 5; 6 5], 2000, 1)];
  [p4, c4, r4, s4] = withThreads('4', @() crowdFit(regions, starts, 1.3));
  [p1, c1, r1, s1] = withThreads('1', @() crowdFit(single(regions), starts, 1.3));
  assert(isequaln(p4, p1) && isequaln(c4, c1) && isequaln(r4, r1) && isequal(s4, s1));
  assert(mean(s1 == 0) > 0.99);
  disp('test_crowdFit: all passed');
end
