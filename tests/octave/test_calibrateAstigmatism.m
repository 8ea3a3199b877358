function test_calibrateAstigmatism()
  % calibrateAstigmatism on a simulated bead stack of known curves: the curves within 1% of the
  % truth over +-600 nm, and depths fitted through them unbiased; an identified error for every
  % input it cannot use.
  truth = struct('sigma0', [1.3 1.25], 'c', [-250 250], 'd', [450 440], 'A', [0.05 -0.05], ...
                 'B', [0.02 0.03], 'zRange', [-900 900]);
  randn('seed', 4); rand('seed', 4); randp('seed', 4);
  z = -800:20:800;
  side = 128;
  beads = [20 20; 60 25; 100 22; 25 70; 70 64; 105 75; 30 108; 90 104] + rand(8, 2);
  beads(9, :) = beads(1, :) + [9 4];  % too close to the first: both spoil each other's fits
  stack = zeros(side, side, numel(z));
  for f = 1:numel(z)
    spots = [beads, 20000 * ones(9, 1), z(f) * ones(9, 1)];
    stack(:, :, f) = randp(astigmaticSpots(side, truth, spots, 20));
  end
  [psf, widths] = calibrateAstigmatism(single(stack), z');
  assert(psf.zRange(1) <= -600 && psf.zRange(2) >= 600 && psf.zRange(1) >= -800);
  depths = -600:10:600;
  for axis = 1:2
    miss = sqrt(mean((defocusWidth(psf, axis, depths) ./ defocusWidth(truth, axis, depths) - 1) .^ 2));
    assert(miss < 0.01, sprintf('axis %d: curve %.2f%% rms off', axis, 100 * miss));
  end
  assert(size(widths.x) == [numel(z) 7] && all(isfinite(widths.x(:))));
  assert(max(max(abs(sortrows(widths.position) - sortrows(beads(2:8, :))))) < 0.1);

  % Spots fitted through the calibration: unbiased per 200-nm bin.
  g = 13;
  for centre = -300:200:300
    boxes = zeros(g, g, 400);
    depth = centre + 200 * (rand(400, 1) - 0.5);
    for k = 1:400
      boxes(:, :, k) = randp(astigmaticSpots(g, truth, [6.2 5.8 2000 depth(k)], 10));
    end
    [p, crlb, ~, status] = spotFit(boxes, psf);
    ok = status == 0;
    assert(mean(ok) >= 0.99);
    bias = mean(p(ok, 5) - depth(ok));
    assert(abs(bias) < max(5, mean(crlb(ok, 5)) / 5), sprintf('z biased %.1f nm at %d', bias, centre));
  end

  bad = {{stack(:, :, 1:9), z(1:9)}, {stack, z(1:end - 1)}, {int16(stack), z}, ...
         {stack(:, :, 1), z(1)}, {setNaN(stack), z}, {stack, [z(1:end - 1) Inf]}, ...
         {stack(1:10, :, :), z}, {complex(stack), z}};
  for k = 1:numel(bad)
    assertError(@() calibrateAstigmatism(bad{k}{:}), 'calibrateAstigmatism:BadInput');
  end
  assertError(@() calibrateAstigmatism(stack), 'calibrateAstigmatism:BadInput');
  assertError(@() calibrateAstigmatism(randp(20 * ones(64, 64, 20)), 1:20), ...
              'calibrateAstigmatism:NoBeads');
  disp('test_calibrateAstigmatism: all passed');
end

function stack = setNaN(stack)
  stack(5, 5, 5) = NaN;
end
