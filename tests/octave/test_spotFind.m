function test_spotFind(benchFolder)
  % End-to-end checks of the spotFind MEX file in Octave: errors in order, the candidates of
  % the definition written in M with conv2 (the benchmark's mFindSpots), each class, and
  % threads.
  addpath(benchFolder);
  assertError(@() spotFind(ones(5), 1), 'spotFind:WrongNumberOfInputs', ...
              'spotFind: Usage: [X, Y, Z, strength] = spotFind(stack, sigma, threshold, offset, gain)');
  assertError(@() spotFind(ones(5), 1, 1, 100), 'spotFind:WrongNumberOfInputs');
  assertError(@() spotFind(int16(ones(5)), NaN, NaN), 'spotFind:WrongType');
  assertError(@() spotFind(ones(5), 'a', NaN), 'spotFind:WrongType');
  assertError(@() spotFind(ones(5, 5, 2, 2), NaN, NaN), 'spotFind:WrongSize');
  assertError(@() spotFind(ones(5), 20.5, NaN), 'spotFind:BadSigma');
  assertError(@() spotFind(ones(5), 0.0999, 1), 'spotFind:BadSigma', ...
              'spotFind: sigma must be finite, from 0.1 to 20.');
  assert(numel(spotFind(ones(5), 0.1, -Inf)) == 1);
  % No frames of the largest size: empty outputs, no memory sought for that size.
  [x, y, z, s] = spotFind(zeros(2^31 - 1, 2^31 - 1, 0, 'single'), 1.3, 0);
  assert(size(x) == [0 1] && isempty(y) && isempty(z) && isempty(s));
  [x, ~, ~, s] = spotFind(ones(5, 4), 20, -Inf);  % the widest sigma, on a flat frame
  assert(numel(x) == 1 && abs(s) < 1e-9);
  assertError(@() spotFind(ones(5), 1, NaN), 'spotFind:BadThreshold');

  randp('seed', 2);
  stack = uint16(randp(100 * ones(60, 50, 3)));
  stack(20, 30, 2) = 2000;
  [x, y, z, s] = spotFind(stack, 1.3, 25);
  [X, Y, Z, S] = mFindSpots(stack, 1.3, 25);
  assert([x y z], [X Y Z]);
  assert(s, S, 1e-9 * max(abs(S)));
  assert(any(x == 19 & y == 29 & z == 1));
  for c = {'single', 'double'}
    [x2, y2, z2, s2] = spotFind(cast(stack, c{1}), 1.3, 25);
    assert(isequal([x2 y2 z2 s2], [x y z s]));
  end
  % Through the camera's maps as on the frames in photons, and the maps' checks in order.
  offset = single(95 + 10 * rand(60, 50));
  gain = 1.8 + 0.4 * rand(60, 50);
  [x2, y2, z2, s2] = spotFind(stack, 1.3, 12, offset, gain);
  [x3, y3, z3, s3] = spotFind((double(stack) - double(offset)) ./ gain, 1.3, 12);
  assert(isequal([x2 y2 z2 s2], [x3 y3 z3 s3]) && numel(x2) > 5);
  assertError(@() spotFind(stack, 1.3, 12, 'a', gain), 'spotFind:WrongType');
  assertError(@() spotFind(stack, 1.3, 12, offset, gain'), 'spotFind:WrongSize');
  assertError(@() spotFind(stack, 1.3, 12, NaN, gain), 'spotFind:BadCamera');
  assertError(@() spotFind(stack, 1.3, 12, offset, 0), 'spotFind:BadCamera');
  % One frame split by columns, several frames by frames: the serial result.
  for frames = [1 3]
    part = stack(:, :, 1:frames);
    [a4, b4, c4, d4] = withThreads('4', @() spotFind(part, 1.3, 25));
    [a1, b1, c1, d1] = withThreads('1', @() spotFind(part, 1.3, 25));
    assert(isequal([a4 b4 c4 d4], [a1 b1 c1 d1]));
  end
  disp('test_spotFind: all passed');
end
