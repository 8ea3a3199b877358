function buildToolbox(outDir, vendorLibrary, builder)
  % buildToolbox(outDir)  Builds the toolbox from these sources inside MATLAB or Octave.
  %
  % Compiles the five modules with the host's own compiler (mex in MATLAB
  % on Windows, macOS or Linux; mkoctfile --mex in Octave) from the same sources and with the
  % same options as the CMake build, and puts them with their help files, writeRecording and
  % the M functions of the pipeline (localiseRecording) into the folder outDir (default:
  % ./toolbox), ready for addpath. frameFetch gets the
  % stand-in recording library compiled into it, which reads recordings written by
  % writeRecording.
  %
  % buildToolbox(outDir, vendorLibrary) links frameFetch against the camera maker's library
  % instead, given as the path of its import or shared library (dcimgapi.lib on Windows,
  % libdcimgapi.so elsewhere); put the library's DLL or shared object where the host finds it.
  %
  % buildToolbox(outDir, vendorLibrary, builder) names the compiler command: 'mex' (MATLAB's,
  % the default in MATLAB) or 'mkoctfile' (the default in Octave). The modules of 'mex' are
  % MATLAB's, built with its R2017b interface (mex -R2017b): 64-bit dimensions, so that
  % arrays of more than 2^31 elements can be passed.
  %
  % Example
  %   buildToolbox(fullfile(pwd, 'toolbox'));
  %   addpath(fullfile(pwd, 'toolbox'));
  %   dotMosaic(4, 4, single([0.5; 2.5]), single([1; 3]), 0)
  if nargin < 1 || isempty(outDir)
    outDir = fullfile(pwd, 'toolbox');
  end
  if nargin < 2
    vendorLibrary = '';
  end
  if nargin < 3
    builder = 'mex';
    if exist('OCTAVE_VERSION', 'builtin') ~= 0
      builder = 'mkoctfile';
    end
  end
  if ~any(strcmp(builder, {'mex', 'mkoctfile'}))
    error('buildToolbox:UnknownBuilder', 'builder must be ''mex'' or ''mkoctfile''.');
  end
  root = fileparts(mfilename('fullpath'));
  if ~exist(outDir, 'dir')
    mkdir(outDir);
  end
  src = @(varargin) fullfile(root, varargin{:});
  gateway = {src('gateway', 'gateway.cpp'), src('gateway', 'parallel.cpp')};
  if strcmp(builder, 'mkoctfile')
    % What only Octave's own headers can tell about the arrays it hands over.
    gateway{end + 1} = src('gateway', 'octave_arrays.cpp');
  end
  includes = {['-I' src('gateway')], ['-I' src('dotMosaic')], ['-I' src('boxGather')], ...
              ['-I' src('frameFetch')], ['-I' src('frameFetch', 'standin_dcimgapi')], ...
              ['-I' src('fitting')], ['-I' src('spotFit')], ['-I' src('spotFind')], ...
              ['-I' src('crowdFit')]};
  build = @(name, sources, flags, libraries) ...
      compileModule(builder, outDir, name, sources, [includes, flags], libraries);

  build('dotMosaic', [{src('dotMosaic', 'dotMosaic.cpp'), src('dotMosaic', 'mosaic.cpp')}, ...
                      gateway], {}, {});
  build('boxGather', [{src('boxGather', 'boxGather.cpp'), src('boxGather', 'boxes.cpp')}, ...
                      gateway], {}, {});
  build('spotFit', [{src('spotFit', 'spotFit.cpp'), src('spotFit', 'fit.cpp'), ...
                    src('fitting', 'psf.cpp'), src('fitting', 'depth.cpp')}, gateway], {}, {});
  build('spotFind', [{src('spotFind', 'spotFind.cpp'), src('spotFind', 'find.cpp')}, gateway], ...
        {}, {});
  build('crowdFit', [{src('crowdFit', 'crowdFit.cpp'), src('crowdFit', 'crowd.cpp'), ...
                     src('fitting', 'psf.cpp'), src('fitting', 'depth.cpp')}, gateway], {}, {});
  frameSources = [{src('frameFetch', 'frameFetch.cpp'), src('frameFetch', 'recording.cpp'), ...
                   src('frameFetch', 'guarded_copy.cpp')}, gateway];
  if isempty(vendorLibrary)
    frameSources = [frameSources, {src('frameFetch', 'standin_dcimgapi', 'dcimgapi.cpp'), ...
                                   src('frameFetch', 'standin_dcimgapi', 'mapped_file.cpp')}];
    build('frameFetch', frameSources, {'-DDCIMGAPI_STATIC', '-DDCIMGAPI_TAKES_UTF8'}, {});
    copyInto(src('frameFetch', 'standin_dcimgapi', 'writeRecording.m'), outDir);
  else
    build('frameFetch', frameSources, {}, {vendorLibrary});
  end
  for name = {'dotMosaic', 'boxGather', 'frameFetch', 'spotFit', 'spotFind', 'crowdFit'}
    copyInto(src(name{1}, [name{1} '.m']), outDir);
  end
  % The M functions that chain the modules.
  pipeline = dir(src('pipeline', '*.m'));
  for k = 1:numel(pipeline)
    copyInto(src('pipeline', pipeline(k).name), outDir);
  end
  copyInto(src('LICENSE'), outDir);
  fprintf('Built the toolbox in %s\n', outDir);
