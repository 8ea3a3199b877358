function test_dotMosaic()
  % End-to-end checks of the dotMosaic MEX file in Octave.
  argumentErrors();
  countImage();
  equalisation();
  agreesWithAccumarray();
  threadsGiveTheSerialResult();
  emptyPixelsAreZeroInMemoryJustFreed();
  disp('test_dotMosaic: all passed');
end

function threadsGiveTheSerialResult()
  % Above the thresholds: several threads count into images of their own and merge them,
  % then equalise; on one thread the same.
  rand('seed', 21);
  x = single(40 * rand(1.2e6, 1));
  y = single(40 * rand(1.2e6, 1));
  [counts, levels] = withThreads('4', @() dotMosaic(40, 40, x, y, 1));
  [serialCounts, serialLevels] = withThreads('1', @() dotMosaic(40, 40, x, y, 1));
  assert(isequal(counts, serialCounts) && isequal(levels, serialLevels));
  x = 2048 * x / 40;
  y = 1024 * y / 40;
  [counts, levels] = withThreads('4', @() dotMosaic(2048, 1024, x, y, 1));
  [serialCounts, serialLevels] = withThreads('1', @() dotMosaic(2048, 1024, x, y, 1));
  assert(isequal(counts, serialCounts) && isequal(levels, serialLevels));
end

function argumentErrors()
  x = single([1; 2]);
  assertError(@() dotMosaic(4, 4, x, x), '', ...
              'dotMosaic: Must input sizeX,sizeY,X,Y,UseHistEqual!');
  assertError(@() dotMosaic(), '', 'dotMosaic: Must input sizeX,sizeY,X,Y,UseHistEqual!');
  assertError(@() dotMosaic(4, 4, [1; 2], x, 0), '', ...
              'dotMosaic: Array inputs must be comprised of single floats!');
  assertError(@() dotMosaic(4, 4, x, int16([1; 2]), 0), '', ...
              'dotMosaic: Array inputs must be comprised of single floats!');
  assertError(@() dotMosaic(4, 4, x, single(1), 0), '', ...
              'dotMosaic: Y must have at least as many elements as X!');
  assertError(@() dotMosaic(0.9, 4, x, x, 0), '', 'dotMosaic: sizeX and sizeY must be at least 1!');
  assertError(@() dotMosaic(4, NaN, x, x, 0), '', 'dotMosaic: sizeX and sizeY must be at least 1!');
  assertError(@() dotMosaic(-Inf, 4, x, x, 0), '', 'dotMosaic: sizeX and sizeY must be at least 1!');
  % Checks come in order: the class of Y before its length, its length before the sizes.
  assertError(@() dotMosaic(0, 4, x, 1, 0), '', ...
              'dotMosaic: Array inputs must be comprised of single floats!');
  assertError(@() dotMosaic(0, 4, x, single(1), 0), '', ...
              'dotMosaic: Y must have at least as many elements as X!');
  assertError(@() dotMosaic(4, 4, zeros(2^31, 0, 'single'), x, 0), 'dotMosaic:DimensionTooLarge');
  % Sizes that would truncate to 2^31 - 1 are refused before anything is allocated.
  tooLarge = 'dotMosaic: Array dimensions must each be less than 2^31.';
  assertError(@() dotMosaic(Inf, 3, x, x, 0), 'dotMosaic:DimensionTooLarge', tooLarge);
  assertError(@() dotMosaic(3e9, 1, x, x, 0), 'dotMosaic:DimensionTooLarge', tooLarge);
  % Scalars the host cannot read as numbers, and complex points.
  wrongType = 'dotMosaic: sizeX, sizeY and UseHistEqual must be real numeric scalars.';
  assertError(@() dotMosaic({4}, 4, x, x, 0), 'dotMosaic:WrongType', wrongType);
  assertError(@() dotMosaic(4, struct('a', 4), x, x, 0), 'dotMosaic:WrongType', wrongType);
  assertError(@() dotMosaic(4, 4, x, x, @sin), 'dotMosaic:WrongType', wrongType);
  assertError(@() dotMosaic(4, [], x, x, 0), 'dotMosaic:WrongType', wrongType);
  assertError(@() dotMosaic(4, 4, complex(x, x), x, 0), '', ...
              'dotMosaic: Array inputs must be comprised of single floats!');
  % An image far beyond memory fails as an error; the session goes on.
  try
    dotMosaic(2^31 - 1, 2^31 - 1, x, x, 0);
    error('test:noError', 'an impossible image must fail');
  catch err
    assert(~strcmp(err.identifier, 'test:noError'));
  end
end

