%DOTMOSAIC  Render point positions as a count image, optionally histogram-equalised.
%   [counts, levels] = dotMosaic(sizeX, sizeY, X, Y, UseHistEqual)
%
%   Drops every point (X(i), Y(i)) into a pixel of a sizeX-by-sizeY grid and
%   returns how many points fell into each pixel. Pixel (ix, iy), counted from
%   0, takes the points with ix <= X < ix+1 and iy <= Y < iy+1; X runs along
%   the rows (first dimension) and Y along the columns. Points outside the grid
%   are counted in the nearest border pixel; a NaN coordinate counts in pixel 0
%   of its axis.
%
%   Inputs
%     sizeX, sizeY   image size; numeric scalars, truncated toward zero, at
%                    least 1 each
%     X, Y           single-precision arrays of 0-based coordinates; every
%                    element of X is a point, and Y needs at least as many
%                    elements as X
%     UseHistEqual   numeric scalar, truncated toward zero; non-zero spreads the
%                    non-empty pixels over the levels 0 to 1023 by the
%                    cumulative distribution of their counts. Not optional: all
%                    five inputs must be given (0 for counts only)
%
%   Outputs
%     counts   sizeX-by-sizeY uint16 image of counts per pixel, saturating at
%              65535. With UseHistEqual it holds the equalised levels instead,
%              truncated to integers.
%     levels   sizeX-by-sizeY single image of the equalised levels (0 to 1023,
%              the most crowded pixels at 1023); all zero without UseHistEqual.
%
%   Errors
%     (no identifier)  Must input sizeX,sizeY,X,Y,UseHistEqual!
%     (no identifier)  Array inputs must be comprised of single floats!
%                      (X or Y not single, or complex)
%     dotMosaic:WrongType  sizeX, sizeY and UseHistEqual must be real numeric
%                      scalars. (a cell, struct, function handle, empty or
%                      complex value)
%     dotMosaic:DimensionTooLarge  Array dimensions must each be less than
%                      2^31. (X or Y that large, or sizeX or sizeY infinite or
%                      2^31 or more)
%     (no identifier)  Y must have at least as many elements as X!
%     (no identifier)  sizeX and sizeY must be at least 1! (NaN sizes too)
%     dotMosaic:OutOfMemory  Out of memory.
%
%   Example
%     xy = single(64 * rand(10000, 2));
%     img = dotMosaic(256, 256, 4 * xy(:, 1), 4 * xy(:, 2), 1);
%     imagesc(img); axis image; colormap(gray);
%
%   Threads
%     Large inputs are counted and equalised on several threads, as many as the cores the
%     session may use. The environment variable SPOT_THREADS caps them when it
%     holds a whole number from 1 up (white space around it allowed; more
%     than 64 counts as 64; anything else is ignored): setenv('SPOT_THREADS',
%     '1') gives the serial path. Results do not depend on the number of
%     threads.
%
%   See also BOXGATHER, FRAMEFETCH.

% Compiled module: this file holds its help text only.
