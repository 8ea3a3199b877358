function survivalScenario(name, folder, seconds)
  % survivalScenario(name, folder, seconds)  One of test_survival's scenarios, run in an Octave
  % session of its own so that a crash shows as its exit status. Prints a last line "survived"
  % when everything it checks held.
  switch name
    case 'rewritten'
      readWhileRewritten(folder, seconds);
    case 'unloaded'
      unloadAndReload(folder);
    case 'noThreads'
      threadsThatCannotStart(folder);
    case 'outOfMemory'
      outputsBeyondTheMemoryLimit();
  end
  disp('survived');
end

function readWhileRewritten(folder, seconds)
  % Another process truncates and rewrites the recording all along; every read either returns
  % a whole frame or prints why it did not.
  file = fullfile(folder, 'rewritten.rec');
  reads = 0;
  frames = 0;
  started = tic();
  while toc(started) < seconds
    [frame, count] = frameFetch(3, file);
    reads = reads + 1;
    if ~isempty(frame)
      assert(size(frame), [1024 1024]);
      assert(class(frame), 'uint16');
      frames = frames + 1;
    end
  end
  printf('%d reads, %d frames\n', reads, frames);
end

function unloadAndReload(folder)
  % Every way of unloading the module releases the recording it read last; so does the next
  % read of any path after the recording was deleted.
  file = fullfile(folder, 'unloaded.rec');
  ways = {'clear frameFetch', 'clear functions', 'clear all', 'clear -f'};
  for k = 1:24
    frameFetch(0, file);
    evalin('base', ways{mod(k, 4) + 1});
    assert(mappingsOf(file) == 0, 'still mapped after %s', ways{mod(k, 4) + 1});
  end
  % As the help says: a deleted recording is held until frameFetch is next called or cleared.
  copy = fullfile(folder, 'deleted.rec');
  copyfile(file, copy);
  frameFetch(0, copy);
  delete(copy);
  assert(mappingsOf(copy), 1);
  clear frameFetch
  assert(mappingsOf(copy) == 0, 'a deleted recording stays mapped after clear frameFetch');
  frameFetch(0, file);
  assert(mappingsOf(file), 1);
  delete(file);
  frameFetch(0, fullfile(folder, 'missing.rec'));
  assert(mappingsOf(file) == 0, 'a deleted recording stays mapped');
end

function outputsBeyondTheMemoryLimit()
  % Under a memory limit, outputs that do not fit are each module's OutOfMemory error.
  boxes = zeros(3, 3, 6e6, 'single');  % 216 MB, whose fits take 480 MB
  expectOutOfMemory(@() spotFit(boxes, 1), 'spotFit:OutOfMemory');
  clear boxes
  expectOutOfMemory(@() dotMosaic(20000, 20000, single(0), single(0), 0), ...
                    'dotMosaic:OutOfMemory');
  x = 7 * ones(1e6, 1);  % a million boxes of 15x15: 900 MB
  expectOutOfMemory(@() boxGather(x, x, 0 * x, 15, zeros(15, 15, 'single')), ...
                    'boxGather:OutOfMemory');
end

function expectOutOfMemory(call, identifier)
  try
    call();
  catch err
    assert(err.identifier, identifier);
    return;
  end
  error('survivalScenario:noError', 'expected %s', identifier);
end

function count = mappingsOf(file)
  count = numel(strfind(fileread('/proc/self/maps'), file));
end

function threadsThatCannotStart(folder)
  % No thread a module starts can start: the work runs on the caller and gives what one thread
  % gives.
  rand('seed', 5);
  x = single(64 * rand(4e6, 1));
  y = single(64 * rand(4e6, 1));
  stack = single(rand(256, 256, 20));
  px = 256 * rand(2e5, 1);
  py = 256 * rand(2e5, 1);
  pz = floor(20 * rand(2e5, 1));
  file = fullfile(folder, 'large.rec');
  setenv('SPOT_THREADS', '');
  counts = dotMosaic(64, 64, x, y, 0);
  boxes = boxGather(px, py, pz, 7, stack);
  frame = frameFetch(0, file);
  setenv('SPOT_THREADS', '1');
  assert(isequal(counts, dotMosaic(64, 64, x, y, 0)));
  assert(isequal(boxes, boxGather(px, py, pz, 7, stack)));
  assert(isequal(frame, frameFetch(0, file)));
  assert(size(frame), [4096 4096]);
end
