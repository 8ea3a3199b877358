function bounds = spotBounds(theta, g, columns)
  % bounds = spotBounds(theta, g, columns)  Cramer-Rao bounds of a pixel-integrated Gaussian
  % spot on a flat background in a g-by-g box under Poisson noise, one row of theta (x, y,
  % photons, background, sigma) at a time: the square roots of the diagonal of the inverse
  % Fisher information, on the first `columns` parameters (4: sigma known; 5: fitted). The
  % derivatives are central differences of the model, so the figure owes nothing to spotFit.
  [px, py] = ndgrid(0:g - 1, 0:g - 1);
  share = @(p, c, s) 0.5 * (erf((p + 0.5 - c) / (sqrt(2) * s)) - erf((p - 0.5 - c) / (sqrt(2) * s)));
  expected = @(t) t(4) + t(3) * share(px(:), t(1), t(5)) .* share(py(:), t(2), t(5));
  bounds = zeros(size(theta, 1), columns);
  for k = 1:size(theta, 1)
    t = theta(k, :);
    jac = zeros(g * g, columns);
    for c = 1:columns
      h = 1e-6 * max(1, abs(t(c)));
      up = t; up(c) = up(c) + h;
      down = t; down(c) = down(c) - h;
      jac(:, c) = (expected(up) - expected(down)) / (2 * h);
    end
    bounds(k, :) = sqrt(diag(inv(jac' * (jac ./ expected(t)))))';
  end
end
