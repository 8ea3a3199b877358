function checkMatlabSyntax(varargin)
  % checkMatlabSyntax(folderOrFile, ...)  Fails when an M file given, or one in a folder given,
  % holds syntax only Octave reads. First checks that the search finds each such construct
  % of a sample, and nothing in the MATLAB forms beside them.
  here = fileparts(mfilename('fullpath'));
  [folder, cleanup] = scratch();
  sample = fullfile(folder, 'sample.m');
  bad = {'x += 1;', 'if a != b, end', '# a comment', 'y = size(x)(1);', 'z = [1 2](2);', ...
         'printf(''%d\n'', 3);', 's = "text";', 'endif', 'k++;', 'a = 2 ** 3;', ...
         'unwind_protect', 'q = !a;', 'n = rows(x);'};
  good = {'x = x + 1;  % a comment with # and != and "quotes" and ++', 'y = size(x, 1);', ...
          'f = @(t) (t + 1);', 'g = @(t)(t(1));', 's = c{1}(2);', 'msg = ''it''''s # not'';', ...
          'fprintf(''%s\n'', a'');', 'b = [a'' c''];', 'v = x.'';', 'w = s(1).field;', ...
          'e = {''a'', ''#b''};', 'h = x ~= y;'};
  fid = fopen(sample, 'w');
  fprintf(fid, '%s\n', bad{:}, good{:});
  fclose(fid);
  found = matlabSyntaxProblems(sample);
  lines = cellfun(@(p) str2double(regexp(p, ':(\d+):', 'tokens', 'once'){1}), found);
  assert(isequal(unique(lines), 1:numel(bad)), ...
         sprintf('the check finds lines %s of the sample, not 1 to %d', mat2str(unique(lines)), ...
                 numel(bad)));

  files = {};
  for k = 1:nargin
    if exist(varargin{k}, 'dir')
      listed = dir(fullfile(varargin{k}, '*.m'));
      files = [files, cellfun(@(name) fullfile(varargin{k}, name), {listed.name}, ...
                              'UniformOutput', false)];
    else
      files{end + 1} = varargin{k};
    end
  end
  problems = {};
  for k = 1:numel(files)
    problems = [problems, matlabSyntaxProblems(files{k})];
  end
  assert(isempty(problems), sprintf('syntax MATLAB does not read:\n%s', strjoin(problems, "\n")));
  printf('checkMatlabSyntax: %d files read as MATLAB reads them\n', numel(files));
end

function [folder, cleanup] = scratch()
  folder = tempname();
  mkdir(folder);
  cleanup = onCleanup(@() confirmAndRemove(folder));
end

function confirmAndRemove(folder)
  confirm_recursive_rmdir(false, 'local');
  rmdir(folder, 's');
end
