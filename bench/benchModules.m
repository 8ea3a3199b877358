function benchModules(folder, outputFile)
  % benchModules(folder)  Times each module against what a user would write instead, in one
  % run, and prints a table of medians, their ratios and whether each target is met.
  % folder holds the points of benchPoints and fast_histogram.txt, the output of
  % fast_histogram_time.py on them (fast-histogram runs in a process of its own).
  % benchModules(folder, outputFile) also writes the table there. `make bench` runs it all.
  % Run with the build's toolbox folder on the path; needs the image package (histeq).
  pkg load image
  rand('seed', 1); randn('seed', 1);
  rows = {};
  fastHistogram = readFastHistogram(fullfile(folder, 'fast_histogram.txt'));

  % dotMosaic against floor + clamp + accumarray, and fast-histogram on the same points.
  s = 1024;
  for shape = {'uniform', 'clustered'}
    [x, y] = readPoints(fullfile(folder, [shape{1} '.f32']));
    checkCounts(dotMosaic(s, s, x, y, 0), accumarrayCounts(s, s, x, y));
    t = medianTimes({@() dotMosaic(s, s, x, y, 0), @() touchedZeros([s s], 'uint16'), ...
                     @() accumarrayCounts(s, s, x, y)}, [15 15 3]);
    [tModule, tFloor, tAccum] = deal(t(1), t(2), t(3));
    what = sprintf('dotMosaic counts, 1e7 %s points, 1024^2', shape{1});
    rows(end + 1, :) = {what, tModule, tFloor, 'floor+clamp+accumarray', tAccum, 40};
    rows(end + 1, :) = {what, tModule, tFloor, 'fast-histogram (Python)', ...
                        fastHistogram.(shape{1}), 3};
  end
  clear x y

  % dotMosaic with equalisation against accumarray + histeq, one output.
  n = 1e6; s = 4096;
  x = single(rand(n, 1) * s);
  y = single(rand(n, 1) * s);
  levels = dotMosaic(s, s, x, y, 1);
  counts = accumarrayCounts(s, s, x, y);
  checkLevels(levels, counts, accumarrayHisteq(s, s, x, y));
  t = medianTimes({@() dotMosaic(s, s, x, y, 1), @() touchedZeros([s s], 'uint16'), ...
                   @() accumarrayHisteq(s, s, x, y), @() dotMosaic(s, s, x, y, 0)}, [9 9 3 9]);
  [tModule, tFloor, tBuiltin, tPlain] = deal(t(1), t(2), t(3), t(4));
  what = 'dotMosaic equalised, 1e6 points, 4096^2';
  rows(end + 1, :) = {what, tModule, tFloor, 'accumarray+histeq', tBuiltin, 40};
  rows(end + 1, :) = {what, tModule, tFloor, 'dotMosaic counts only', tPlain, 1 / 1.5};
  clear counts levels x y

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
    rows(end + 1, :) = {what, tModule, tFloor, 'vectorised gather', tBuiltin, 8};
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
  rows(end + 1, :) = {'frameFetch, 2048x2048 frame', tModule, tFloor, 'fopen+fseek+fread', ...
                      tBuiltin, 1.2};

  printTable(rows, stdout);
  if nargin > 0
    fid = fopen(outputFile, 'w');
    printTable(rows, fid);
    fclose(fid);
  end
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
  fid = fopen(file, 'r');
  if fid < 0
    error('benchModules:fastHistogram', '%s is missing: run fast_histogram_time.py first', file);
  end
  parts = textscan(fid, '%s %f');
  fclose(fid);
  times = cell2struct(num2cell(parts{2}), parts{1}, 1);
end

function counts = accumarrayCounts(sx, sy, x, y)
  ix = min(max(floor(double(x)), 0), sx - 1) + 1;
  iy = min(max(floor(double(y)), 0), sy - 1) + 1;
  counts = accumarray([ix iy], 1, [sx sy]);
end

function levels = accumarrayHisteq(sx, sy, x, y)
  counts = accumarrayCounts(sx, sy, x, y);
  levels = histeq(counts / max(counts(:)), 1024);
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

function [boxes, x0, y0] = gatherBoxes(x, y, z, g, data)
  [rows, cols, ~] = size(data);
  half = floor(g / 2 + 0.5);
  x0 = min(max(floor(x + 0.5) + 1 - half, 0), rows - g);
  y0 = min(max(floor(y + 0.5) + 1 - half, 0), cols - g);
  [a, b] = ndgrid(0:g - 1, 0:g - 1);
  linear = (x0' + a(:)) + rows * ((y0' + b(:)) + cols * z') + 1;
  boxes = reshape(data(linear), g, g, numel(x));
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

% Median times of the calls in `fns`, fns{i} run repeats(i) times. The calls take turns, one
% round after another, so that the machine's drift over the run weighs on all of them alike.
function t = medianTimes(fns, repeats)
  for i = 1:numel(fns)
    fns{i}();  % warm up
  end
  times = NaN(max(repeats), numel(fns));
  for round = 1:max(repeats)
    for i = find(round <= repeats)
      start = tic;
      fns{i}();
      times(round, i) = toc(start);
    end
  end
  t = zeros(1, numel(fns));
  for i = 1:numel(fns)
    t(i) = median(times(1:repeats(i), i));
  end
end

function printTable(rows, fid)
  fprintf(fid, '| call | module | host floor | instead | its time | faster by | target | met |\n');
  fprintf(fid, '| --- | ---: | ---: | --- | ---: | ---: | ---: | --- |\n');
  for k = 1:size(rows, 1)
    [what, tModule, tFloor, other, tOther, target] = rows{k, :};
    ratio = tOther / tModule;
    if target < 1
      goal = sprintf('%.2f', target);  % the call without equalisation: at least 1/1.5 of ours
    else
      goal = sprintf('%g', target);
    end
    met = 'yes';
    if ratio < target
      met = 'NO';
    end
    fprintf(fid, '| %s | %.1f ms | %.1f ms | %s | %.1f ms | %.2f | %s | %s |\n', what, ...
            1000 * tModule, 1000 * tFloor, other, 1000 * tOther, ratio, goal, met);
  end
end
