function benchModules(folder, outputFile)
  % benchModules(folder, outputFile)  Times each module against the fastest M code a user
  % would write instead (of the variants tried, named in each row), in one run, and writes the
  % medians to outputFile, one row a line: call, what instead, module, host floor, instead,
  % target, separated by tabs. bench/bench_table.py makes the table of one or more such files
  % (one per Octave version). folder holds the points of benchPoints and fast_histogram.txt,
  % the output of fast_histogram_time.py on them (fast-histogram runs in a process of its
  % own); without that file its rows are left out. `make bench` runs it all. Run with the
  % build's toolbox folder on the path; needs the image package (histeq).
  pkg load image
  rand('seed', 1); randn('seed', 1);
  rows = {};
  fastHistogram = readFastHistogram(fullfile(folder, 'fast_histogram.txt'));
  version = ['Octave ' OCTAVE_VERSION];

  % dotMosaic against floor + clamp + accumarray, and fast-histogram on the same points.
  s = 1024;
  for shape = {'uniform', 'clustered'}
    [x, y] = readPoints(fullfile(folder, [shape{1} '.f32']));
    checkCounts(dotMosaic(s, s, x, y, 0), accumarrayCounts(s, s, x, y));
    t = medianTimes({@() dotMosaic(s, s, x, y, 0), @() touchedZeros([s s], 'uint16'), ...
                     @() accumarrayCounts(s, s, x, y)}, [15 15 3]);
    [tModule, tFloor, tAccum] = deal(t(1), t(2), t(3));
    what = sprintf('dotMosaic counts, 1e7 %s points, 1024^2', shape{1});
    rows(end + 1, :) = {what, tModule, tFloor, 'floor, clamp, linear index, accumarray', ...
                        tAccum, 40};
    if ~isempty(fastHistogram)
      rows(end + 1, :) = {what, tModule, tFloor, 'fast-histogram (Python)', ...
                          fastHistogram.(shape{1}), 3};
    end
  end
  clear x y

  % dotMosaic with equalisation against accumarray + histeq, one output.
  n = 1e6; s = 4096;
  x = single(rand(n, 1) * s);
  y = single(rand(n, 1) * s);
  [levels, exactLevels] = dotMosaic(s, s, x, y, 1);
  counts = accumarrayCounts(s, s, x, y);
  checkLevels(levels, counts, accumarrayHisteq(s, s, x, y));
  assert(isequal(rankLevels(counts), exactLevels), 'dotMosaic and the rank levels disagree');
  t = medianTimes({@() dotMosaic(s, s, x, y, 1), @() touchedZeros([s s], 'uint16'), ...
                   @() accumarrayHisteq(s, s, x, y), @() dotMosaic(s, s, x, y, 0), ...
                   @() rankLevels(accumarrayCounts(s, s, x, y))}, [9 9 3 9 3]);
  [tModule, tFloor, tBuiltin, tPlain, tRank] = deal(t(1), t(2), t(3), t(4), t(5));
  what = 'dotMosaic equalised, 1e6 points, 4096^2';
  rows(end + 1, :) = {what, tModule, tFloor, 'accumarray (as above), histeq', tBuiltin, 40};
  rows(end + 1, :) = {what, tModule, tFloor, ...
                      'accumarray (as above), the same levels by unique and cumsum', tRank, 0};
  % Equalisation may add at most a third to the call without it.
  rows(end + 1, :) = {what, tModule, tFloor, 'dotMosaic counts only', tPlain, 0.75};
  clear counts levels exactLevels x y

  % boxGather against the vectorised gather.
  data = single(rand(512, 512, 200));
  m = 2e5;
  bx = rand(m, 1) * 512; by = rand(m, 1) * 512; bz = floor(rand(m, 1) * 200);
  for g = [7 15]
    [boxes, x0, y0] = boxGather(bx, by, bz, g, data);
    [expected, ex0, ey0] = gatherBoxes(bx, by, bz, g, data);
    assert(isequal(boxes, expected) && isequal(double(x0), ex0) && isequal(double(y0), ey0), ...
           'boxGather and the vectorised gather disagree');
    clear boxes expected
    t = medianTimes({@() boxGather(bx, by, bz, g, data), @() boxFloor(g, m), ...
                     @() gatherBoxes(bx, by, bz, g, data)}, [9 9 3]);
    [tModule, tFloor, tBuiltin] = deal(t(1), t(2), t(3));
    what = sprintf('boxGather, 2e5 boxes of %dx%d', g, g);
    rows(end + 1, :) = {what, tModule, tFloor, 'corners, offsets + bases, one indexing', ...
                        tBuiltin, 8};
  end
  clear data

  % frameFetch against fopen + fseek + fread + fclose of the same bytes.
  file = [tempname() '.rec'];
  cleanup = onCleanup(@() delete(file));
  writeRecording(file, uint16(randi(65535, 2048, 2048, 4)));
  assert(isequal(frameFetch(2, file), freadFrame(file, 2, 2048, 2048)));
  t = medianTimes({@() frameFetch(2, file), @() touchedZeros([2048 2048], 'uint16'), ...
                   @() freadFrame(file, 2, 2048, 2048)}, [31 31 31]);
  [tModule, tFloor, tBuiltin] = deal(t(1), t(2), t(3));
  rows(end + 1, :) = {'frameFetch, 2048x2048 frame', tModule, tFloor, 'fopen, fseek, fread', ...
                      tBuiltin, 1.2};

  % spotFind against the definition in M, on camera frames: Poisson background, spots.
  randp('seed', 3);
  e = @(c) diff(erf(((0:512)' - 0.5 - c) / (sqrt(2) * 1.3))) / 2;
  mu = 10 * ones(512, 512, 60);
  for f = 1:60
    for k = 1:40
      mu(:, :, f) = mu(:, :, f) + 1000 * e(512 * rand()) * e(512 * rand())';
    end
  end
  stack = single(100 + randp(mu));
  clear mu
  [x, y, z, s] = spotFind(stack, 1.3, 75);
  [ex, ey, ez, es] = mFindSpots(stack, 1.3, 75);
  assert(isequal([x y z], [ex ey ez]) && max(abs(s - es)) < 1e-6 * max(abs(es)), ...
         'spotFind and the definition in M disagree');
  t = medianTimes({@() spotFind(stack, 1.3, 75), @() mFindSpots(stack, 1.3, 75)}, [9 3]);
  rows(end + 1, :) = {'spotFind, 512x512x60 single', t(1), 0, ...
                      'the definition in M: separable conv2, shifted comparisons', t(2), 20};
  clear stack

  rows = [rows; benchSpotFit(); benchCrowdFit(); benchDepth(); benchDrift(); benchPipeline(folder)];

  fid = fopen(outputFile, 'w');
  for k = 1:size(rows, 1)
    [what, tModule, tFloor, other, tOther, target] = rows{k, :};
    fprintf(fid, '%s\t%s\t%s\t%.6f\t%.6f\t%.6f\t%g\n', version, what, other, tModule, tFloor, ...
            tOther, target);
  end
  fclose(fid);
end

function [x, y] = readPoints(file)
  fid = fopen(file, 'r');
  values = fread(fid, Inf, '*single');
  fclose(fid);
  n = numel(values) / 2;
  x = values(1:n);
  y = values(n + 1:end);
end

function times = readFastHistogram(file)
  times = [];
  fid = fopen(file, 'r');
  if fid < 0
    return;
  end
  parts = textscan(fid, '%s %f');
  fclose(fid);
  times = cell2struct(num2cell(parts{2}), parts{1}, 1);
end

% The fastest of the variants tried: the floor taken of the singles, and one linear index
% (two-column subscripts took 1.6 times as long, full(sparse(...)) 2.2 times).
function counts = accumarrayCounts(sx, sy, x, y)
  ix = min(max(floor(x), 0), sx - 1);
  iy = min(max(floor(y), 0), sy - 1);
  counts = reshape(accumarray(double(ix) + sx * double(iy) + 1, 1, [sx * sy 1]), sx, sy);
end

function levels = accumarrayHisteq(sx, sy, x, y)
  counts = accumarrayCounts(sx, sy, x, y);
  levels = histeq(counts / max(counts(:)), 1024);
end

% dotMosaic's own levels, in M: the rank of each non-empty pixel's count, from 0 to 1023.
function levels = rankLevels(counts)
  counts = min(counts, 65535);
  full = counts > 0;
  [values, ~, which] = unique(counts(full));
  atMost = cumsum(accumarray(which, 1));
  levels = zeros(size(counts), 'single');
  levels(full) = ((single(atMost(which)) - 1) * 1023) / single(atMost(end) - 1);
  levels(full & counts == values(end)) = 1023;
end

function checkCounts(counts, expected)
  assert(isequal(double(counts), min(expected, 65535)), 'dotMosaic and accumarray disagree');
end

% Both equalisations are non-decreasing functions of the count: sorted by count, neither
% output may step down, and the pixels with the largest count get dotMosaic's top level.
function checkLevels(levels, counts, histeqLevels)
  [sorted, order] = sort(counts(:));
  assert(all(diff(double(levels(order))) >= 0), 'dotMosaic levels do not follow the counts');
  assert(all(diff(histeqLevels(order)) >= 0), 'histeq levels do not follow the counts');
  assert(all(levels(counts == sorted(end)) == 1023));
end

% The fastest of the variants tried: the box's offsets added to each box's base index (ndgrid
% subscripts summed in one expression took 2.3 times as long, a loop over boxes far longer).
function [boxes, x0, y0] = gatherBoxes(x, y, z, g, data)
  [rows, cols, ~] = size(data);
  half = floor(g / 2 + 0.5);
  x0 = min(max(floor(x + 0.5) + 1 - half, 0), rows - g);
  y0 = min(max(floor(y + 0.5) + 1 - half, 0), cols - g);
  offsets = (0:g - 1)' + rows * (0:g - 1);
  bases = x0 + rows * (y0 + cols * z) + 1;
  boxes = reshape(data(offsets(:) + bases'), g, g, numel(x));
end

function frame = freadFrame(file, k, width, height)
  fid = fopen(file, 'r', 'ieee-le');
  fseek(fid, 32 + k * width * height * 2, 'bof');
  frame = fread(fid, [width height], '*uint16');
  fclose(fid);
end

% What the host takes to hand out arrays of the outputs' sizes and classes, pages touched.
function z = touchedZeros(dims, className)
  z = zeros(dims, className);
  z(end) = 1;
end

function boxFloor(g, m)
  touchedZeros([g g m], 'single');
  touchedZeros([m 1], 'single');
  touchedZeros([m 1], 'single');
end
