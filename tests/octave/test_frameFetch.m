function test_frameFetch()
  % End-to-end checks of frameFetch and writeRecording in Octave, with the stand-in library.
  [folder, cleanup] = scratchFolder();
  readsFrames(folder);
  libraryFailures(folder);
  argumentErrors(folder);
  manyCallsLeaveNothingBehind(folder);
  threadsGiveTheSerialResult(folder);
  disp('test_frameFetch: all passed');
end

function readsFrames(folder)
  rand('seed', 11);
  frames = uint16(randi(65535, 6, 4, 3));
  file = fullfile(folder, 'small.rec');
  writeRecording(file, frames);
  for k = 0:2
    [frame, count] = frameFetch(k, file);
    assert(frame, frames(:, :, k + 1));
    assert(count, 3);
    assert(class(count), 'double');
  end
  % 2.9 truncates to frame 2; a logical index is a number; one output is fine.
  assert(frameFetch(2.9, file), frames(:, :, 3));
  assert(frameFetch(true, file), frames(:, :, 2));
  assert(frameFetch(int8(0), file), frames(:, :, 1));

  % Padded rows, by an odd and an even number of bytes.
  for padding = [3 8]
    writeRecording(file, frames, padding);
    assert(frameFetch(1, file), frames(:, :, 2));
  end

  % 70000 frames: the full count, not its low 16 bits.
  many = zeros(2, 2, 70000, 'uint16');
  many(1, 2, :) = mod(0:69999, 65536);
  file = fullfile(folder, 'many.rec');
  writeRecording(file, many);
  [frame, count] = frameFetch(69999, file);
  assert(count, 70000);
  assert(frame, uint16([0 4463; 0 0]));

  % A 2048-by-1024 frame: width by height, the first column is the first image row.
  large = uint16(randi(65535, 2048, 1024));
  file = fullfile(folder, 'large.rec');
  writeRecording(file, large);
  frame = frameFetch(0, file);
  assert(size(frame), [2048 1024]);
  assert(isequal(frame, large));
end

function libraryFailures(folder)
  file = fullfile(folder, 'three.rec');
  writeRecording(file, uint16(ones(3, 2, 3)));

  out = evalc('[frame, count] = frameFetch(0, fullfile(folder, ''missing.rec''));');
  assert(out, "DCIMG_ERR=0x80000101 @ dcimg_open\n");
  assert(size(frame), [0 0]);
  assert(class(frame), 'uint16');
  assert(count, 0);

  out = evalc('[frame, count] = frameFetch(3, file);');
  assert(out, "DCIMG_ERR=0x80000104 @ dcimg_lockframe\n");
  assert(size(frame), [0 0]);
  assert(count, 3);
  out = evalc('frameFetch(-1, file);');
  assert(out, "DCIMG_ERR=0x80000104 @ dcimg_lockframe\n");

  % Damaged and cut files.
  damaged = fullfile(folder, 'damaged.rec');
  fid = fopen(damaged, 'w'); fwrite(fid, 'not a recording at all, just words'); fclose(fid);
  out = evalc('[frame, count] = frameFetch(0, damaged);');
  assert(out, "DCIMG_ERR=0x80000102 @ dcimg_open\n");
  assert(count, 0);
  bytes = fileread(file);
  cut = fullfile(folder, 'cut.rec');
  fid = fopen(cut, 'w'); fwrite(fid, bytes(1:end - 1)); fclose(fid);
  out = evalc('frameFetch(0, cut);');
  assert(out, "DCIMG_ERR=0x80000103 @ dcimg_open\n");

  % Rows too short for 16-bit pixels: refused with a line, the count still read.
  narrow = fullfile(folder, 'narrow.rec');
  fid = fopen(narrow, 'w', 'ieee-le');
  fwrite(fid, uint8('FRAMEREC'));
  fwrite(fid, [1 2 5 3 9 0], 'uint32');
  fwrite(fid, zeros(1, 2 * 3 * 9), 'uint8');
  fclose(fid);
  out = evalc('[frame, count] = frameFetch(1, narrow);');
  assert(out, "frameFetch: frame rows of 9 bytes cannot hold 5 16-bit pixels\n");
  assert(size(frame), [0 0]);
  assert(count, 2);
