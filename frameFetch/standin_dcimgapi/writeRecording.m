function writeRecording(path, frames, rowPadding)
  %WRITERECORDING  Write frames as a recording that frameFetch reads with the stand-in library.
  %   writeRecording(path, frames)
  %   writeRecording(path, frames, rowPadding)
  %
  %   frames is a width-by-height-by-n uint16 array: element (x, y, k) is pixel x
  %   of row y of frame k, so frames(:, :, k) is what frameFetch(k - 1, path)
  %   returns. rowPadding (default 0) adds that many bytes after every row, as
  %   cameras with padded rows do. The format is described in FORMAT.md beside
  %   the stand-in library's sources.
  %
  %   Example
  %     frames = uint16(randi(4095, 64, 32, 10));
  %     writeRecording('spots.rec', frames);
  %     [frame, n] = frameFetch(3, 'spots.rec');   % frames(:, :, 4), 10
  %
  %   See also FRAMEFETCH.
  if nargin < 3
    rowPadding = 0;
  end
  if ~isa(frames, 'uint16') || ndims(frames) > 3 || isempty(frames)
    error('writeRecording:WrongType', 'frames must be a non-empty width-by-height-by-n uint16 array.');
  end
  if ~isnumeric(rowPadding) || ~isscalar(rowPadding) || rowPadding < 0 || rowPadding ~= fix(rowPadding)
    error('writeRecording:WrongType', 'rowPadding must be a non-negative whole number of bytes.');
  end
  [width, height, count] = size(frames);
  rowBytes = 2 * width + rowPadding;
  if rowBytes > 2^31 - 1 || height > 2^31 - 1 || count > 2^31 - 1
    error('writeRecording:TooLarge', 'frames are too large for a recording.');
  end

  fid = fopen(path, 'w', 'ieee-le');
  if fid < 0
    error('writeRecording:CannotOpen', 'cannot open %s for writing.', path);
  end
  closer = onCleanup(@() fclose(fid));
  fwrite(fid, uint8('FRAMEREC'), 'uint8');
  fwrite(fid, [1 count width height rowBytes 0], 'uint32');
  if rowPadding == 0
    fwrite(fid, frames(:), 'uint16');
  else
    % Rows as little-endian bytes with zero padding after each.
    rows = reshape(frames, width, height * count);
    bytes = zeros(rowBytes, height * count, 'uint8');
    bytes(1:2:2 * width, :) = uint8(bitand(rows, 255));
    bytes(2:2:2 * width, :) = uint8(bitshift(rows, -8));
    fwrite(fid, bytes, 'uint8');
  end
end