end

function compileModule(builder, outDir, name, sources, flags, libraries)
  fprintf('Building %s\n', name);
  if strcmp(builder, 'mkoctfile')
    % The options of the CMake build; mkoctfile takes them from CXXFLAGS.
    options = ['-std=c++17 -O3 -DNDEBUG -ffp-contract=off -fvisibility=hidden -fPIC ' ...
               '-Wall -Wextra -Wpedantic -pthread'];
    saved = getenv('CXXFLAGS');
    setenv('CXXFLAGS', options);
    cleanup = onCleanup(@() setenv('CXXFLAGS', saved));
    [output, status] = mkoctfile('--mex', '-o', fullfile(outDir, [name '.mex']), ...
                                 '-DGATEWAY_OCTAVE', flags{:}, sources{:}, libraries{:}, ...
                                 '-pthread');
    if status ~= 0
      error('buildToolbox:CompileFailed', 'building %s failed:\n%s', name, output);
    end
  else
    % MATLAB's R2017b interface, as the CMake build uses it. Nothing is hidden here: mex adds
    % a version symbol of no visibility of its own to every module, and exports only it and
    % mexFunction.
    if ispc() && ~isempty(strfind(lower(compilerName()), 'microsoft'))
      options = {'COMPFLAGS=$COMPFLAGS /std:c++17 /O2'};
    else
      options = {'CXXFLAGS=$CXXFLAGS -std=c++17 -O3 -ffp-contract=off', ...
                 'LDFLAGS=$LDFLAGS -pthread'};
    end
    mex('-R2017b', '-DGATEWAY_MATLAB', options{:}, flags{:}, '-outdir', outDir, ...
        '-output', name, sources{:}, libraries{:});
  end
end

% Copies a file into a folder by its bytes: Octave's copyfile hands both names to a shell, and
% the folder is the user's to name.
function copyInto(source, folder)
  [~, name, extension] = fileparts(source);
  target = fullfile(folder, [name extension]);
  in = fopen(source, 'r');
  if in < 0
    error('buildToolbox:CannotCopy', 'cannot read %s.', source);
  end
  bytes = fread(in, Inf, '*uint8');
  fclose(in);
  out = fopen(target, 'w');
  if out < 0
    error('buildToolbox:CannotCopy', 'cannot write %s.', target);
  end
  written = fwrite(out, bytes, 'uint8');
  if fclose(out) ~= 0 || written ~= numel(bytes)
    error('buildToolbox:CannotCopy', 'cannot write %s.', target);
  end
end

function name = compilerName()
  config = mex.getCompilerConfigurations('C++', 'Selected');
  name = '';
  if ~isempty(config)
    name = config(1).Name;
  end
end
