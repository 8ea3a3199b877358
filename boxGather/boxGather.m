%BOXGATHER  Cut square boxes around positions out of an image stack.
%   [boxes, x0, y0] = boxGather(X, Y, Z, boxsize, data)
%
%   For every position i, cuts the g-by-g box around (X(i), Y(i)) out of frame
%   Z(i) of data, where g = boxsize. Positions are 0-based and rounded half up
%   to the nearest pixel; X runs along the rows (first dimension) of data and Y
%   along the columns. For odd g the box is centred on the pixel; for even g
%   the pixel sits at offset g/2 - 1 in the box. Boxes that would reach past a
%   border are shifted inward, never cut short, so each box lies fully inside
%   the frame. Box element (a, b) is data(x0(i) + a + 1, y0(i) + b + 1, z + 1).
%
%   Inputs
%     X, Y, Z   N-by-1 arrays of any real numeric class: 0-based positions and
%               frame indices. Z is truncated toward zero and must name an
%               existing frame (0 to size(data, 3) - 1); X and Y must not be
%               NaN. Positions far outside the frame give border boxes.
%     boxsize   1-by-1 numeric, truncated toward zero: the box edge g, from 1
%               to the smaller of the frame's two sides
%     data      single-precision image stack, rows x columns (x frames)
%
%   Outputs
%     boxes     g-by-g-by-N single array, box i in boxes(:, :, i)
%     x0, y0    N-by-1 single arrays: 0-based row and column of each box's
%               first pixel, after shifting inward. Single precision holds
%               every whole number exactly up to 2^24 (16777216).
%
%   Errors, checked in this order
%     MATLAB:WrongNumberOfInputs   Usage: boxGather(xpostitions,ypositions,
%                                  zpositions, boxsize,data), then four lines
%                                  with the source revision
%     boxGather:DimensionTooLarge  Array dimensions must each be less than 2^31.
%     boxGather:WrongPrecision     data must be comprised of single floats
%                                  (also for complex data)
%     boxGather:WrongDimensions    X coordinate array is empty. (likewise Y, Z)
%     boxGather:WrongDimensions    X should be a 1 dimensional array. (Y, Z)
%     boxGather:DimensionMismatch  Size of X and Y and Z coordinates must match.
%     boxGather:WrongDimensions    boxsize should be a single value specifying
%                                  the szxsz region size.
%     boxGather:WrongDimensions    data should be a 3 dimensional array not N.
%     boxGather:WrongPrecision     boxsize must be a real numeric value.
%     boxGather:InputOutofRange    boxsize must be a positive integer.
%     boxGather:InputOutofRange    data size must be bigger than boxsize
%     boxGather:WrongPrecision     X, Y and Z must be real numeric arrays.
%     boxGather:InputOutofRange    data holds no frames.
%     boxGather:InputOutofRange    Z must hold frame indices from 0 to F-1.
%     boxGather:InputOutofRange    X and Y must not be NaN.
%     boxGather:OutOfMemory        Out of memory. (no memory to convert
%                                  positions of another class than double)
%
%   Example
%     data = single(rand(64, 64, 10));
%     [boxes, x0, y0] = boxGather([10; 62.6], [20; 3], [0; 9], 7, data);
%     isequal(boxes(:, :, 2), data(x0(2)+1:x0(2)+7, y0(2)+1:y0(2)+7, 10))
%
%   Threads
%     Many boxes are cut on several threads, as many as the cores the
%     session may use. The environment variable SPOT_THREADS caps them when it
%     holds a whole number from 1 up (white space around it allowed; more
%     than 64 counts as 64; anything else is ignored): setenv('SPOT_THREADS',
%     '1') gives the serial path. Results do not depend on the number of
%     threads.
%
%   See also DOTMOSAIC, FRAMEFETCH.

% Compiled module: this file holds its help text only.