end

function argumentErrors(folder)
  file = fullfile(folder, 'small.rec');
  usage = 'frameFetch: Usage: [frame, frameCount] = frameFetch(frameIndex, path)';
  assertError(@() frameFetch(), 'MATLAB:WrongNumberOfInputs', usage);
  assertError(@() frameFetch(0), 'MATLAB:WrongNumberOfInputs', usage);
  assertError(@() frameFetch(0, file, 1), 'MATLAB:WrongNumberOfInputs', usage);
  assertError(@() frameFetch(0, 5), 'frameFetch:WrongType', ...
              'frameFetch: path must be a character array.');
  assertError(@() frameFetch('a', 5), 'frameFetch:WrongType', ...
              'frameFetch: path must be a character array.');
  indexMessage = 'frameFetch: frameIndex must be a real numeric scalar.';
  assertError(@() frameFetch('1', file), 'frameFetch:WrongType', indexMessage);
  assertError(@() frameFetch([0 1], file), 'frameFetch:WrongType', indexMessage);
  assertError(@() frameFetch([], file), 'frameFetch:WrongType', indexMessage);
  assertError(@() frameFetch({0}, file), 'frameFetch:WrongType', indexMessage);
  assertError(@() frameFetch(1i, file), 'frameFetch:WrongType', indexMessage);
  assertError(@() frameFetch(NaN, file), 'frameFetch:WrongType', ...
              'frameFetch: frameIndex must be finite.');
  assertError(@() frameFetch(0, [file char(0) 'junk']), 'frameFetch:WrongType', ...
              'frameFetch: path must not contain a NUL character.');
  assertError(@() frameFetch(0, [file; file]), 'frameFetch:WrongType', ...
              'frameFetch: path must be a single row of characters.');
  % A named pipe is refused at once rather than waited on.
  pipe = fullfile(folder, 'pipe.rec');
  assert(system(['mkfifo ' pipe]), 0);
  [frame, count] = frameFetch(0, pipe);
  assert(isempty(frame) && count == 0);
  assertError(@() writeRecording(fullfile(folder, 'x.rec'), ones(2)), 'writeRecording:WrongType');
end

function manyCallsLeaveNothingBehind(folder)
  file = fullfile(folder, 'repeat.rec');
  writeRecording(file, uint16(magic(8)));
  missing = fullfile(folder, 'missing.rec');
  for k = 1:500
    frameFetch(0, file);
  end
  files = numel(readdir('/proc/self/fd'));
  memory = residentKb();
  for k = 1:20000
    frame = frameFetch(0, file);
  end
  evalc('for k = 1:2000, frameFetch(0, missing); frameFetch(5, file); end');
  assert(numel(readdir('/proc/self/fd')), files);
  grown = residentKb() - memory;
  % A leak of the array's own placeholder would be about 1.5 MB here.
  assert(grown < 1000, sprintf('memory grew by %d kB over 24000 calls', grown));
  assert(frame, uint16(magic(8)));
end

function threadsGiveTheSerialResult(folder)
  % A 4096-by-4096 frame is copied on several threads.
  file = fullfile(folder, 'threads.rec');
  writeRecording(file, uint16(reshape(mod(0:4096 * 4096 * 2 - 1, 65521), 4096, 4096, 2)));
  frame = withThreads('4', @() frameFetch(1, file));
  assert(isequal(frame, withThreads('1', @() frameFetch(1, file))));
  assert(frame(1, 1) == mod(4096 * 4096, 65521));
end

function kb = residentKb()
  status = fileread('/proc/self/status');
  kb = str2double(regexp(status, 'VmRSS:\s*(\d+)', 'tokens', 'once'){1});
end
