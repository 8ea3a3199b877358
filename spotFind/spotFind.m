%SPOTFIND  Find the spots in each frame of a stack.
%   [X, Y, Z, strength] = spotFind(stack, sigma, threshold)
%   [X, Y, Z, strength] = spotFind(stack, sigma, threshold, offset, gain)
%
%   Filters each frame for spots of standard deviation sigma and returns the
%   local maxima of the filtered frame that reach threshold. Given the
%   camera's offset and gain, it filters each frame in photons, I = (stack -
%   offset) ./ gain computed in double precision (with offset and gain each a
%   scalar or a map of a frame's size, as calibrateCamera measures them for a
%   scientific CMOS camera), so that the threshold is in photons; otherwise
%   I is the stack as it is.
%
%   The filter: r = ceil(3 sigma); G(t) = exp(-t^2 / (2 sigma^2)) for
%   t = -r ... r; h(i, j) = G(i) G(j) / (2 pi sigma^2) over the window; m the
%   mean of h and q = sum((h - m)^2) over the window; w = (h - m) / q. The
%   filtered frame is S(x, y) = sum of w(i, j) I(x + i, y + j) over the
%   window, a pixel outside the frame taking the value of the nearest pixel
%   inside it. w sums to zero, so a constant offset or background cancels;
%   and a spot of N photons centred on a pixel reads about N there (0.97 N
%   for sigma = 1.3). Raw camera frames therefore work as they are, and the
%   threshold is in the stack's own units above the local background.
%
%   (x, y) is a candidate when S(x, y) >= threshold, S(x, y) is greater than
%   S at the four neighbours before it in column-major order, (x-1, y),
%   (x-1, y-1), (x, y-1) and (x+1, y-1), and at least S at the four after
%   it, (x+1, y), (x+1, y+1), (x, y+1) and (x-1, y+1); neighbours outside the
%   frame do not count. Of two equal neighbours the later in column-major
%   order can be a candidate, the earlier not; so a plateau of equal values
%   gives one candidate for each of its pixels that has no equal neighbour
%   after it (one for a plateau along a row or a column, two for a diagonal
%   step such as S equal at (4,2), (3,3) and (2,3)). A NaN or infinite pixel
%   makes S NaN wherever the window covers it; a NaN is never a candidate,
%   nor is any pixel beside one. S is computed in double precision and
%   equals the sum above within rounding for every finite frame, whatever
%   the magnitudes of its values (where S is beyond the largest double, it
%   is Inf or -Inf).
%
%   Inputs
%     stack      real, full uint16 (as frameFetch returns frames), single or
%                double array: R-by-C (one frame) or R-by-C-by-F (F may be 0)
%     sigma      real numeric scalar: the spots' standard deviation in pixels,
%                from 0.1 to 20
%     threshold  real numeric scalar, not NaN: the least filtered value a
%                candidate must reach
%     offset     real numeric scalar or R-by-C map: the camera's offset in
%                counts, finite
%     gain       real numeric scalar or R-by-C map: counts per photon, finite
%                and above 0
%
%   Outputs: column vectors of double, ordered by frame, then column, then
%   row
%     X, Y, Z    0-based row, column and frame of each candidate, ready for
%                boxGather(X, Y, Z, g, stack)
%     strength   S at the candidate
%
%   Errors
%     spotFind:WrongNumberOfInputs  Usage: [X, Y, Z, strength] =
%                                   spotFind(stack, sigma, threshold, offset,
%                                   gain)
%     spotFind:WrongType  stack must be a real, full uint16, single or double
%                         array.
%     spotFind:WrongType  sigma and threshold must be real numeric scalars.
%     spotFind:WrongSize  stack must be R-by-C or R-by-C-by-F.
%     spotFind:BadSigma   sigma must be finite, from 0.1 to 20.
%     spotFind:BadThreshold  threshold must not be NaN.
%     spotFind:WrongType  offset and gain must be real numeric scalars or maps.
%     spotFind:WrongSize  offset and gain must each be a scalar or R-by-C, a
%                         frame's size.
%     spotFind:BadCamera  offset must be finite, and gain finite and above 0.
%     spotFind:DimensionTooLarge  Array dimensions must each be less than
%                                 2^31.
%     spotFind:OutOfMemory  Out of memory.
%
%   Example: find, cut and fit the spots of every frame of a recording
%     [frame, n] = frameFetch(0, file);
%     stack = zeros([size(frame) n], 'single');
%     for k = 0:n - 1, stack(:, :, k + 1) = frameFetch(k, file); end
%     offset = 100; gain = 2;                       % the camera's
%     [x, y, z] = spotFind(stack, 1.3, 30, offset, gain);  % 30 photons above
%                                                          % the background
%     [boxes, x0, y0] = boxGather(x, y, z, 7, stack);
%     [p, crlb, llr, status] = spotFit((boxes - offset) / gain, 1.3);
%   (localiseRecording does this a block of frames at a time.)
%
%   Threads
%     Frames are shared out over as many threads as the cores the session may
%     use (a frame's columns when there are fewer frames than threads), capped
%     by the environment variable SPOT_THREADS as for the other modules.
%     Results do not depend on the number of threads.
%
%   See also BOXGATHER, SPOTFIT, FRAMEFETCH, LOCALISERECORDING.

% Compiled module: this file holds its help text only.
