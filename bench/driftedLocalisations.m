function [fits, truth] = driftedLocalisations(frames, side, perFrame, seed)
  % [fits, truth] = driftedLocalisations(frames, side, perFrame, seed)  Localisations of emitters
  % on rings and lines in a field of side pixels, perFrame a frame on average, blinking at random
  % over the frames, each at its emitter plus the drift of its frame plus an error of 0.06 pixel:
  % x, y, frame, and the emitter's x. truth is the drift of each frame: a straight line and a slow
  % curve, 2.9 and 1.5 pixels over the recording.
  rand('seed', seed); randn('seed', seed);
  xy = zeros(0, 2);
  for k = 1:round(side ^ 2 / 2048)
    r = 2.5 + 6 * rand();
    c = 8 + r + rand(1, 2) * (side - 2 * (8 + r));
    a = 2 * pi * (0:round(2 * pi * r / 0.8) - 1)' / round(2 * pi * r / 0.8);
    xy = [xy; c + r * [cos(a) sin(a)]];
  end
  for k = 1:round(side / 40)
    a = 8 + rand(1, 2) * (side - 16);
    b = 8 + rand(1, 2) * (side - 16);
    t = (0:round(norm(b - a) / 0.8) - 1)' / max(round(norm(b - a) / 0.8) - 1, 1);
    xy = [xy; a + t * (b - a)];
  end
  f = (0:frames - 1)';
  truth = [2.5 * f / frames + 0.5 * sin(pi * f / frames), ...
           -1.5 * f / frames + 0.5 * (1 - cos(pi * f / frames))];
  count = round(perFrame * frames);
  which = randi(rows(xy), count, 1);
  frame = randi(frames, count, 1) - 1;
  fits = [xy(which, :) + truth(frame + 1, :) + 0.06 * randn(count, 2), frame, xy(which, 1)];
end
