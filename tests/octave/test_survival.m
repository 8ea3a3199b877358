function test_survival(hostileLibrary)
  % test_survival(hostileLibrary)  The session survives what other programs and the user do
  % around the modules, and the modules write only into arrays of their own. Scenarios that
  % could crash run in child sessions: a recording rewritten during reads, the module unloaded
  % and loaded again, threads that cannot start (hostileLibrary, preloaded, lets no thread
  % start once a module is loaded), and outputs beyond a memory limit.
  [folder, cleanup] = scratchFolder();
  usersZerosAndBuiltinAreNeverWrittenInto(folder);
  recordingRewrittenDuringReads(folder, '', 4);
  % Again with SIGBUS blocked in the session's threads by some other part of it.
  recordingRewrittenDuringReads(folder, sprintf('LD_PRELOAD="%s" BLOCK_SIGBUS=1', hostileLibrary), 2);
  moduleUnloadedAndReloaded(folder);
  threadsThatCannotStart(folder, hostileLibrary);
  outputsBeyondTheMemoryLimit(folder);
  disp('test_survival: all passed');
end

function output = runChild(scenario, folder, seconds, environment)
  % Runs survivalScenario in a session of its own and checks that it survived.
  toolbox = fileparts(which('frameFetch'));
  here = fileparts(mfilename('fullpath'));
  command = sprintf(['%s "%s" --no-gui --no-history -q --eval ' ...
                     '"addpath(''%s''); addpath(''%s''); survivalScenario(''%s'', ''%s'', %g)" 2>&1'], ...
                    environment, fullfile(OCTAVE_HOME(), 'bin', 'octave-cli'), toolbox, here, ...
                    scenario, folder, seconds);
  [status, output] = system(command);
  assert(status == 0 && ~isempty(strfind(output, 'survived')), ...
         sprintf('the %s session ended with status %d:\n%s', scenario, status, output));
end

