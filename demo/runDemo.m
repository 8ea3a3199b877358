function runDemo(outDir)
  % runDemo(outDir): renders simulated single-molecule localisations with dotMosaic and writes
  % the super-resolved image to outDir/dotMosaic_demo.png; then runs a simulated recording
  % through frameFetch, boxGather and dotMosaic into outDir/pipeline_demo.png.
  if nargin < 1
    outDir = pwd;
  end
  if ~exist(outDir, 'dir')
    mkdir(outDir);
  end
  rand('seed', 42); randn('seed', 42);

  fieldNm = 10240;        % field of view, nm
  pixelNm = 10;           % rendered pixel, nm
  precisionNm = 8;        % localisation precision, nm
  [x, y] = simulateLocalisations(fieldNm, precisionNm);

  sizePx = fieldNm / pixelNm;
  tic;
  [counts, levels] = dotMosaic(sizePx, sizePx, single(x / pixelNm), single(y / pixelNm), 1);
  elapsed = toc;
  raw = dotMosaic(sizePx, sizePx, single(x / pixelNm), single(y / pixelNm), 0);

  file = fullfile(outDir, 'dotMosaic_demo.png');
  % Rows of the image are X, so the picture is shown transposed to put X across.
  imwrite(uint8(round(levels' / 1023 * 255)), file);
  fprintf('dotMosaic demo: %d localisations into a %d-by-%d image in %.1f ms\n', ...
         numel(x), sizePx, sizePx, 1000 * elapsed);
  fprintf('  busiest pixel holds %d points; %d pixels are non-empty; top level %d\n', ...
         max(raw(:)), nnz(raw), max(counts(:)));
  fprintf('  wrote %s\n', file);

  pipelineDemo(outDir);
end

function pipelineDemo(outDir)
  % The whole road: a simulated camera recording of blinking emitters is written to disk,
  % read back frame by frame with frameFetch, spots are found and cut out with boxGather,
  % located by their centroids, and the positions rendered with dotMosaic.
  pixelNm = 100;          % camera pixel
  sizePx = 64;            % camera frame, sizePx by sizePx
  frameCount = 300;
  [frames, sites] = simulateRecording(sizePx, frameCount, pixelNm);
  file = fullfile(outDir, 'pipeline_demo.rec');
  writeRecording(file, frames);

  stack = zeros(sizePx, sizePx, frameCount, 'single');
  for k = 0:frameCount - 1
    [frame, count] = frameFetch(k, file);
    stack(:, :, k + 1) = frame;
  end
  assert(count == frameCount);
  [x, y, z] = findSpots(stack);

  g = 7;
  [boxes, x0, y0] = boxGather(x, y, z, g, stack);
  [cx, cy] = centroids(boxes);
  xNm = (double(x0) + cx) * pixelNm;
  yNm = (double(y0) + cy) * pixelNm;

  renderNm = 10;
  side = sizePx * pixelNm / renderNm;
  [~, levels] = dotMosaic(side, side, single(xNm / renderNm), single(yNm / renderNm), 1);
  image = fullfile(outDir, 'pipeline_demo.png');
  imwrite(uint8(round(levels' / 1023 * 255)), image);

  % How far each localisation lies from the nearest true site.
  nearest = zeros(numel(xNm), 1);
  for i = 1:numel(xNm)
    nearest(i) = sqrt(min((sites(:, 1) - xNm(i)) .^ 2 + (sites(:, 2) - yNm(i)) .^ 2));
  end
  fprintf('pipeline demo: %d frames of %dx%d read with frameFetch, %d spots cut with boxGather\n', ...
         frameCount, sizePx, sizePx, numel(x));
  fprintf('  median distance of a localisation to its true site: %.0f nm\n', median(nearest));
  fprintf('  wrote %s\n', image);
end

function [frames, sites] = simulateRecording(sizePx, frameCount, pixelNm)
  % Rings of eight emitters that blink independently; Gaussian spots on a noisy background.
  sites = zeros(0, 2);
  for k = 1:25
    centre = (8 + rand(1, 2) * (sizePx - 16)) * pixelNm;
    angles = (0:7)' * pi / 4 + rand() * pi / 4;
    sites = [sites; centre + 120 * [cos(angles) sin(angles)]];
  end
  sigmaPx = 1.2;
  [gx, gy] = ndgrid(0:sizePx - 1, 0:sizePx - 1);
  frames = zeros(sizePx, sizePx, frameCount, 'uint16');
  for k = 1:frameCount
    image = 100 + 3 * randn(sizePx);
    on = find(rand(size(sites, 1), 1) < 0.01);
    for s = on'
      p = sites(s, :) / pixelNm;
      image = image + 90 * exp(-((gx - p(1)) .^ 2 + (gy - p(2)) .^ 2) / (2 * sigmaPx ^ 2));
    end
    frames(:, :, k) = uint16(max(image, 0));
  end
end

function [x, y, z] = findSpots(stack)
  % Local maxima of the smoothed frames well above the background, away from the borders.
  kernel = exp(-((-2:2)' .^ 2 + (-2:2) .^ 2) / 2);
  kernel = kernel / sum(kernel(:));
  x = []; y = []; z = [];
  for k = 1:size(stack, 3)
    smooth = conv2(double(stack(:, :, k)), kernel, 'same');
    level = median(smooth(:));
    peak = smooth > level + 15;
    for dx = -1:1
      for dy = -1:1
        if dx ~= 0 || dy ~= 0
          peak = peak & smooth >= circshift(smooth, [dx dy]);
        end
      end
    end
    peak([1:3 end - 2:end], :) = false;
    peak(:, [1:3 end - 2:end]) = false;
    [i, j] = find(peak);
    x = [x; i - 1]; y = [y; j - 1]; z = [z; repmat(k - 1, numel(i), 1)];
  end
end

function [cx, cy] = centroids(boxes)
  % Centre of mass of each box above its lowest pixel, in pixels from the box corner.
  g = size(boxes, 1);
  [a, b] = ndgrid(0:g - 1, 0:g - 1);
  n = size(boxes, 3);
  cx = zeros(n, 1); cy = zeros(n, 1);
  for i = 1:n
    w = double(boxes(:, :, i));
    w = max(w - median(w(:)), 0);
    total = sum(w(:));
    cx(i) = sum(w(:) .* a(:)) / total;
    cy(i) = sum(w(:) .* b(:)) / total;
  end
end

function [x, y] = simulateLocalisations(fieldNm, precisionNm)
  % Rings of eight binding sites (like pore complexes) and a few curved filaments, each site
  % seen many times with Gaussian localisation error.
  sites = zeros(0, 2);
  for k = 1:120
    centre = 500 + rand(1, 2) * (fieldNm - 1000);
    angles = (0:7)' * pi / 4 + rand() * pi / 4;
    sites = [sites; centre + 55 * [cos(angles) sin(angles)]];
  end
  for k = 1:6
    t = linspace(0, 1, 400)';
    start = rand(1, 2) * fieldNm;
    heading = rand() * 2 * pi;
    bend = (rand() - 0.5) * 3;
    angle = heading + bend * t;
    path = start + cumsum(fieldNm / 400 * [cos(angle) sin(angle)]);
    sites = [sites; path];
  end
  inside = all(sites > 200 & sites < fieldNm - 200, 2);
  sites = sites(inside, :);
  seen = 5 + poissrnd_(20, size(sites, 1));
  idx = repelem_((1:size(sites, 1))', seen);
  x = sites(idx, 1) + precisionNm * randn(numel(idx), 1);
  y = sites(idx, 2) + precisionNm * randn(numel(idx), 1);
  % Background: unspecific localisations all over the field.
  nBackground = round(0.05 * numel(idx));
  x = [x; rand(nBackground, 1) * fieldNm];
  y = [y; rand(nBackground, 1) * fieldNm];
end

function k = poissrnd_(lambda, n)
  % Poisson counts by inversion; enough for a demo, without any package.
  k = zeros(n, 1);
  for i = 1:n
    p = exp(-lambda); s = p; u = rand();
    while u > s
      k(i) = k(i) + 1;
      p = p * lambda / k(i);
      s = s + p;
    end
  end
end

function out = repelem_(values, counts)
  out = zeros(sum(counts), 1);
  pos = cumsum([1; counts(:)]);
  for i = 1:numel(values)
    out(pos(i):pos(i + 1) - 1) = values(i);
  end
end
