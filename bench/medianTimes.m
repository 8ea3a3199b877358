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
