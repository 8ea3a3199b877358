function test_parallel()
  % The README's way to spread recordings over processes: localiseRecording, one recording a
  % task, on two processes with parcellfun, gives the serial result.
  pkg load parallel
  [folder, cleanup] = scratchFolder();
  cam = struct('offset', 100, 'gain', 2, 'sigma', 1.3, 'threshold', 40, 'box', 7);
  randp('seed', 8); rand('seed', 8);
  e = @(c) diff(erf(((0:64)' - 0.5 - c) / (sqrt(2) * cam.sigma))) / 2;
  files = {};
  for k = 1:3
    photons = zeros(64, 64, 20);
    for f = 1:20
      for spot = 1:4
        photons(:, :, f) += 1500 * e(8 + 48 * rand()) * e(8 + 48 * rand())';
      end
    end
    files{k} = fullfile(folder, sprintf('recording%d.rec', k));
    writeRecording(files{k}, uint16(cam.offset + cam.gain * randp(10 + photons)));
  end
  serial = cellfun(@(f) localiseRecording(f, cam), files, 'UniformOutput', false);
  spread = parcellfun(2, @(f) localiseRecording(f, cam), files, 'UniformOutput', false, ...
                      'VerboseLevel', 0);
  assert(isequal(spread, serial));
  assert(all(cellfun(@rows, serial) > 40));
  disp('test_parallel: all passed');
end
