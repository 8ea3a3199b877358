function rows = benchPipeline(folder)
  % rows = benchPipeline(folder)  localiseRecording at a real size, as benchModules rows: a
  % 512x512 recording of 1000 frames of a scientific CMOS camera (offset, gain and read noise of
  % each pixel), about 60 spots a frame, localised with the camera's maps, against the time of
  % 500 frames a second, against the same recording with one offset and gain, and against it
  % with crowded candidates left out rather than fitted together. Prints the
  % stages' times a frame. The recording goes to folder (written once, then reused).
  side = 512; frames = 1000;
  file = fullfile(folder, 'camera-512.rec');
  rand('seed', 9); randn('seed', 9); randp('seed', 9);
  [cam, truth] = simulatedCamera(side);
  if ~exist(file, 'file')
    writeRecording(file, recording(side, frames, cam, truth));
  end
  one = cam;
  one.offset = mean(cam.offset(:));
  one.gain = mean(cam.gain(:));
  one = rmfield(one, 'variance');
  % Turns first: the machine's drift weighs on both alike.
  localiseRecording(file, cam);
  alone = setfield(cam, 'joint', false);
  for k = 1:3
    started = tic; [fits, stages] = localiseRecording(file, cam); withMaps(k) = toc(started);
    started = tic; plain = localiseRecording(file, one); withOne(k) = toc(started);
    started = tic; apart = localiseRecording(file, alone); withoutJoint(k) = toc(started);
    started = tic; readAndFind(file, cam, frames); readFind(k) = toc(started);
  end
  t = median(withMaps);
  total = stages.read + stages.detect + stages.cut + stages.fit;
  fprintf(['  shares of a frame''s time: read %.0f%%, find %.0f%%, cut %.0f%%, fit %.0f%%; ' ...
           'the whole pipeline %.2f times read and find alone\n'], 100 * stages.read / total, ...
          100 * stages.detect / total, 100 * stages.cut / total, 100 * stages.fit / total, ...
          t / median(readFind));
  fprintf(['localiseRecording, %dx%dx%d with the camera''s maps: %.0f frames/s, %.0f ' ...
           'localisations/s; a frame: read %.2f ms, find %.2f ms, cut %.2f ms, fit %.2f ms ' ...
           '(one offset and gain: %.0f frames/s, %d localisations against %d)\n'], side, side, ...
          frames, frames / t, rows(fits) / t, 1000 * stages.read / frames, ...
          1000 * stages.detect / frames, 1000 * stages.cut / frames, 1000 * stages.fit / frames, ...
          frames / median(withOne), rows(plain), rows(fits));
  fprintf('  without joint fitting: %.0f frames/s, %d localisations\n', ...
          frames / median(withoutJoint), rows(apart));
  what = sprintf('localiseRecording with the camera''s maps, %dx%dx%d, 60 spots a frame', ...
                 side, side, frames);
  rows = {what, t, 0, 'the time of 500 frames a second', frames / 500, 1};
  rows(end + 1, :) = {what, t, 0, 'the same with one offset and gain', median(withOne), 0};
  rows(end + 1, :) = {what, t, 0, 'the same leaving crowded candidates out', ...
                      median(withoutJoint), 0.7};
  rows(end + 1, :) = {what, t, 0, 'reading and finding alone, in blocks as it does', ...
                      median(readFind), 1 / 1.5};
end

% What localiseRecording does before it cuts and fits: the frames read a block at a time (as
% many as hold about 2^25 pixels) into a single stack, and spotFind through the maps.
function readAndFind(file, cam, frames)
  [frame, ~] = frameFetch(0, file);
  block = max(1, floor(2 ^ 25 / numel(frame)));
  stack = zeros([size(frame), min(block, frames)], 'single');
  for first = 0:block:frames - 1
    last = min(first + block, frames) - 1;
    for k = first:last
      stack(:, :, k - first + 1) = frameFetch(k, file);
    end
    spotFind(stack(:, :, 1:last - first + 1), cam.sigma, cam.threshold, cam.offset, cam.gain);
  end
end

% Maps of a scientific CMOS camera (counts) and where its spots are.
function [cam, truth] = simulatedCamera(side)
  cam.offset = 100 + 2 * randn(side);
  cam.gain = 2 * (1 + 0.03 * randn(side));
  rms = exp(log(1.5) + 0.3 * randn(side));  % photons
  noisy = rand(side) < 0.01;
  rms(noisy) = 6 + 4 * rand(nnz(noisy), 1);
  cam.variance = (rms .* cam.gain) .^ 2;
  cam.sigma = 1.3; cam.box = 7;
  cam.threshold = 100;  % about 5 standard deviations of the filtered background
  truth = [];
end

% The recording, a block of frames at a time: a background of 10 photons (drawn from the table
% of its Poisson distribution, exact and far quicker than drawing each value), 60 spots of
% 1000 to 3000 photons a frame (their pixels drawn one by one), the camera's gain, offset and
% read noise.
function counts = recording(side, frames, cam, truth)
  counts = zeros(side, side, frames, 'uint16');
  table = cumsum(exp(-10 + (0:60) * log(10) - gammaln(1:61)));
  e = @(c) diff(erf(((0:side)' - 0.5 - c) / (sqrt(2) * cam.sigma))) / 2;
  readRms = sqrt(cam.variance);
  block = 50;
  for first = 1:block:frames
    count = min(block, frames - first + 1);
    photons = lookup(table, rand(side, side, count));
    for f = 1:count
      spots = zeros(side);
      for k = 1:60
        spots = spots + (1000 + 2000 * rand()) * e(8 + (side - 16) * rand()) * ...
                        e(8 + (side - 16) * rand())';
      end
      lit = spots > 1e-3;
      frame = photons(:, :, f);
      frame(lit) = frame(lit) + randp(spots(lit));
      counts(:, :, first + f - 1) = round(cam.offset + cam.gain .* frame + ...
                                          readRms .* randn(side));
    end
  end
end
