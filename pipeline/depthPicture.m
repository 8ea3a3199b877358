function [picture, bar] = depthPicture(sizeX, sizeY, X, Y, z, zRange)
%DEPTHPICTURE  Render localisations as a picture coloured by their depth.
%   picture = depthPicture(sizeX, sizeY, X, Y, z)
%   [picture, bar] = depthPicture(sizeX, sizeY, X, Y, z, zRange)
%
%   Bins the localisations as dotMosaic does (pixel (ix, iy) takes those with
%   ix <= X < ix + 1 and iy <= Y < iy + 1, those outside in the nearest
%   border pixel) and gives each pixel its histogram-equalised level from
%   dotMosaic as its brightness and the mean depth of its localisations as
%   its colour: blue at zRange(1), through cyan, green and yellow, to red at
%   zRange(2), depths beyond taking the colour of the nearer end. Empty
%   pixels are black.
%
%   Inputs
%     sizeX, sizeY  the picture's size in pixels, whole numbers of at least 1
%     X, Y          real numeric vectors of 0-based render coordinates, as
%                   dotMosaic takes them (converted to single), one a
%                   localisation
%     z             real numeric vector of their depths (nm), as many
%     zRange        (optional) [low high] depths (nm) of the colour map's ends;
%                   by default where all but the lowest and highest 1% of z
%                   lie
%
%   Outputs
%     picture  sizeY-by-sizeX-by-3 double RGB image, values 0 to 1, X across
%              and Y down, as image and imwrite show it
%     bar      the colour map as a scale bar to set below the picture: an
%              RGB image sizeX wide, the map from zRange(1) at the left to
%              zRange(2) at the right above its ends' and middle's depths
%              written in nm
%
%   Errors
%     depthPicture:BadInput  sizes not whole numbers of at least 1; X, Y and
%                            z not real numeric vectors of one length, z
%                            finite; zRange not two increasing finite depths
%
%   Example: the localisations of a recording with depth, eight times finer
%     fits = localiseRecording('cells.rec', cam);   % cam.psf given
%     [picture, bar] = depthPicture(8 * 128, 8 * 128, 8 * (fits(:, 1) + 0.5), ...
%                                   8 * (fits(:, 2) + 0.5), fits(:, 8), [-400 400]);
%     imwrite([picture; bar], 'depth.png');
%
%   See also DOTMOSAIC, LOCALISERECORDING, CALIBRATEASTIGMATISM.
if nargin < 5
  error('depthPicture:BadInput', 'Usage: [picture, bar] = depthPicture(sizeX, sizeY, X, Y, z, zRange)');
end
isWhole = @(v) isnumeric(v) && isreal(v) && isscalar(v) && v >= 1 && v == round(v) && ...
               isfinite(v);
isColumn = @(v) isnumeric(v) && isreal(v) && ~issparse(v) && (isvector(v) || isempty(v));
if ~isWhole(sizeX) || ~isWhole(sizeY) || ~isColumn(X) || ~isColumn(Y) || ~isColumn(z) || ...
   numel(Y) ~= numel(X) || numel(z) ~= numel(X) || ~all(isfinite(double(z(:))))
  error('depthPicture:BadInput', ['sizeX and sizeY must be whole numbers of at least 1, and ' ...
        'X, Y and z real vectors of one length, z finite.']);
end
sizeX = double(sizeX);
sizeY = double(sizeY);
z = double(z(:));
if nargin < 6
  sorted = sort(z);
  if isempty(sorted)
    sorted = 0;
  end
  zRange = sorted(max(1, round([0.01 0.99] * numel(sorted))))' + [-0.5 0.5];
end
if ~isnumeric(zRange) || ~isreal(zRange) || numel(zRange) ~= 2 || ...
   ~all(isfinite(double(zRange))) || ~(zRange(1) < zRange(2))
  error('depthPicture:BadInput', 'zRange must be two increasing finite depths.');
