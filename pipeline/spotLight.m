function light = spotLight(spots, corners, side)
%SPOTLIGHT  The expected photons of Gaussian spots in square boxes.
%   light = spotLight(spots, corners, side)
%
%   The photons each pixel of K boxes of side `side` expects from the spots
%   given, each spot integrated over the pixels as spotFit and crowdFit model
%   it: spot s adds to pixel (i, j) of its box
%     N_s * Ex_s(i) * Ey_s(j),
%     Ex_s(i) = (erf((i + 0.5 - x_s) / (sqrt(2) sx_s)) -
%                erf((i - 0.5 - x_s) / (sqrt(2) sx_s))) / 2,
%   and Ey_s the same along y, with i and j the pixel's coordinates in the
%   frame (corner plus the place in the box). A box holds no background.
%
%   Inputs
%     spots    S-by-6: the box (1 ... K) each spot adds to, x and y (0-based
%              pixels of the frame, x along the first dimension), photons N,
%              and the widths sx and sy in pixels (as spotWidths gives them
%              at a depth); a spot in several boxes has a row for each
%     corners  K-by-2: each box's first pixel in the frame (as boxGather
%              returns them)
%     side     the boxes' side in pixels
%   light is side-by-side-by-K single.
%
%   localiseRecording takes the fitted spots out of boxes about them with it
%   to find the spots the first pass could not see beside brighter ones.
%
%   Example: what is left about each localisation once its own spot is taken
%   out (stack in photons, fits as localiseRecording returns them, the
%   block's frames numbered from 0, spots 1.3 pixels wide)
%     n = size(fits, 1);
%     [boxes, x0, y0] = boxGather(fits(:, 1), fits(:, 2), fits(:, 3), 13, stack);
%     spots = [(1:n)', fits(:, [1 2 4]), 1.3 * ones(n, 2)];
%     residual = boxes - spotLight(spots, double([x0(:) y0(:)]), 13);
%
%   See also SPOTFIT, CROWDFIT, SPOTWIDTHS, LOCALISERECORDING.
boxes = size(corners, 1);
box = spots(:, 1);
edges = single(-0.5:side - 0.5);
along = @(corner, centre, width) ...
    double(0.5 * diff(erf((single(corner - centre) + edges) ./ single(sqrt(2) * width)), 1, 2));
ex = spots(:, 4) .* along(corners(box, 1), spots(:, 2), spots(:, 5));
ey = along(corners(box, 2), spots(:, 3), spots(:, 6));
% Row (box, i) of alongX holds each spot's ex(i) in the spot's column: times ey, the sum over
% each box's spots of their outer products, with no array of a pixel a spot.
alongX = sparse((1:side) + side * (box - 1), repmat((1:numel(box))', 1, side), ex, ...
                side * boxes, numel(box));
light = permute(reshape(single(alongX * ey), side, boxes, side), [1 3 2]);
end
