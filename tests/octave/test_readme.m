function test_readme(readme)
  % The README's examples of using the toolbox run as they are printed, in one session, in a
  % folder of their own with a recording in it, and leave nothing behind there or in the
  % temporary folder. Figures are drawn off screen. The temporary folder is the test's own,
  % so that what a failing example made goes with it.
  text = fileread(readme);
  section = regexp(text, '## Using the toolbox(.*?)\n## ', 'tokens', 'once'){1};
  blocks = regexp(section, '```matlab\n(.*?)```', 'tokens');
  assert(numel(blocks) >= 3, 'the README''s examples were not found');
  [folder, cleanup] = scratchFolder();
  here = pwd();
  back = onCleanup(@() cd(here));
  cd(folder);
  writeRecording('cells.rec', uint16(100 + 20 * ones(32, 32, 3)));
  % Where Octave has nothing to draw with (a root without graphics), the drawing calls do
  % nothing: what is tested is the rest.
  if isempty(available_graphics_toolkits())
    [drawing, removeDrawing] = scratchFolder();
    for name = {'imagesc', 'axis', 'colormap'}
      fid = fopen(fullfile(drawing, [name{1} '.m']), 'w');
      fprintf(fid, 'function varargout = %s(varargin)\n  varargout = cell(1, nargout);\nend\n', ...
              name{1});
      fclose(fid);
    end
    addpath(drawing);
    unshadow = onCleanup(@() rmpath(drawing));
  end
  visible = get(0, 'defaultfigurevisible');
  set(0, 'defaultfigurevisible', 'off');
  restore = onCleanup(@() set(0, 'defaultfigurevisible', visible));
  outside = getenv('TMPDIR');
  setenv('TMPDIR', folder);
  restoreTemporary = onCleanup(@() restoreVariable('TMPDIR', outside));
  for k = 1:numel(blocks)
    try
      evalin('base', blocks{k}{1});
    catch err
      error('test_readme:Failed', 'the README''s example %d failed: %s', k, err.message);
    end
  end
  close all;
  left = dir(folder);
  left = setdiff({left.name}, {'.', '..', 'cells.rec'});
  assert(isempty(left), ['the examples left ' strjoin(left, ', ')]);
  % On data that makes sense: about the spots simulated are found and fitted.
  status = evalin('base', 'status');
  assert(sum(status == 0) >= 50, sprintf('only %d spots fitted of 60', sum(status == 0)));
  emitterStatus = evalin('base', 'emitterStatus');
  assert(numel(emitterStatus) >= 3 && all(emitterStatus == 0), 'crowdFit''s example');
  states = evalin('base', 'states');
  miss = evalin('base', 'spots(:, 5) - depths''');
  assert(all(states == 0) && all(abs(miss) < 4 * evalin('base', 'bounds(:, 5)')), ...
         'the depth example');
  fits = evalin('base', 'fits');
  assert(iscell(fits) && numel(fits) == 1);  % the recording of the folder, over processes
  % crowdFit's help as the README prints it is the module's own.
  shown = regexp(text, '<summary>crowdFit</summary>\s*```\n(.*?)\n```', 'tokens', 'once');
  own = regexp(fileread(which('crowdFit.m')), '^(.*?)\n\n% Compiled module', 'tokens', 'once');
  own = regexprep(own{1}, '(^|\n)%', '$1');
  assert(~isempty(shown) && strcmp(shown{1}, own), 'the README''s help of crowdFit is not its own');
  disp('test_readme: all passed');
end

function restoreVariable(name, value)
  if isempty(value)
    unsetenv(name);
  else
    setenv(name, value);
  end
end
