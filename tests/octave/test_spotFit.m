function test_spotFit()
  % End-to-end checks of the spotFit MEX file in Octave: messages as Octave shows them (the
  % unit tests check every error and its order), the outputs' shapes and classes, the boxes
  % boxGather cuts, and threads.
  assertError(@() spotFit(ones(5)), 'spotFit:WrongNumberOfInputs', ...
              ['spotFit: Usage: [params, crlb, logLikelihoodRatio, status] = ' ...
               'spotFit(boxes, sigma, fitSigma, readVariance)']);
  assertError(@() spotFit(ones(5), 1, false, -ones(5)), 'spotFit:BadVariance', ...
              'spotFit: readVariance must not be below 0 or NaN (Inf: no information).');
  assertError(@() spotFit(ones(5), 5.5), 'spotFit:BadSigma', ...
              'spotFit: sigma must be finite, above 0 and at most the box side 5.');

  % Spots cut out of a frame by boxGather: corner plus fit is where they were put.
  e = @(c, n) diff(erf(((0:n)' - 0.5 - c) / (sqrt(2) * 1.3))) / 2;
  frame = 3 + 800 * e(20.3, 64) * e(40.6, 48)' + 500 * e(50.8, 64) * e(10.1, 48)';
  [boxes, x0, y0] = boxGather([20; 51], [41; 10], [0; 0], 9, single(frame));
  [params, crlb, ratio, status] = spotFit(boxes, 1.3);
  assert(status, [0; 0]);
  assert(double([x0 y0]) + params(:, 1:2), [20.3 40.6; 50.8 10.1], 1e-4);
  assert(params(:, 3:4), [800 3; 500 3], 1e-2);
  assert(size(crlb), [2 4]);
  assert(ratio < 1e-6);
  assert(class(params), 'double');
  % With the width: five columns; a NaN box is status 3 and NaN throughout.
  boxes(1, 1, 2) = NaN;
  [params, crlb, ratio, status] = spotFit(boxes, 1, true);
  assert(size(params), [2 5]);
  assert(params(1, 5), 1.3, 1e-4);
  assert(status(2) == 3 && all(isnan([params(2, :), crlb(2, :), ratio(2)])));
  [params, ~, ~, status] = spotFit(zeros(7, 7, 0, 'single'), 1.3);
  assert(size(params) == [0 4] && isempty(status));
  [params, ~, ~, status] = spotFit(zeros(2^31 - 1, 2^31 - 1, 0, 'single'), 1.3);
  assert(size(params) == [0 4] && isempty(status));

  % Many boxes on several threads give the serial result bit for bit.
  randp('seed', 4);
  boxes = randp(repmat(10 + 900 * e(3.2, 7) * e(2.7, 7)', [1 1 5000]));
  [p4, c4, r4, s4] = withThreads('4', @() spotFit(boxes, 1.3));
  [p1, c1, r1, s1] = withThreads('1', @() spotFit(boxes, 1.3));
  assert(isequaln(p4, p1) && isequaln(c4, c1) && isequaln(r4, r1) && isequal(s4, s1));
  assert(mean(s1 == 0) > 0.99);
  disp('test_spotFit: all passed');
end
