function benchModules()
  % Times each module against the Octave built-ins that do the same job, in one run, and
  % prints medians and their ratios. Run with the build's toolbox folder on the path.
  rand('seed', 1);
  repeats = 15;

  % dotMosaic against accumarray: one million points into a 1024-by-1024 image.
  n = 1e6; sizePx = 1024;
  x = single(rand(n, 1) * sizePx); y = single(rand(n, 1) * sizePx);
  tModule = medianTime(@() dotMosaic(sizePx, sizePx, x, y, 0), repeats);
  tBuiltin = medianTime(@() accumarray([floor(double(x)) + 1, floor(double(y)) + 1], 1, ...
                                       [sizePx sizePx]), repeats);
  report('dotMosaic counts, 1e6 points, 1024^2', tModule, 'accumarray', tBuiltin);
  tModule = medianTime(@() dotMosaic(sizePx, sizePx, x, y, 1), repeats);
  report('dotMosaic equalised, 1e6 points', tModule, 'accumarray (counts only)', tBuiltin);

  % boxGather against vectorised indexing: 20000 boxes of 7 by 7 from a 512x512x50 stack.
  data = single(rand(512, 512, 50));
  m = 20000; g = 7;
  bx = rand(m, 1) * 505 + 3; by = rand(m, 1) * 505 + 3; bz = floor(rand(m, 1) * 50);
  tModule = medianTime(@() boxGather(bx, by, bz, g, data), repeats);
  tBuiltin = medianTime(@() indexBoxes(bx, by, bz, g, data), repeats);
  report('boxGather, 20000 boxes of 7x7', tModule, 'indexing', tBuiltin);

  % frameFetch against fread of the same bytes: a 2048-by-1024 frame.
  file = [tempname() '.rec'];
  cleanup = onCleanup(@() delete(file));
  writeRecording(file, uint16(randi(65535, 2048, 1024, 4)));
  tModule = medianTime(@() frameFetch(2, file), repeats);
  tBuiltin = medianTime(@() freadFrame(file, 2, 2048, 1024), repeats);
  report('frameFetch, 2048x1024 frame', tModule, 'fopen+fseek+fread', tBuiltin);
end

function boxes = indexBoxes(x, y, z, g, data)
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

function t = medianTime(fn, repeats)
  fn();  % warm up
  times = zeros(repeats, 1);
  for k = 1:repeats
    start = tic;
    fn();
    times(k) = toc(start);
  end
  t = median(times);
end

function report(what, tModule, builtin, tBuiltin)
  fprintf('%-40s %8.3f ms   %-26s %8.3f ms   ratio %.2f\n', what, 1000 * tModule, builtin, ...
         1000 * tBuiltin, tBuiltin / tModule);
end
