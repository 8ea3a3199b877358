function mex(varargin)
  % mex(options, files)  Stand-in for MATLAB's mex command, for the MATLAB-route tests in
  % Octave: turns its options into compiler flags as MATLAB documents them and builds a
  % .mexa64 module against the MATLAB root in $STANDIN_MATLAB_ROOT (ours, made of the
  % stand-in host), with warnings as errors. Like mex, it adds the root's version-symbol
  % source to every module and exports only mexFunction and that symbol.
  %   -R2017b               MX_COMPAT_64, MATLAB_MEXCMD_RELEASE=R2017b
  %   -R2018a               the same for R2018a, and interleaved complex
  %   -compatibleArrayDims  MX_COMPAT_32
  %   -largeArrayDims       MX_COMPAT_64
  %   -Dname, -Ifolder, -Lfolder, -llibrary, -outdir folder, -output name, NAME=value
  root = getenv('STANDIN_MATLAB_ROOT');
  flags = {'-DMATLAB_MEX_FILE', ['-I' root '/extern/include']};
  variables = struct('CXXFLAGS', '-fexceptions -fPIC -fno-omit-frame-pointer -pthread', ...
                     'LDFLAGS', '-pthread -shared -Wl,--no-undefined');
  sources = {};
  libraries = {};
  outdir = pwd();
  output = '';
  k = 1;
  while k <= nargin
    option = varargin{k};
    switch option
      case '-R2017b'
        flags = [flags, {'-DMX_COMPAT_64', '-DMATLAB_MEXCMD_RELEASE=R2017b'}];
      case '-R2018a'
        flags = [flags, {'-DMX_COMPAT_64', '-DMATLAB_MEXCMD_RELEASE=R2018a', ...
                         '-DMX_HAS_INTERLEAVED_COMPLEX=1'}];
      case '-compatibleArrayDims'
        flags{end + 1} = '-DMX_COMPAT_32';
      case '-largeArrayDims'
        flags{end + 1} = '-DMX_COMPAT_64';
      case {'-outdir', '-output'}
        k = k + 1;
        if strcmp(option, '-outdir')
          outdir = varargin{k};
        else
          output = varargin{k};
        end
      otherwise
        setting = regexp(option, '^([A-Z]+)=(.*)$', 'tokens', 'once');
        if ~isempty(setting)
          % NAME=value, where $NAME stands for the value so far.
          variables.(setting{1}) = strrep(setting{2}, ['$' setting{1}], ...
                                          getfield(variables, setting{1}));
        elseif any(strncmp(option, {'-D', '-I'}, 2))
          flags{end + 1} = option;
        elseif any(strncmp(option, {'-L', '-l'}, 2)) || ~isempty(regexp(option, '\.(so|a|lib)$'))
          libraries{end + 1} = option;
        elseif ~isempty(regexp(option, '\.(c|cc|cpp)$', 'once'))
          sources{end + 1} = option;
        else
          error('mex:unknownOption', 'unknown mex option %s', option);
        end
    end
    k = k + 1;
  end
  sources{end + 1} = fullfile(root, 'extern', 'version', 'cpp_mexapi_version.cpp');
  if isempty(output)
    [~, output] = fileparts(sources{1});
  end
  % The objects go whether the build succeeds or not: a failed build leaves nothing behind.
  objects = {};
  try
    for k = 1:numel(sources)
      objects{k} = [tempname() '.o'];
      run(sprintf('g++ -c %s -Wall -Wextra -Werror %s "%s" -o "%s"', variables.CXXFLAGS, ...
                  strjoin(quoted(flags), ' '), sources{k}, objects{k}));
    end
    run(sprintf('g++ %s -o "%s" %s -Wl,--version-script,"%s" -L"%s" -lmx -lmex %s', ...
                variables.LDFLAGS, fullfile(outdir, [output '.mexa64']), ...
                strjoin(quoted(objects), ' '), ...
                fullfile(root, 'extern', 'lib', 'glnxa64', 'c_exportsmexfileversion.map'), ...
                fullfile(root, 'bin', 'glnxa64'), strjoin(quoted(libraries), ' ')));
  catch failure
    removeObjects(objects);
    rethrow(failure);
  end
  removeObjects(objects);
end

function removeObjects(objects)
  made = objects(cellfun(@(name) exist(name, 'file') == 2, objects));
  cellfun(@delete, made);
end

function run(command)
  [status, output] = system([command ' 2>&1']);
  if status ~= 0
    error('mex:failed', '%s\n%s', command, output);
  end
end

function items = quoted(items)
  items = cellfun(@(item) ['"' item '"'], items, 'UniformOutput', false);
end
