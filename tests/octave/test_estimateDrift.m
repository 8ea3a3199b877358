function test_estimateDrift(benchFolder)
  % estimateDrift on simulated localisations with a known drift: every frame's drift within
  % 0.02 pixel rms of the truth (the localisations' own error is 0.06), frame 0 exactly 0, the
  % frames beyond the segments' centres still followed; and an identified error for every
  % table it cannot use.
  addpath(benchFolder);
  for seed = 1:2
    [fits, truth] = driftedLocalisations(500, 128, 8, seed);
    drift = estimateDrift(fits, 500);
    assert(size(drift), [500 2]);
    assert(isequal(drift(1, :), [0 0]));
    off = sqrt(mean(sum((drift - truth) .^ 2, 2) / 2));
    assert(off < 0.02, sprintf('drift %.3f px rms from the truth', off));
    edge = [1:25, 476:500];  % beyond the first and last segments' centres
    assert(max(max(abs(drift(edge, :) - truth(edge, :)))) < 0.04);
    % The corrected positions are the emitters', within the localisations' own error.
    corrected = fits(:, 1:2) - drift(fits(:, 3) + 1, :);
    assert(std(corrected(:, 1) - fits(:, 4)) < 0.07);
  end
  % Integer classes give the double's drift; one frame has none.
  assert(isequal(estimateDrift(fits, int32(500), int8(3)), estimateDrift(fits, 500, 3)));
  assert(isequal(estimateDrift(fits, uint16(500)), drift));
  single = fits(fits(:, 3) == 0, :);
  single(:, 3) = 0;
  assert(isequal(estimateDrift(single, 1), [0 0]));
  % Degenerate extents: every localisation at one place, or a far outlier, still works; the
  % outlier does not coarsen the images.
  same = fits;
  same(:, 1:2) = 5;
  assert(all(all(abs(estimateDrift(same, 500)) < 1e-9)));
  outlier = fits;
  outlier(17, 1) = 1e6;
  far = estimateDrift(outlier, 500);
  assert(sqrt(mean(sum((far - truth) .^ 2, 2) / 2)) < 0.02);
  thin = fits;
  thin(:, 2) = 3 + 0.01 * thin(:, 2);
  assert(all(all(isfinite(estimateDrift(thin, 500)))));
  % Two segments: a straight line through them.
  drift = estimateDrift(fits, 500, 2);
  assert(sqrt(mean(sum((drift - truth) .^ 2, 2) / 2)) < 0.3);

  assertError(@() estimateDrift(fits), 'estimateDrift:WrongNumberOfInputs');
  assertError(@() estimateDrift(fits(:, 1:2), 500), 'estimateDrift:WrongSize');
  assertError(@() estimateDrift({fits}, 500), 'estimateDrift:WrongSize');
  assertError(@() estimateDrift(fits, 0), 'estimateDrift:BadFrameCount');
  assertError(@() estimateDrift(fits, 499.5), 'estimateDrift:BadFrameCount');
  assertError(@() estimateDrift(fits, 499), 'estimateDrift:BadFrames');  % frame 499 is beyond
  bad = fits;
  bad(7, 3) = 2.5;
  assertError(@() estimateDrift(bad, 500), 'estimateDrift:BadFrames');
  bad = fits;
  bad(9, 1) = NaN;
  assertError(@() estimateDrift(bad, 500), 'estimateDrift:BadFrames');
  assertError(@() estimateDrift(fits, 500, 1), 'estimateDrift:BadSegments');
  assertError(@() estimateDrift(fits, 500, 3.5), 'estimateDrift:BadSegments');
  assertError(@() estimateDrift(fits(1:120, :), 500), 'estimateDrift:TooFewLocalisations');
  disp('test_estimateDrift: all passed');
end
