function test_boxGather()
  % End-to-end checks of the boxGather MEX file in Octave.
  argumentErrors();
  placementAndCopy();
  agreesWithIndexing();
  threadsGiveTheSerialResult();
  disp('test_boxGather: all passed');
end

function threadsGiveTheSerialResult()
  rand('seed', 22);
  data = single(rand(256, 256, 20));
  x = 256 * rand(2e4, 1);
  y = 256 * rand(2e4, 1);
  z = floor(20 * rand(2e4, 1));
  [boxes, x0, y0] = withThreads('4', @() boxGather(x, y, z, 7, data));
  [serialBoxes, serialX0, serialY0] = withThreads('1', @() boxGather(x, y, z, 7, data));
  assert(isequal(boxes, serialBoxes) && isequal(x0, serialX0) && isequal(y0, serialY0));
end

function argumentErrors()
  data = single(rand(12, 10, 2));
  c = [5; 2];
  try
    boxGather(c, c, [0; 1], 3);
    error('test:noError', 'four inputs must fail');
  catch err
    assert(err.identifier, 'MATLAB:WrongNumberOfInputs');
    lines = strsplit(err.message, "\n");
    assert(lines{1}, 'boxGather: Usage: boxGather(xpostitions,ypositions,zpositions, boxsize,data)');
    assert(numel(lines), 5);
    keywords = {'Rev', 'Date', 'Author', 'HeadURL'};
    for k = 1:4
      assert(~isempty(regexp(lines{k + 1}, ['^\$' keywords{k} ': .+ \$$'], 'once')), lines{k + 1});
    end
  end
  assertError(@() boxGather([], [], [], 3, double(data)), 'boxGather:WrongPrecision', ...
              'boxGather: data must be comprised of single floats');
  assertError(@() boxGather(zeros(0, 1), c, c, 3, data), 'boxGather:WrongDimensions', ...
              'boxGather: X coordinate array is empty.');
  assertError(@() boxGather(1:5, 1:5, 1:5, 3, data), 'boxGather:WrongDimensions', ...
              'boxGather: X should be a 1 dimensional array.');
  assertError(@() boxGather(c, c, [0; 0; 0], 3, data), 'boxGather:DimensionMismatch', ...
              'boxGather: Size of X and Y and Z coordinates must match.');
  assertError(@() boxGather(c, c, c, [3 3], data), 'boxGather:WrongDimensions', ...
              'boxGather: boxsize should be a single value specifying the szxsz region size.');
  assertError(@() boxGather(c, c, c, 3, single(rand(4, 4, 2, 2))), 'boxGather:WrongDimensions', ...
              'boxGather: data should be a 3 dimensional array not 4.');
  assertError(@() boxGather(c, c, c, 0.9, data), 'boxGather:InputOutofRange', ...
              'boxGather: boxsize must be a positive integer.');
  assertError(@() boxGather(c, c, c, NaN, data), 'boxGather:InputOutofRange', ...
              'boxGather: boxsize must be a positive integer.');
  assertError(@() boxGather(c, c, c, 11, data), 'boxGather:InputOutofRange', ...
              'boxGather: data size must be bigger than boxsize');
  assertError(@() boxGather(c, c, c, Inf, data), 'boxGather:InputOutofRange', ...
              'boxGather: data size must be bigger than boxsize');
  assertError(@() boxGather(c, c, c, ones(1, 1, 2), data), 'boxGather:WrongDimensions', ...
              'boxGather: boxsize should be a single value specifying the szxsz region size.');
  assertError(@() boxGather(c, c, c, {3}, data), 'boxGather:WrongPrecision', ...
              'boxGather: boxsize must be a real numeric value.');
  assertError(@() boxGather(c, c, c, @sin, data), 'boxGather:WrongPrecision', ...
              'boxGather: boxsize must be a real numeric value.');
  assertError(@() boxGather(c, c, c, 3, complex(data, data)), 'boxGather:WrongPrecision', ...
              'boxGather: data must be comprised of single floats');
  assertError(@() boxGather(c, c, c, 3, zeros(10, 10, 0, 'single')), 'boxGather:InputOutofRange', ...
              'boxGather: data holds no frames.');
  % Positions: real numeric, existing frames, no NaN.
  numericMessage = 'boxGather: X, Y and Z must be real numeric arrays.';
  assertError(@() boxGather(['a'; 'b'], c, c, 3, data), 'boxGather:WrongPrecision', numericMessage);
  assertError(@() boxGather(c, [true; false], c, 3, data), 'boxGather:WrongPrecision', numericMessage);
  assertError(@() boxGather(c, c, {1; 2}, 3, data), 'boxGather:WrongPrecision', numericMessage);
  assertError(@() boxGather(c + 1i, c, c, 3, data), 'boxGather:WrongPrecision', numericMessage);
  assertError(@() boxGather(sparse(c), c, c, 3, data), 'boxGather:WrongPrecision', numericMessage);
  assertError(@() boxGather(c, c, [0; 2], 3, data), 'boxGather:InputOutofRange', ...
              'boxGather: Z must hold frame indices from 0 to 1.');
  assertError(@() boxGather(c, c, [0; 1], 3, data(:, :, 1)), 'boxGather:InputOutofRange', ...
              'boxGather: Z must hold frame indices from 0 to 0.');
  assertError(@() boxGather(c, c, [NaN; 0], 3, data), 'boxGather:InputOutofRange', ...
              'boxGather: Z must hold frame indices from 0 to 1.');
  assertError(@() boxGather([1; NaN], c, [0; 0], 3, data), 'boxGather:InputOutofRange', ...
              'boxGather: X and Y must not be NaN.');
  assertError(@() boxGather(c, single([NaN; 1]), [0; 0], 3, data), 'boxGather:InputOutofRange', ...
              'boxGather: X and Y must not be NaN.');
