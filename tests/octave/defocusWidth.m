function s = defocusWidth(psf, axis, z)
  % s = defocusWidth(psf, axis, z): the width (pixels) along axis 1 (x) or 2 (y) at depths z of
  % the defocus curves in psf.
  u = (z - psf.c(axis)) / psf.d(axis);
  s = psf.sigma0(axis) * sqrt(1 + u .^ 2 + psf.A(axis) * u .^ 3 + psf.B(axis) * u .^ 4);
end
