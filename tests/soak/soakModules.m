function soakModules(calls)
  % soakModules(calls)  Calls the installed modules `calls` times in one session with random
  % valid and invalid arguments (invalid ones inside try/catch), then reports how much the
  % resident memory grew and whether a file descriptor was left open. Fails on growth above
  % 2 MiB or on any descriptor left open.
  rand('seed', 42);
  folder = tempname();
  mkdir(folder);
  cleanup = onCleanup(@() removeFolder(folder));
  recording = fullfile(folder, 'soak.rec');
  writeRecording(recording, uint16(randi(65535, 17, 9, 5)));
  damaged = fullfile(folder, 'damaged.rec');
  fid = fopen(damaged, 'w');
  fwrite(fid, uint8('FRAMEREC'));
  fclose(fid);
  paths = {recording, damaged, fullfile(folder, 'missing.rec'), folder};
  stack = single(rand(20, 16, 4));

  warmUp = min(2000, calls);
  runCalls(warmUp, paths, stack);
  memoryBefore = residentKb();
  filesBefore = openFiles();
  [errors, printed] = runCalls(calls, paths, stack);
  growthKb = residentKb() - memoryBefore;
  filesAfter = openFiles();
  printf('soak: %d calls (%d raised errors, %d printed lines), resident memory %+d KiB, open files %d -> %d\n', ...
         calls, errors, printed, growthKb, filesBefore, filesAfter);
  if growthKb > 2048
    error('soak:MemoryGrowth', 'resident memory grew by %d KiB', growthKb);
  end
  if filesAfter > filesBefore
    error('soak:FileLeft', '%d file descriptors left open', filesAfter - filesBefore);
  end
end

function [errors, printed] = runCalls(calls, paths, stack)
  errors = 0;
  printed = 0;
  for k = 1:calls
    try
      switch mod(k, 6)
        case 3
          boxes = pick({stack(1:7, 1:7, :), double(stack(1:5, 1:5, 1)) * 100, zeros(3, 3, 0), ...
                        oddValue()});
          args = {boxes, pick({1.3, 0.5, 5, 8, NaN}), pick({0, 1, true, 'x'}), ...
                  pick({0, 2.25, single(rand(size(boxes))), -1, oddValue()})};
          [a, b, c, d] = spotFit(args{maybeDrop(3 + (rand() < 0.5))});
        case 5
          regions = pick({stack(1:9, 1:9, :) * 300, double(stack(1:5, 1:5, 1)) * 100, ...
                          zeros(3, 3, 0), oddValue()});
          n = randi(4) - 1;
          starts = [randi(size(regions, 3) + 1, n, 1), 4 * rand(n, 2)];
          args = {regions, pick({starts, zeros(0, 3), [1 2], oddValue()}), ...
                  pick({1.3, 0.5, 5, 10, NaN}), pick({0, 2.25, single(rand(size(regions))), -1})};
          [a, b, c, d] = crowdFit(args{maybeDrop(3 + (rand() < 0.5))});
        case 4
          pixels = pick({stack, uint16(stack * 1000), stack(:, :, 1), oddValue()});
          args = {pixels, pick({1.3, 0.7, 20, 21}), pick({0.1, -Inf, NaN, 2})};
          [a, b, c, d] = spotFind(args{maybeDrop(3)});
        case 0
          args = {size1(), size1(), points(), points(), pick({0, 1, -2, 0.5})};
          [a, b] = dotMosaic(args{maybeDrop(5)});
        case 1
          n = randi(6);
          args = {coord(n), coord(n), frames(n, size(stack, 3)), pick({3, 1, 4, 7}), stack};
          [a, b, c] = boxGather(args{maybeDrop(5)});
        case 2
          args = {pick({0, 1, 4, 2.7, -1, 1e10}), pick(paths)};
          if rand() < 0.1
            args{randi(2)} = oddValue();
          end
          text = evalc('[a, b] = frameFetch(args{maybeDrop(2)});');
          printed = printed + numel(strfind(text, sprintf('\n')));
      end
    catch
      errors = errors + 1;
    end
  end
end

% Mostly the expected kind, sometimes something no module accepts.
function value = size1()
  if rand() < 0.1
    value = oddValue();
  else
    value = randi(40);
  end
end

function value = points()
  if rand() < 0.1
    value = oddValue();
  else
    value = single(rand(randi(50), 1) * 50 - 5);
  end
end

function value = coord(n)
  if rand() < 0.05
    value = oddValue();
  else
    value = rand(n, 1) * 24 - 2;
  end
end

function value = frames(n, count)
  if rand() < 0.05
    value = oddValue();
  else
    value = floor(rand(n, 1) * count);
  end
end

function value = oddValue()
  value = pick({[], {}, struct('a', 1), @sin, 'text', 1 + 2i, NaN, Inf, -Inf, int8(-3), ...
                true, zeros(2, 2, 2), single([1 2 3]), uint64(2)^60, -0, 3e9, char(0)});
end

function value = pick(choices)
  value = choices{randi(numel(choices))};
end

% The argument indices to pass: all of them, or sometimes one fewer or one more.
function list = maybeDrop(count)
  list = 1:count;
  r = rand();
  if r < 0.03
    list = 1:count - 1;
  elseif r < 0.06
    list = [1:count count];
  end
end

function kb = residentKb()
  text = fileread('/proc/self/status');
  kb = str2double(regexp(text, 'VmRSS:\s*(\d+)', 'tokens', 'once'){1});
end

function count = openFiles()
  count = numel(readdir('/proc/self/fd'));
end

function removeFolder(folder)
  confirm_recursive_rmdir(false, 'local');
  rmdir(folder, 's');
end