end

function placementAndCopy()
  data = single(reshape(1:30 * 20 * 4, 30, 20, 4));
  % Odd box centred; even box one further toward higher indices; halves round up.
  [~, x0] = boxGather(10, 10, 0, 5, data);    assert(x0, single(8));
  [~, x0] = boxGather(10, 10, 0, 4, data);    assert(x0, single(9));
  [~, x0] = boxGather(9.5, 10, 0, 4, data);   assert(x0, single(9));
  [~, x0] = boxGather(9.49, 10, 0, 4, data);  assert(x0, single(8));
  % Borders: shifted inward, corners report the clamped value; infinite positions too.
  [~, x0, y0] = boxGather([-7; 70; Inf], [3; -Inf; 1e300], [0; 0; 0], 5, data);
  assert(x0, single([0; 25; 25]));
  assert(y0, single([1; 0; 15]));
  % g = 1 is the pixel itself; boxsize 5.99 is taken as 5; Z = 2.9 reads frame 2.
  [box, x0, y0] = boxGather(6.5, 3.2, 0, 1, data);
  assert([x0 y0], single([7 3]));
  assert(box, data(8, 4, 1));
  box = boxGather(12, 12, 2.9, 5.99, data);
  assert(size(box), [5 5]);
  assert(box, data(11:15, 11:15, 3));
  % Integer and single positions are the same positions as doubles.
  [a, ax, ay] = boxGather([3; 17.5], [4; 9], [1; 3], 6, data);
  [b, bx, by] = boxGather(int16([3; 18]), single([4; 9]), uint8([1; 3]), 6, data);
  assert(isequal(a, b) && isequal(ax, bx) && isequal(ay, by));
  assert(class(a), 'single');
  assert(size(a), [6 6 2]);
end

function agreesWithIndexing()
  rand('seed', 7);
  data = single(rand(40, 33, 5));
  n = 120;
  for g = 1:15
    x = rand(n, 1) * 50 - 5;
    y = rand(n, 1) * 43 - 5;
    z = floor(rand(n, 1) * 5);
    [boxes, x0, y0] = boxGather(x, y, z, g, data);
    assert(size(boxes, 3), n);
    for i = 1:n
      xs = double(x0(i)); ys = double(y0(i));
      assert(boxes(:, :, i), data(xs + 1:xs + g, ys + 1:ys + g, z(i) + 1));
    end
    % The corners are the rounded positions shifted inward.
    half = floor(g / 2 + 0.5);
    want = min(max(floor(x + 0.5) + 1 - half, 0), 40 - g);
    assert(double(x0), want);
  end
end
