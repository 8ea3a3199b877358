function mu = astigmaticSpots(side, psf, spots, background)
  % mu = astigmaticSpots(side, psf, spots, background): the expected photons of a side-by-side
  % frame holding spots (rows x, y, photons, z; 0-based pixel centres, z in nm) through the
  % defocus curves of psf, written out from their definition, on a flat background.
  mu = background * ones(side);
  for k = 1:size(spots, 1)
    mu = mu + spots(k, 3) * shares(side, spots(k, 1), defocusWidth(psf, 1, spots(k, 4)))' * ...
              shares(side, spots(k, 2), defocusWidth(psf, 2, spots(k, 4)));
  end
end

function e = shares(side, centre, sigma)
  e = 0.5 * diff(erf(((0:side) - 0.5 - centre) / (sqrt(2) * sigma)));
end
