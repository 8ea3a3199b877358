function writeLocalisations(file, fits, cam)
%WRITELOCALISATIONS  Write localisations as a table that other programs read.
%   writeLocalisations(file, fits, cam)
%
%   Writes the localisations of localiseRecording to file as comma-separated
%   values in ThunderSTORM's two-dimensional column convention, which
%   ThunderSTORM, picasso (picasso csv2hdf) and SMAP import. The header is
%     "id","frame","x [nm]","y [nm]","sigma [nm]","intensity [photon]",
%     "offset [photon]","bkgstd [photon]","uncertainty_xy [nm]"
%   and each row: the localisation's number from 1; its frame from 1; x and y
%   in nanometres from the image's corner, (x + 0.5) * cam.pixelNm, since
%   pixel i covers i - 0.5 ... i + 0.5; the spots' width cam.sigma in
%   nanometres; the photons; the background photons per pixel; the
%   background's standard deviation in photons, sqrt(background + read
%   variance); and the larger of the position's Cramer-Rao bounds in
%   nanometres. Positions and bounds are written to 0.001 nm.
%
%   Localisations with depth (nine columns, localiseRecording with a psf) go
%   in ThunderSTORM's three-dimensional columns, which picasso's import reads
%   by these names:
%     "id","frame","x [nm]","y [nm]","z [nm]","sigma1 [nm]","sigma2 [nm]",
%     "intensity [photon]","offset [photon]","bkgstd [photon]",
%     "uncertainty_xy [nm]","uncertainty_z [nm]"
%   z as fitted, sigma1 and sigma2 the widths along x and y at that depth
%   (cam.psf's curves, in nanometres), and z's Cramer-Rao bound last.
%
%   The table is written under a temporary name beside file and then renamed
%   to it, so that file is never left half-written: it is the whole table or,
%   after an error, what it was before.
%
%   Inputs
%     file  path of the table to write (replaced when it exists)
%     fits  N-by-6, N-by-7 or N-by-9 table as localiseRecording returns: x, y
%           (0-based pixels), frame (0-based), photons, background, bound on x
%           and y (pixels), when there the read variance (photons squared),
%           and z and its bound (nm); drift-corrected positions are fine
%           (estimateDrift)
%     cam   struct with pixelNm (the camera's pixel in nanometres, above 0)
%           and sigma (the spots' standard deviation in pixels); for nine
%           columns psf (the depth calibration the depths were fitted with)
%
%   Errors
%     writeLocalisations:WrongNumberOfInputs  Usage: writeLocalisations(file,
%                                             fits, cam)
%     writeLocalisations:WrongType   file must be a character row
%     writeLocalisations:WrongSize   fits must be a real numeric table of 6,
%                                    7 or 9 columns
%     writeLocalisations:BadCamera   cam must be a struct with pixelNm above 0
%                                    and sigma above 0
%     writeLocalisations:BadCamera   depths need cam.psf, the calibration
%                                    they were fitted with
%     writeLocalisations:CannotWrite the table could not be written (the
%                                    message says why); nothing is left behind
%
%   Example: a recording localised, corrected for drift and written for
%   ThunderSTORM or picasso
%     fits = localiseRecording('cells.rec', cam);
%     [~, frameCount] = frameFetch(0, 'cells.rec');
%     drift = estimateDrift(fits, frameCount);
%     fits(:, 1:2) = fits(:, 1:2) - drift(fits(:, 3) + 1, :);
%     cam.pixelNm = 100;
%     writeLocalisations('cells.csv', fits, cam);
%
%   See also LOCALISERECORDING, ESTIMATEDRIFT.
if nargin ~= 3
  error('writeLocalisations:WrongNumberOfInputs', 'Usage: writeLocalisations(file, fits, cam)');
end
if ~ischar(file) || isempty(file) || size(file, 1) ~= 1
  error('writeLocalisations:WrongType', 'file must be a character row.');
end
if ~isnumeric(fits) || ~isreal(fits) || issparse(fits) || ndims(fits) ~= 2 || ...
   ~any(size(fits, 2) == [6 7 9])
  error('writeLocalisations:WrongSize', 'fits must be a real numeric table of 6, 7 or 9 columns.');
end
if ~isstruct(cam) || ~isscalar(cam) || ~all(isfield(cam, {'pixelNm', 'sigma'})) || ...
   ~isRealScalarAboveZero(cam.pixelNm) || ~isRealScalarAboveZero(cam.sigma)
  error('writeLocalisations:BadCamera', 'cam must be a struct with pixelNm above 0 and sigma above 0.');
end
depth = size(fits, 2) == 9;
if depth && ~isCurves(cam)
  error('writeLocalisations:BadCamera', 'depths need cam.psf, the calibration they were fitted with.');
end
if exist(file, 'dir')
  error('writeLocalisations:CannotWrite', 'cannot write %s: a folder is there.', file);
end
fits = double(fits);
count = size(fits, 1);
read = zeros(count, 1);
if size(fits, 2) >= 7
  read = fits(:, 7);
end
nm = double(cam.pixelNm);
position = [(1:count)', fits(:, 3) + 1, (fits(:, 1:2) + 0.5) * nm];
rest = [fits(:, 4:5), sqrt(fits(:, 5) + read), fits(:, 6) * nm];
% The text whole, so that what reaches the disk can be checked against it.
if depth
  [sx, sy] = spotWidths(cam.psf, fits(:, 8));
  widths = [sx, sy] * nm;
  table = [position, fits(:, 8), widths, rest, fits(:, 9)];
  text = [sprintf('%s\n', ['"id","frame","x [nm]","y [nm]","z [nm]","sigma1 [nm]",' ...
                           '"sigma2 [nm]","intensity [photon]","offset [photon]",' ...
                           '"bkgstd [photon]","uncertainty_xy [nm]","uncertainty_z [nm]"']), ...
          sprintf('%d,%d,%.3f,%.3f,%.3f,%.3f,%.3f,%.4f,%.4f,%.4f,%.3f,%.3f\n', table')];
else
  table = [position, repmat(double(cam.sigma) * nm, count, 1), rest];
  text = [sprintf('%s\n', ['"id","frame","x [nm]","y [nm]","sigma [nm]","intensity [photon]",' ...
                           '"offset [photon]","bkgstd [photon]","uncertainty_xy [nm]"']), ...
          sprintf('%d,%d,%.3f,%.3f,%.3f,%.4f,%.4f,%.4f,%.3f\n', table')];
end
% The temporary name is the host's own (tempname draws on no random stream of the user's) and
% holds nothing of the user's name, beside the target so that the rename stays on one disk.
folder = fileparts(file);
[~, stem] = fileparts(tempname());
temporary = fullfile(folder, ['.' stem '.partial']);
fid = fopen(temporary, 'w');
if fid < 0
  error('writeLocalisations:CannotWrite', 'cannot write %s: cannot create a file in its folder.', ...
        file);
end
cleanup = onCleanup(@() removeIfThere(temporary));
written = fwrite(fid, text, 'char');
failed = ferror(fid);
closed = fclose(fid);
% A full disk or a size limit may show only in the close, or not at all: the file's length
% read back is what the disk holds.
if written ~= numel(text) || ~isempty(failed) || closed ~= 0 || ...
   lengthOf(temporary) ~= numel(text)
  error('writeLocalisations:CannotWrite', 'cannot write %s: the disk refused the table.', file);
end
[moved, message] = renameFile(temporary, file);
if ~moved
  error('writeLocalisations:CannotWrite', 'cannot write %s: %s', file, message);
end
end

% Whether cam holds a depth calibration whose curves give widths: sigma0, c, d, A and B real
% pairs of finite values, sigma0 and d above 0.
function yes = isCurves(cam)
yes = isfield(cam, 'psf') && isstruct(cam.psf) && isscalar(cam.psf);
for name = {'sigma0', 'c', 'd', 'A', 'B'}
  yes = yes && isfield(cam.psf, name{1}) && isnumeric(cam.psf.(name{1})) && ...
        isreal(cam.psf.(name{1})) && numel(cam.psf.(name{1})) == 2 && ...
        all(isfinite(double(cam.psf.(name{1}))));
end
yes = yes && all(cam.psf.sigma0 > 0) && all(cam.psf.d > 0);
end

% Bytes in a file, by reading it, or -1 when it cannot be opened.
function bytes = lengthOf(file)
bytes = -1;
fid = fopen(file, 'r');
if fid >= 0
  fseek(fid, 0, 'eof');
  bytes = ftell(fid);
  fclose(fid);
end
end

% Renames without a shell or a pattern read into either name: Octave's rename calls the system
% directly; MATLAB's movefile calls no shell, and the temporary name holds no wildcard.
function [moved, message] = renameFile(from, to)
if exist('OCTAVE_VERSION', 'builtin') ~= 0
  [status, message] = rename(from, to);
  moved = status == 0;
else
  [moved, message] = movefile(from, to, 'f');
end
end

function ok = isRealScalarAboveZero(value)
ok = isnumeric(value) && isreal(value) && isscalar(value) && value > 0 && isfinite(value);
end

% Removes a file if it is there. Octave's unlink reads no pattern in the name; MATLAB's delete
% reads only *, which the temporary name does not hold.
function removeIfThere(file)
if exist('OCTAVE_VERSION', 'builtin') ~= 0
  [~, ~] = unlink(file);  % with outputs, a name no longer there is no error
elseif exist(file, 'file')
  delete(file);
end
end
