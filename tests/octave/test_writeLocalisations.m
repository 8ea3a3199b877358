function test_writeLocalisations()
  % writeLocalisations: the table read back as other programs read it, header, units and
  % digits; replacing a table whole; nothing left behind when it cannot be written; an
  % identified error for every input it cannot use.
  [folder, cleanup] = scratchFolder();
  rand('seed', 3);
  count = 500;
  fits = [512 * rand(count, 2), floor(1000 * rand(count, 1)), 500 + 2500 * rand(count, 1), ...
          10 + rand(count, 1), 0.05 * rand(count, 1), 2 * rand(count, 1)];
  cam = struct('pixelNm', 107.3, 'sigma', 1.3);
  file = fullfile(folder, 'spots.csv');
  writeLocalisations(file, fits, cam);
  fid = fopen(file, 'r');
  header = fgetl(fid);
  fclose(fid);
  values = dlmread(file, ',', 1, 0);
  assert(header, ['"id","frame","x [nm]","y [nm]","sigma [nm]","intensity [photon]",' ...
                  '"offset [photon]","bkgstd [photon]","uncertainty_xy [nm]"']);
  assert(size(values), [count 9]);
  assert(values(:, 1:2), [(1:count)', fits(:, 3) + 1]);
  assert(values(:, 3:4), (fits(:, 1:2) + 0.5) * cam.pixelNm, 0.0005 + 1e-12);  % to 0.01 nm
  assert(values(:, 5), repmat(1.3 * 107.3, count, 1), 1e-9);
  assert(values(:, 6:7), fits(:, 4:5), 5e-5 + 1e-12);
  assert(values(:, 8), sqrt(fits(:, 5) + fits(:, 7)), 5e-5 + 1e-12);
  assert(values(:, 9), fits(:, 6) * cam.pixelNm, 0.0005 + 1e-12);
  % Six columns: no read variance; a table replaces the one there whole; no temporary left.
  writeLocalisations(file, fits(1:3, 1:6), cam);
  values = dlmread(file, ',', 1, 0);
  assert(size(values), [3 9]);
  assert(values(:, 8), sqrt(fits(1:3, 5)), 5e-5 + 1e-12);
  listing = dir(folder);
  assert(sort({listing.name}), {'.', '..', 'spots.csv'});
  % Nine columns, with depths: ThunderSTORM's 3-D columns, the widths at each depth.
  psf = struct('sigma0', [1.3 1.25], 'c', [-250 250], 'd', [450 440], 'A', [0.05 -0.05], ...
               'B', [0.02 0.03], 'zRange', [-600 600]);
  depths = [fits, -500 + 1000 * rand(count, 1), 10 + 20 * rand(count, 1)];
  writeLocalisations(file, depths, setfield(cam, 'psf', psf));
  fid = fopen(file, 'r');
  header = fgetl(fid);
  fclose(fid);
  values = dlmread(file, ',', 1, 0);
  assert(header, ['"id","frame","x [nm]","y [nm]","z [nm]","sigma1 [nm]","sigma2 [nm]",' ...
                  '"intensity [photon]","offset [photon]","bkgstd [photon]",' ...
                  '"uncertainty_xy [nm]","uncertainty_z [nm]"']);
  assert(size(values), [count 12]);
  assert(values(:, 5), depths(:, 8), 0.0005 + 1e-12);
  assert(values(:, 6), defocusWidth(psf, 1, depths(:, 8)) * cam.pixelNm, 0.0005 + 1e-9);
  assert(values(:, 7), defocusWidth(psf, 2, depths(:, 8)) * cam.pixelNm, 0.0005 + 1e-9);
  assert(values(:, [3 4 8 12]), [(fits(:, 1:2) + 0.5) * cam.pixelNm, fits(:, 4), depths(:, 9)], ...
         0.0005 + 1e-9);
  assertError(@() writeLocalisations(file, depths, cam), 'writeLocalisations:BadCamera');
  % A folder that is not there: the error, and no file.
  assertError(@() writeLocalisations(fullfile(folder, 'missing', 'spots.csv'), fits, cam), ...
              'writeLocalisations:CannotWrite');
  % A folder in the table's place: the error, the folder as it was, nothing else left.
  mkdir(fullfile(folder, 'taken.csv'));
  assertError(@() writeLocalisations(fullfile(folder, 'taken.csv'), fits, cam), ...
              'writeLocalisations:CannotWrite');
  listing = dir(folder);
  assert(sort({listing.name}), {'.', '..', 'spots.csv', 'taken.csv'});
  assert(numel(dir(fullfile(folder, 'taken.csv'))) == 2);
  % Names are data: no shell, no pattern. Each is written as it is, from the folder as the
  % working one so that a command run by a name would leave its file in the listing; and the
  % user's random stream is where it was.
  names = {'a$(touch INJECTED1)b.csv', 'a`touch INJECTED2`b.csv', 'cost$HOME.csv', ...
           'cells[1].csv', 'run\1.csv', 'a*b?.csv', 'it''s "q".csv', 'semi;colon & x.csv'};
  back = cd(folder);
  returnThere = onCleanup(@() cd(back));
  rand('state', 7); randn('state', 7);
  expected = [rand(), randn()];
  rand('state', 7); randn('state', 7);
  for k = 1:numel(names)
    writeLocalisations(names{k}, fits(1:2, :), cam);
    assert(size(dlmread(names{k}, ',', 1, 0)), [2 9]);
  end
  assert([rand(), randn()], expected);
  listing = dir(folder);
  assert(sort({listing.name}), sort([{'.', '..', 'spots.csv', 'taken.csv'}, names]));
  clear returnThere;
  % A disk that takes only part of the table (a size limit on a child session, whose signal
  % is ignored so that writes fail instead): an error, the table there before intact, and no
  % temporary file left.
  toolbox = fileparts(which('writeLocalisations'));
  bigFits = repmat(fits, 10, 1);
  save('-binary', fullfile(folder, 'big.bin'), 'bigFits');
  before = fileread(file);
  script = sprintf(['addpath(''%s''); load(''%s''); try, writeLocalisations(''%s'', bigFits, ' ...
                    'struct(''pixelNm'', 100, ''sigma'', 1.3)); exit(0); catch e, ' ...
                    'disp(e.identifier); exit(3); end'], toolbox, fullfile(folder, 'big.bin'), file);
  [status, said] = system(sprintf(['bash -c ''trap "" XFSZ; ulimit -f 64; exec octave ' ...
                                   '--no-gui --no-history -q --eval "$0"'' "%s"'], ...
                                  strrep(script, '"', '\"')));
  assert(status == 3 && ~isempty(strfind(said, 'writeLocalisations:CannotWrite')), said);
  assert(strcmp(fileread(file), before));
  unlink(fullfile(folder, 'big.bin'));
  listing = dir(folder);
  assert(sort({listing.name}), sort([{'.', '..', 'spots.csv', 'taken.csv'}, names]));
  assertError(@() writeLocalisations(file, fits), 'writeLocalisations:WrongNumberOfInputs');
  assertError(@() writeLocalisations(3, fits, cam), 'writeLocalisations:WrongType');
  assertError(@() writeLocalisations(file, fits(:, 1:5), cam), 'writeLocalisations:WrongSize');
  assertError(@() writeLocalisations(file, {fits}, cam), 'writeLocalisations:WrongSize');
  assertError(@() writeLocalisations(file, fits, struct('sigma', 1.3)), ...
              'writeLocalisations:BadCamera');
  assertError(@() writeLocalisations(file, fits, struct('pixelNm', 0, 'sigma', 1.3)), ...
              'writeLocalisations:BadCamera');
  disp('test_writeLocalisations: all passed');
end
