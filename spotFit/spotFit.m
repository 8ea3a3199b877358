%SPOTFIT  Fit a Gaussian spot to each box by maximum likelihood.
%   [params, crlb, logLikelihoodRatio, status] = spotFit(boxes, sigma)
%   [params, crlb, logLikelihoodRatio, status] = spotFit(boxes, sigma, fitSigma)
%   [params, crlb, logLikelihoodRatio, status] = spotFit(boxes, sigma, fitSigma,
%                                                        readVariance)
%   [params, crlb, logLikelihoodRatio, status] = spotFit(boxes, psf)
%   [params, crlb, logLikelihoodRatio, status] = spotFit(boxes, psf, [], readVariance)
%
%   Fits each g-by-g box with the image of one molecule, a Gaussian of
%   standard deviation sigma integrated over each pixel, on a flat
%   background, by maximising the Poisson likelihood of the box's counts.
%   Box pixel (i, j), i along the first dimension, i, j = 0 ... g-1, expects
%     mu(i, j) = b + N * Ex(i) * Ey(j)   photons, with
%     Ex(i) = (erf((i + 1/2 - x) / (sqrt(2) sigma))
%              - erf((i - 1/2 - x) / (sqrt(2) sigma))) / 2
%   and Ey likewise in y. Pixel centres sit at whole numbers: a spot centred
%   in a 7-by-7 box has x = y = 3. With the corners x0, y0 that boxGather
%   returns, the spot lies at x0 + x, y0 + y in the stack. A 1-by-2 sigma
%   gives Ex the width sigma(1) and Ey sigma(2).
%
%   Depth. With a cylindrical lens in the emission path, the spot's widths
%   tell its depth z (nm). Given the calibration psf (see
%   CALIBRATEASTIGMATISM) in place of sigma, Ex has the width sigma_x(z) and
%   Ey sigma_y(z), which follow the defocus curves
%     sigma_x(z) = sigma0(1) sqrt(1 + u^2 + A(1) u^3 + B(1) u^4),
%     u = (z - c(1)) / d(1),
%   and sigma_y(z) likewise with the second elements; z is fitted in place of
%   a width. It starts at the depth whose widths have the ratio of the box's
%   second moments, moves at most d/4 a step, stays within psf.zRange and has
%   converged when it moves by less than 0.01 nm. A fit whose z ends held at
%   an end of zRange has status 4: the spot lies outside the calibrated
%   depths, and its estimate there is kept.
%
%   A scientific CMOS camera adds to each pixel read noise of its own, of
%   variance r (readVariance, in photons squared; 0 without it). The fit then
%   takes d + r as Poisson of mean mu + r, a value of d + r below 0 counting
%   as 0 (Huang et al., Nature Methods 2013): it maximises
%     sum((d + r) log(mu + r) - (mu + r)),
%   the Fisher information is sum((dmu/dtheta_i) (dmu/dtheta_j) / (mu + r)),
%   and b is still the photons of background per pixel. With r = 0 every
%   output is bit for bit that of the call without readVariance.
%
%   The fit starts from the box itself (background from its rim, position
%   from the centroid above it, photons from the sum above it) and takes
%   Fisher-scoring steps on the exact derivatives. A fit still moving after
%   four steps (six with a width or the depth) turns to Newton steps on the
%   observed information where that is positive definite, and back to Fisher
%   scoring for any step that would have to be limited. A step moves x and y
%   by at most a pixel, lowers photons at most tenfold and keeps the width
%   between a tenth and twice itself; it lowers the background at most
%   tenfold (a Newton step at once) and never below its least value.
%
%   Each box is fitted in a unit of its own, the power of two at or above its
%   largest value (at least 2^-995), and the results scaled back, so that a
%   box in any unit fits alike. In that unit the background's least value is
%   1e-8; a background there stays there, with the other parameters fitted,
%   for as long as the likelihood would rise only below it. The fit has
%   converged when a step moves x and y by less than 1e-4 pixel and the other
%   parameters by less than 1e-4 of their value, and no parameter can move
%   to raise the likelihood; it stops after 50 steps.
%
%   Inputs
%     boxes     real, full single or double array, g-by-g-by-K (K boxes; a
%               g-by-g matrix is one box; g-by-g-by-0 is none), g >= 3, in
%               photons: the camera's offset subtracted and its gain divided
%               out. Values below 0 count as 0.
%     sigma     real numeric scalar or 1-by-2 (along x, then y): the spot's
%               standard deviation in pixels, finite, above 0 and at most g;
%               the starting value when the width is fitted
%     psf       in place of sigma: a struct of 1-by-2 real, finite fields
%               sigma0 (pixels, above 0), c and d (nm, d above 0), A and B,
%               and zRange (nm, increasing), each bracket under the square
%               root above 0 throughout zRange
%     fitSigma  real numeric or logical scalar, or [] (default false):
%               nonzero fits the width as a fifth parameter, or with a 1-by-2
%               sigma the two widths as a fifth and sixth; with psf it must
%               be false or []
%     readVariance  real, full single or double array the size of boxes, or a
%               scalar for every pixel (default 0): each pixel's read noise
%               variance in photons squared (the camera's in counts squared
%               divided by its gain squared), not below 0; Inf marks a
%               pixel of no information (one the camera cannot measure),
%               which the fit leaves out and whose value it does not read
%
%   Outputs (all double)
%     params              K-by-4: x, y, photons N, background b (per pixel);
%                         K-by-5 with sigma last when the width is fitted,
%                         or with z (nm) last given psf; K-by-6 with
%                         sigma x and sigma y last when both are fitted
%     crlb                the same size: the Cramer-Rao bound on each
%                         parameter's standard deviation, the square roots of
%                         the diagonal of the inverse Fisher information
%                         sum((dmu/dtheta_i) (dmu/dtheta_j) / (mu + r)) at the
%                         fit
%     logLikelihoodRatio  K-by-1: 2 sum(m - c + c log(c / m)) over the box's
%                         pixels, with m = mu + r and c = d + r (a pixel with
%                         c = 0 adds 2 m). For a good
%                         fit about chi-squared with g^2 - 4 (or g^2 - 5)
%                         degrees of freedom; far above for two spots or none
%     status              K-by-1:
%                           0  converged
%                           1  still moving after 50 steps (estimate kept)
%                           2  not a spot: the box holds no photons, the fit
%                              left the box (x or y outside -0.5 ... g - 0.5),
%                              the photons went to 0 (below 1e-5 of the box's
%                              unit), or the Fisher information is singular:
%                              its reciprocal condition number, with photons
%                              and background in the box's unit and the
%                              rest in pixels, is below 1e-12
%                           3  the box holds a NaN or infinite value
%                           4  outside the calibrated depth: z ended held at
%                              an end of psf.zRange (fits with psf only)
%                         Rows with status 2 or 3 are NaN in params, crlb and
%                         logLikelihoodRatio.
%
%   Errors
%     spotFit:WrongNumberOfInputs  Usage: [params, crlb, logLikelihoodRatio,
%                                  status] = spotFit(boxes, sigma, fitSigma,
%                                  readVariance)
%     spotFit:WrongType  boxes must be a real, full single or double array.
%     spotFit:WrongType  sigma must be a real numeric scalar or 1-by-2, or psf
%                        a struct.
%     spotFit:WrongType  fitSigma must be a real numeric or logical scalar, or
%                        [].
%     spotFit:WrongSize  boxes must be g-by-g or g-by-g-by-K, with g at least 3.
%     spotFit:BadPsf     psf must be a 1-by-1 struct with fields sigma0, c, d,
%                        A, B and zRange.
%     spotFit:BadPsf     psf.<field> must be real, finite and 1-by-2.
%     spotFit:BadPsf     psf must have sigma0 and d above 0, zRange
%                        increasing, and each curve's bracket above 0
%                        throughout zRange.
%     spotFit:BadPsf     with a psf the depth sets the widths: fitSigma must
%                        be false or [].
%     spotFit:BadSigma   sigma must be finite, above 0 and at most the box
%                        side g.
%     spotFit:WrongType  readVariance must be a real, full single or double
%                        array.
%     spotFit:WrongSize  readVariance must be a scalar or the size of boxes.
%     spotFit:BadVariance  readVariance must not be below 0 or NaN (Inf: no
%                          information).
%     spotFit:DimensionTooLarge  Array dimensions must each be less than 2^31.
%     spotFit:OutOfMemory  Out of memory.
%
%   Example: from a camera stack to a super-resolved image
%     offset = 100; gain = 2;                     % the camera's
%     photons = (single(stack) - offset) / gain;
%     [x, y, z] = spotFind(photons, 1.3, 30);     % candidate spots
%     [boxes, x0, y0] = boxGather(x, y, z, 7, photons);
%     [p, crlb, llr, status] = spotFit(boxes, 1.3);
%     ok = status == 0 & crlb(:, 1) < 0.3;
%     X = double(x0(ok)) + p(ok, 1);  Y = double(y0(ok)) + p(ok, 2);
%     levels = dotMosaic(8 * size(stack, 1), 8 * size(stack, 2), ...
%                        single(8 * (X + 0.5)), single(8 * (Y + 0.5)), 1);
%
%   Example: depth, from a bead stack scanned through focus
%     psf = calibrateAstigmatism(beads, stageZ);   % once per lens
%     [boxes, x0, y0] = boxGather(x, y, z, 13, photons);
%     [p, crlb, llr, status] = spotFit(boxes, psf);
%     ok = status == 0;  Z = p(ok, 5);            % nm, crlb(ok, 5) its bound
%
%   Threads
%     Boxes are shared out over as many threads as the cores the session may
%     use, capped by the environment variable SPOT_THREADS as for the other
%     modules. Each box's fit is independent: results are identical on any
%     number of threads, and single and double boxes of the same values give
%     the same fits (the work is done in double precision).
%
%   See also BOXGATHER, SPOTFIND, DOTMOSAIC, CROWDFIT, CALIBRATEASTIGMATISM.

% Compiled module: this file holds its help text only.
