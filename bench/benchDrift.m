function rows = benchDrift()
  % rows = benchDrift()  estimateDrift on a million localisations over 20,000 frames (a field
  % of 256 pixels), against the time of 5 seconds, as benchModules rows; prints how far its
  % drift is from the truth.
  [fits, truth] = driftedLocalisations(20000, 256, 50, 4);
  fits = fits(:, 1:3);
  t = medianTimes({@() estimateDrift(fits, 20000)}, 3);
  drift = estimateDrift(fits, 20000);
  fprintf('estimateDrift, %d localisations over 20000 frames: %.2f s, %.4f px rms from the truth\n', ...
          rows(fits), t, sqrt(mean(sum((drift - truth) .^ 2, 2) / 2)));
  rows = {'estimateDrift, 1e6 localisations over 20,000 frames', t, 0, 'the time of 5 seconds', 5, 1};
end
