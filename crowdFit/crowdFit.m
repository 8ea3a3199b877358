%CROWDFIT  Fit overlapping spots together, adding one where more light calls for it.
%   [params, crlb, logLikelihoodRatio, status] = crowdFit(regions, starts, sigma)
%   [params, crlb, logLikelihoodRatio, status] = crowdFit(regions, starts, sigma,
%                                                         readVariance)
%   [params, crlb, logLikelihoodRatio, status] = crowdFit(regions, starts, psf, ...)
%
%   Where the spots of molecules overlap, fitting each alone blurs them (one
%   Gaussian for two) and leaving them out loses them. crowdFit fits the
%   spots of each g-by-g region jointly, by maximum likelihood: a shared flat
%   background b and, for each emitter e, a Gaussian of the given width sigma
%   integrated over each pixel, at x_e, y_e with N_e photons, so that pixel
%   (i, j) expects
%     mu(i, j) = b + sum over e of N_e * Ex_e(i) * Ey_e(j),
%   with Ex and Ey as in spotFit, under Poisson noise and, given readVariance,
%   each pixel's read noise as spotFit takes it. The fit starts from the
%   emitters given (the candidates spotFind found in the region) and runs as
%   spotFit's does: Fisher scoring, then Newton steps, the background held at
%   its least value while the likelihood would rise only below it, the same
%   rule for convergence and the same statuses; the Cramer-Rao bounds come
%   from the joint Fisher information.
%
%   Depth. Given a depth calibration psf (see CALIBRATEASTIGMATISM and
%   spotFit) in place of sigma, each emitter's widths follow its own depth
%   z_e, fitted with its x, y and N as spotFit fits one spot's: it starts
%   where the two widths are equal, stays within psf.zRange, and an emitter
%   whose z ends held at an end of it has status 4. Each emitter then has
%   four parameters: the degrees of freedom are g^2 - 1 - 4k, and an added
%   emitter must gain 18.47 (chi-squared with 4 degrees of freedom at 0.001)
%   where the 16.27 below stands.
%
%   An emitter's centre may lie up to 2 pixels beyond the region's edge: the
%   edge pixels hold light of spots centred there, which must be explained
%   for the spots inside to be placed right. An emitter whose photons go to
%   0 or that goes further is dropped (its row says status 2), as is the
%   dimmer of two the information cannot tell apart, and the rest fitted
%   again. Then, while the region's log-likelihood
%   ratio is more than two standard deviations of its chi-squared distribution
%   above its degrees of freedom, g^2 - 1 - 3k for k emitters (more light than
%   they explain), and it holds fewer than 5, one more emitter is tried at the
%   pixel of the largest residual (smoothed by a centred spot's shares), all
%   fitted together, and kept only when twice the gain in log-likelihood
%   exceeds 16.27 + 2.5 / max(L, 0.5), L the region's background and mean
%   read variance in photons a pixel: the likelihood-ratio test of its three
%   parameters at a significance of 0.001 (chi-squared with 3 degrees of
%   freedom), made stricter where a pixel holds few photons, since the
%   chi-squared law understates the gain's tail there. On single spots of 200
%   to 5,000 photons on backgrounds of 1 to 20 photons a pixel, 3 to 8
%   regions in 10,000 gain an emitter falsely. A region holds at most 5
%   emitters, those dropped among them.
%
%   Inputs
%     regions   real, full single or double array, g-by-g-by-K (K regions; a
%               g-by-g matrix is one; g-by-g-by-0 is none), g >= 3, in photons
%     starts    real numeric S-by-3 table, a row an emitter to start from:
%               its region (1 ... K), x and y (0-based within the region, x
%               along the first dimension, -0.5 to g - 0.5); at most 5 a region;
%               0-by-3 (or []) for none
%     sigma     real numeric scalar: the spots' standard deviation in pixels,
%               finite, above 0 and at most g
%     psf       in place of sigma: a depth calibration, as spotFit takes it
%     readVariance  as spotFit's: a real, full single or double array the
%               size of regions, or a scalar (default 0), in photons squared
%
%   Outputs (all double), a row an emitter: region by region, first the
%   starts of the region in the order given, then the emitters added. An
%   emitter's fit may end on another spot than the one it started from (two
%   starts and three spots, say: the joint fit of two may take the brighter
%   single spot and the middle of a close pair before a third is added), so
%   match fits to spots by position, not by row.
%     params              E-by-5: region, x, y, photons N, and the region's
%                         background b (per pixel); E-by-6 with z (nm) last
%                         given psf
%     crlb                E-by-4: the Cramer-Rao bounds on x, y, N and b;
%                         E-by-5 with z's last given psf
%     logLikelihoodRatio  K-by-1, a row a region: 2 sum(m - c + c log(c / m))
%                         over its pixels, as spotFit's, for its final model
%     status              E-by-1: the codes of spotFit; 2 for an emitter
%                         dropped, or for all of a region that failed (no
%                         photons, or the background alone left); 3 for all
%                         of a region with a NaN or infinite value; 4 for an
%                         emitter outside the calibrated depth. Rows of
%                         status 2 or 3 are NaN in params (but region) and crlb.
%
%   Errors
%     crowdFit:WrongNumberOfInputs  Usage: [params, crlb, logLikelihoodRatio,
%                                   status] = crowdFit(regions, starts, sigma,
%                                   readVariance)
%     crowdFit:WrongType  regions must be a real, full single or double array.
%     crowdFit:WrongType  starts must be a real numeric table.
%     crowdFit:WrongType  sigma must be a real numeric scalar or psf a struct.
%     crowdFit:BadPsf     as spotFit's, for psf.
%     crowdFit:WrongSize  regions must be g-by-g or g-by-g-by-K, with g at
%                         least 3.
%     crowdFit:WrongSize  starts must have three columns: region, x and y.
%     crowdFit:BadSigma   sigma must be finite, above 0 and at most the region
%                         side g.
%     crowdFit:BadStarts  each start's region must be a whole number from 1 to
%                         the number of regions, and its x and y within the
%                         region.
%     crowdFit:TooManyStarts  a region holds at most 5 starts.
%     crowdFit:WrongType, :WrongSize, :BadVariance  as spotFit's, for
%                         readVariance.
%     crowdFit:DimensionTooLarge  Array dimensions must each be less than 2^31.
%     crowdFit:OutOfMemory  Out of memory.
%
%   Example: two spots 2 pixels apart, and a third no start was given for
%     e = @(c) diff(erf(((0:13)' - 0.5 - c) / (sqrt(2) * 1.3))) / 2;
%     region = 10 + 1000 * e(5.2) * e(6)' + 1000 * e(7.2) * e(6)' + ...
%              800 * e(6) * e(10)';
%     region = max(round(region + sqrt(region) .* randn(13)), 0);
%     [p, crlb, ratio, status] = crowdFit(region, [1 5 6; 1 7 6], 1.3);
%     % p(:, 2:3): about (5.2, 6), (7.2, 6) and (6, 10), a row each
%   localiseRecording fits the candidates whose boxes overlap this way.
%
%   Threads
%     Regions are shared out over as many threads as the cores the session may
%     use, capped by the environment variable SPOT_THREADS as for the other
%     modules; results are identical on any number of threads.
%
%   See also SPOTFIT, SPOTFIND, BOXGATHER, LOCALISERECORDING.

% Compiled module: this file holds its help text only.
