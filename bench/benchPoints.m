function benchPoints(folder)
  % benchPoints(folder)  Writes the points the dotMosaic benchmarks use, 1e7 of each kind in
  % a 1024-by-1024 field, as folder/uniform.f32 and folder/clustered.f32: single X values,
  % then single Y values. benchModules and fast_histogram_time.py read the same files.
  rand('seed', 1); randn('seed', 1);
  n = 1e7; s = 1024;
  writePoints(fullfile(folder, 'uniform.f32'), single(rand(n, 1) * s), single(rand(n, 1) * s));
  % 2000 clusters of sigma 1 pixel, as localisations of labelled structures are.
  centres = rand(2000, 2) * s;
  k = floor(rand(n, 1) * 2000) + 1;
  writePoints(fullfile(folder, 'clustered.f32'), single(centres(k, 1) + randn(n, 1)), ...
              single(centres(k, 2) + randn(n, 1)));
end

function writePoints(file, x, y)
  fid = fopen(file, 'w');
  fwrite(fid, [x; y], 'float32');
  fclose(fid);
end
