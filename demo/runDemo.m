function runDemo(outDir)
  % runDemo(outDir): renders simulated single-molecule localisations with dotMosaic and writes
  % the super-resolved image to outDir/dotMosaic_demo.png.
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
  printf('dotMosaic demo: %d localisations into a %d-by-%d image in %.1f ms\n', ...
         numel(x), sizePx, sizePx, 1000 * elapsed);
  printf('  busiest pixel holds %d points; %d pixels are non-empty; top level %d\n', ...
         max(raw(:)), nnz(raw), max(counts(:)));
  printf('  wrote %s\n', file);
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