end
zRange = double(zRange(:))';
X = single(X(:));
Y = single(Y(:));
[~, levels] = dotMosaic(sizeX, sizeY, X, Y, 1);
% The pixel of each localisation as dotMosaic bins it.
ix = binOf(X, sizeX);
iy = binOf(Y, sizeY);
pixel = ix + 1 + sizeX * iy;
counts = accumarray(pixel, 1, [sizeX * sizeY 1]);
depths = accumarray(pixel, z, [sizeX * sizeY 1]) ./ max(counts, 1);
colour = colourOf((depths - zRange(1)) / diff(zRange));
brightness = double(levels(:)) / 1023;
brightness(counts == 0) = 0;
picture = permute(reshape(colour .* brightness, sizeX, sizeY, 3), [2 1 3]);
if nargout > 1
  bar = scaleBar(sizeX, zRange);
end
end

% dotMosaic's bin along one axis: the whole part, in the grid, NaN in bin 0.
function bin = binOf(v, count)
bin = floor(double(v));
bin(isnan(bin)) = 0;
bin = min(max(bin, 0), count - 1);
end

% RGB of each share t of the colour map (0 blue, 0.25 cyan, 0.5 green, 0.75 yellow, 1 red).
function rgb = colourOf(t)
t = min(max(t(:), 0), 1);
stops = [0 0 1; 0 1 1; 0 1 0; 1 1 0; 1 0 0];
at = (0:4)' / 4;
rgb = [interp1(at, stops(:, 1), t), interp1(at, stops(:, 2), t), interp1(at, stops(:, 3), t)];
end

% The colour map as a bar sizeX wide, with the depths of its ends and middle written beneath.
function bar = scaleBar(sizeX, zRange)
scale = max(1, floor(sizeX / 160));  % a character's pixel
ramp = colourOf(linspace(0, 1, sizeX)');
stripe = repmat(reshape(ramp, 1, sizeX, 3), 6 * scale, 1, 1);
labels = zeros(9 * scale, sizeX);
texts = {sprintf('%g nm', round(zRange(1))), sprintf('%g nm', round(mean(zRange))), ...
         sprintf('%g nm', round(zRange(2)))};
for k = 1:3
  glyphs = textPixels(texts{k}, scale);
  width = size(glyphs, 2);
  left = round([1, (sizeX - width) / 2, sizeX - width + 1]);
  left = min(max(left(k), 1), max(sizeX - width + 1, 1));
  columns = left:min(left + width - 1, sizeX);
  labels(2 * scale + (1:size(glyphs, 1)), columns) = glyphs(:, 1:numel(columns));
end
bar = cat(1, zeros(2 * scale, sizeX, 3), stripe, repmat(labels, [1 1 3]));
end

% The text in a 3-by-5 pixel font (digits, minus, space, n and m), each pixel scale-by-scale.
function pixels = textPixels(text, scale)
font = struct('c', {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '-', ' ', 'n', 'm', '.'}, ...
              'rows', {[7 5 5 5 7], [2 6 2 2 7], [7 1 7 4 7], [7 1 7 1 7], [5 5 7 1 1], ...
                       [7 4 7 1 7], [7 4 7 5 7], [7 1 1 1 1], [7 5 7 5 7], [7 5 7 1 7], ...
                       [0 0 7 0 0], [0 0 0 0 0], [0 6 5 5 5], [0 7 7 5 5], [0 0 0 0 2]});
pixels = zeros(5, 0);
for character = text
  glyph = font(strcmp({font.c}, character));
  bits = zeros(5, 3);
  if ~isempty(glyph)
    bits = [bitand(glyph.rows', 4) > 0, bitand(glyph.rows', 2) > 0, bitand(glyph.rows', 1) > 0];
  end
  pixels = [pixels, bits, zeros(5, 1)]; %#ok<AGROW>
end
pixels = kron(pixels, ones(scale));
end