function usersZerosAndBuiltinAreNeverWrittenInto(folder)
  % A zeros.m that hands out one cached array, and a builtin.m that hands out fresh arrays of
  % sevens, both first on the path: neither is called, and the outputs are the modules' own.
  shadows = fullfile(folder, 'shadows');
  mkdir(shadows);
  writeText(fullfile(shadows, 'zeros.m'), ...
            {'function z = zeros(varargin)', '  global userCache zerosCalls', ...
             '  zerosCalls = zerosCalls + 1;', ...
             '  if isempty(userCache), userCache = repmat(uint16(0), 512, 512); end', ...
             '  z = userCache;', 'end'});
  % Answers zeros(dims, class) with an unshared array of that class and size, all sevens.
  writeText(fullfile(shadows, 'builtin.m'), ...
            {'function z = builtin(name, varargin)', '  global builtinCalls', ...
             '  builtinCalls = builtinCalls + 1;', ...
             '  z = repmat(cast(7, varargin{end}), varargin{1});', 'end'});
  global userCache zerosCalls builtinCalls
  zerosCalls = 0;
  builtinCalls = 0;
  file = fullfile(folder, 'shadowed.rec');
  frames = uint16(reshape(mod(0:3 * 512 * 512 - 1, 65521), 512, 512, 3));
  writeRecording(file, frames);
  state = warning('off', 'Octave:shadowed-function');
  addpath(shadows);
  restore = onCleanup(@() unshadow(shadows, state));
  for k = 0:2
    % Each call must find the user's arrays all zero, and leave them so.
    assert(isequal(frameFetch(k, file), frames(:, :, k + 1)));
    counts = dotMosaic(512, 512, single([1.5; 1.5; 300]), single([2; 2; 7]), 0);
    assert(nnz(counts) == 2 && counts(2, 3) == 2 && counts(301, 8) == 1);
    [counts, levels] = dotMosaic(512, 512, single([1.5; 300]), single([2; 7]), 1);
    assert(nnz(counts) == 2 && nnz(levels) == 2 && max(levels(:)) == 1023);
    assert(~any(userCache(:)));
  end
  x = mod((1:20000)', 100);
  y = mod(3 * (1:20000)', 150);
  [boxes, cornerX, cornerY] = boxGather(x, y, 0 * x, 1, single(ones(100, 150)));
  assert(isequal(cornerX, single(x)) && isequal(cornerY, single(y)) && all(boxes(:) == 1));
  assert(~any(userCache(:)));
  assert(zerosCalls == 0 && builtinCalls == 0, 'a function of the user''s was called');
end

function unshadow(shadows, state)
  rmpath(shadows);
  clear zeros builtin
  warning(state);
end

function recordingRewrittenDuringReads(folder, environment, seconds)
  frames = uint16(reshape(mod(0:4 * 1024 * 1024 - 1, 65521), 1024, 1024, 4));
  source = fullfile(folder, 'source.rec');
  writeRecording(source, frames);
  file = fullfile(folder, 'rewritten.rec');
  copyfile(source, file);
  % Another program rewrites the recording in place (truncate, then write) until told to stop,
  % or until the recording is gone; told to stop however this test ends.
  stop = fullfile(folder, 'stop');
  stopped = fullfile(folder, 'stopped');
  for leftover = {stop, stopped}  % from an earlier pass
    if exist(leftover{1}, 'file')
      delete(leftover{1});
    end
  end
  system(sprintf(['(while [ -e "%s" ] && [ ! -e "%s" ]; do cp "%s" "%s"; done; ' ...
                  'touch "%s") > /dev/null 2>&1 &'], source, stop, source, file, stopped));
  stopRewriting = onCleanup(@() stopAndWait(stop, stopped));
  output = runChild('rewritten', folder, seconds, environment);
  clear stopRewriting
  % Every line is a read that did not happen, said the way the module says it.
  lines = strsplit(strtrim(output), "\n");
  allowed = ['^(DCIMG_ERR=0x8000010[23] @ dcimg_(open|lockframe)|frameFetch: the recording ' ...
             'changed or could not be read while frame 3 was copied|\d+ reads, \d+ frames|survived)$'];
  unexpected = lines(cellfun(@isempty, regexp(lines, allowed, 'once')));
  assert(isempty(unexpected), sprintf('unexpected output: %s', strjoin(unexpected, ' | ')));
  reads = str2double(regexp(output, '(\d+) reads', 'tokens', 'once'){1});
  assert(reads > 100, sprintf('only %d reads', reads));
end

function stopAndWait(stop, stopped)
  fclose(fopen(stop, 'w'));
  while ~exist(stopped, 'file')
    pause(0.05);
  end
end

function moduleUnloadedAndReloaded(folder)
  writeRecording(fullfile(folder, 'unloaded.rec'), uint16(ones(512, 512, 8)));
  runChild('unloaded', folder, 0, '');
end

function threadsThatCannotStart(folder, hostileLibrary)
  writeRecording(fullfile(folder, 'large.rec'), ...
                 uint16(reshape(mod(0:4096 * 4096 - 1, 65521), 4096, 4096)));
  runChild('noThreads', folder, 0, sprintf('LD_PRELOAD="%s" FAIL_THREADS_AFTER=.mex', ...
                                          hostileLibrary));
end

function outputsBeyondTheMemoryLimit(folder)
  % A session that may take what it takes to start and 400 MB more.
  octave = fullfile(OCTAVE_HOME(), 'bin', 'octave-cli');
  [status, start] = system([octave ' --no-history -q --eval ' ...
                            '"s = fileread(''/proc/self/status''); ' ...
                            'disp(s(strfind(s, ''VmSize:'') + 7:end))"']);
  assert(status, 0, start);
  runChild('outOfMemory', folder, 0, sprintf('ulimit -v %d;', sscanf(start, '%d') + 400 * 1024));
end

function writeText(file, lines)
  fid = fopen(file, 'w');
  fprintf(fid, '%s\n', lines{:});
  fclose(fid);
end
