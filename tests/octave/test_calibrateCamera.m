function test_calibrateCamera()
  % calibrateCamera on a simulated camera whose maps are known: each estimate within its
  % statistical error of the truth, whatever the stacks' class; and an identified error for
  % every stack it cannot use.
  randn('seed', 11); rand('seed', 11); randp('seed', 11);
  rows = 24; columns = 20; frames = 1000;
  offset = 100 + 3 * randn(rows, columns);
  gain = 2 * (1 + 0.03 * randn(rows, columns));
  readRms = gain .* exp(log(1.5) + 0.3 * randn(rows, columns));  % counts
  camera = @(photons, count) offset + gain .* randp(photons * ones(rows, columns, count)) + ...
                                readRms .* randn(rows, columns, count);
  dark = camera(0, frames);
  lit = {camera(40, frames), camera(150, 800)};
  [o, v, g] = calibrateCamera(dark, lit);
  assert(size(o) == [rows columns] && isa(o, 'double') && isa(g, 'double'));
  offsetError = sqrt(mean(((o(:) - offset(:)) ./ (readRms(:) / sqrt(frames))) .^ 2));
  varianceError = sqrt(mean((v(:) ./ readRms(:) .^ 2 - 1) .^ 2)) / sqrt(2 / (frames - 1));
  gainBias = mean(g(:) ./ gain(:)) - 1;
  assert(offsetError < 1.2, sprintf('offset error %.2f of its standard error', offsetError));
  assert(varianceError < 1.2, sprintf('variance error %.2f of its standard error', varianceError));
  assert(abs(gainBias) < 0.01, sprintf('gain biased by %.2f%%', 100 * gainBias));
  assert(std(g(:) ./ gain(:)) < 0.05);
  % Unbiased from a few dark frames too (dividing by the frame count would take a fifth off).
  [~, v5] = calibrateCamera(camera(0, 5), lit);
  assert(abs(mean(v5(:) ./ readRms(:) .^ 2) - 1) < 0.1);
  % The same counts as uint16 or single give the same maps.
  whole = @(s) round(max(s, 0));
  [o1, v1, g1] = calibrateCamera(whole(dark), {whole(lit{1}), whole(lit{2})});
  [o2, v2, g2] = calibrateCamera(uint16(whole(dark)), {single(whole(lit{1})), uint16(whole(lit{2}))});
  assert(o2, o1, 1e-12); assert(v2, v1, 1e-9); assert(g2, g1, 1e-9);

  % A stuck pixel and one saturated in the lit stacks are marked NaN, and only they.
  litStuck = lit;
  darkStuck = dark;
  darkStuck(3, 4, :) = 400;
  % One near saturation, whose variance grows with its signal at a fifth of the others' rate.
  for k = 1:2
    litStuck{k}(3, 4, :) = 400;
    signal = mean(lit{k}(5, 6, :)) - offset(5, 6);
    litStuck{k}(5, 6, :) = offset(5, 6) + signal + ...
                           sqrt(readRms(5, 6) ^ 2 + 0.2 * gain(5, 6) * signal) * ...
                           randn(1, 1, size(lit{k}, 3));
    litStuck{k}(7, 8, :) = 4095;
  end
  [~, ~, gStuck] = calibrateCamera(darkStuck, litStuck);
  assert(find(isnan(gStuck))', sort(sub2ind([rows columns], [3 5 7], [4 6 8])));
  % Every shape, those with sides equal to the frame count among them: the maps are the
  % stacks' means and variances over frames, pixel by pixel.
  for shape = {[5 1 5], [1 6 6], [4 4 4], [1 1 3]}
    stack = 100 + randn(shape{1});
    [o, v] = calibrateCamera(stack, {stack + 10, stack + 20});
    assert(size(o), shape{1}(1:2));
    assert(o, mean(stack, 3), 1e-12);
    assert(v, var(stack, 0, 3), 1e-12);
  end

  assertError(@() calibrateCamera(dark), 'calibrateCamera:WrongNumberOfInputs');
  assertError(@() calibrateCamera(int16(dark), lit), 'calibrateCamera:WrongType');
  assertError(@() calibrateCamera(complex(dark), lit), 'calibrateCamera:WrongType');
  assertError(@() calibrateCamera(dark, lit{1}), 'calibrateCamera:WrongType');
  assertError(@() calibrateCamera(dark, {lit{1}, lit{2}(1:5, :, :)}), 'calibrateCamera:WrongSize');
  assertError(@() calibrateCamera(ones(3, 3, 2, 2), lit), 'calibrateCamera:WrongSize');
  assertError(@() calibrateCamera(dark(:, :, 1), lit), 'calibrateCamera:TooFewFrames');
  assertError(@() calibrateCamera(dark, {lit{1}, lit{2}(:, :, 1)}), 'calibrateCamera:TooFewFrames');
  assertError(@() calibrateCamera(dark, lit(1)), 'calibrateCamera:TooFewLevels');
  disp('test_calibrateCamera: all passed');
end