function countImage()
  % Coordinates at and beyond the borders.
  x = single([-3.7; 2.999; 15; Inf; NaN; -Inf]);
  y = single([0.5; 0.5; 0.5; 1.5; 1.5; 2.5]);
  [counts, levels] = dotMosaic(10.9, 3, x, y, 0);
  assert(class(counts), 'uint16');
  assert(class(levels), 'single');
  assert(size(counts), [10 3]);
  assert(size(levels), [10 3]);
  expected = zeros(10, 3, 'uint16');
  expected(1, 1) = 1; expected(3, 1) = 1; expected(10, 1) = 1;
  expected(10, 2) = 1; expected(1, 2) = 1; expected(1, 3) = 1;
  assert(counts, expected);
  assert(all(levels(:) == 0));

  % No points; a 1-by-N row counts all its points; 0.7 truncates to "no equalisation".
  [counts, levels] = dotMosaic(3, 2, zeros(0, 1, 'single'), zeros(0, 1, 'single'), 1);
  assert(counts, zeros(3, 2, 'uint16'));
  assert(levels, zeros(3, 2, 'single'));
  counts = dotMosaic(3, 2, single([0 1 2 2]), single([0 0 1 1.5]), 0.7);
  assert(counts, uint16([1 0; 1 0; 0 2]));

  % 65536 points in one pixel saturate at 65535.
  many = zeros(65536, 1, 'single');
  assert(dotMosaic(1, 1, many, many, 0), uint16(65535));
  assert(dotMosaic(2, 1, [many; 1.5], [many; 0], 0), uint16([65535; 1]));

  % No output requested still answers in ans.
  dotMosaic(2, 2, single(1), single(1), 0);
  assert(ans, uint16([0 0; 0 1]));
end

function equalisation()
  % Ten points in ten pixels: all at the top level.
  [counts, levels] = dotMosaic(10, 1, single(0:9)', zeros(10, 1, 'single'), 1);
  assert(counts, repmat(uint16(1023), 10, 1));
  assert(levels, repmat(single(1023), 10, 1));

  % Counts 1, 1, 2 and 3 in four pixels.
  x = single([0 1 2 2 3 3 3]);
  [counts, levels] = dotMosaic(5, 1, x, zeros(size(x), 'single'), 1);
  assert(levels, single([341; 341; 682; 1023; 0]));
  assert(counts, uint16([341; 341; 682; 1023; 0]));
  % With one output the levels replace the counts all the same.
  assert(dotMosaic(5, 1, x, zeros(size(x), 'single'), 1), counts);

  % Exactly one non-empty pixel: the top level in both, not NaN and 0.
  [counts, levels] = dotMosaic(3, 3, single([1 1]), single([2 2]), 1);
  assert(levels(2, 3), single(1023));
  assert(counts(2, 3), uint16(1023));
  assert(nnz(counts), 1);

  % Counts far above 1022, saturated ones included, equalise by rank.
  x = [zeros(70000, 1, 'single'); ones(2000, 1, 'single'); 2 * ones(5, 1, 'single')];
  [counts, levels] = dotMosaic(4, 1, x, zeros(size(x), 'single'), 1);
  assert(levels, single([1023; 511.5; 0; 0]));
  assert(counts, uint16([1023; 511; 0; 0]));
end

function agreesWithAccumarray()
  rand('seed', 3);
  n = 20000;
  x = single(rand(n, 1) * 70 - 5);
  y = single(rand(n, 1) * 50 - 5);
  sx = 64; sy = 40;
  ix = min(max(floor(double(x)), 0), sx - 1) + 1;
  iy = min(max(floor(double(y)), 0), sy - 1) + 1;
  expected = accumarray([ix iy], 1, [sx sy]);
  [counts, levels] = dotMosaic(sx, sy, x, y, 0);
  assert(double(counts), expected);

  % Equalised levels against the rank of each count among the non-empty pixels.
  [~, levels] = dotMosaic(sx, sy, x, y, 1);
  nonEmpty = sort(expected(expected > 0));
  ranks = arrayfun(@(c) sum(nonEmpty <= c), expected);
  want = single(((single(ranks) - 1) * 1023) / single(numel(nonEmpty) - 1));
  want(expected == 0) = 0;
  assert(levels, want);
end

function emptyPixelsAreZeroInMemoryJustFreed()
  % Small outputs come from memory the session has just freed, here full of sevens.
  for k = 1:50
    junk = repmat(single(7), 40, 30);
    clear junk
    [counts, levels] = dotMosaic(40, 30, single([1; 5]), single([2; 9]), 1);
    assert(nnz(counts) == 2 && nnz(levels) == 2);
  end
end
