function buildToolbox(outDir, vendorLibrary)
  % buildToolbox(outDir)  Builds the toolbox from these sources inside MATLAB or Octave.
  %
  % Compiles dotMosaic, boxGather and frameFetch with the host's own compiler (mex in MATLAB
  % on Windows, macOS or Linux; mkoctfile --mex in Octave) from the same sources and with the
  % same options as the CMake build, and puts them with their help files and writeRecording
  % into the folder outDir (default: ./toolbox), ready for addpath. frameFetch gets the
  % stand-in recording library compiled into it, which reads recordings written by
  % writeRecording.
  %
  % buildToolbox(outDir, vendorLibrary) links frameFetch against the camera maker's library
  % instead, given as the path of its import or shared library (dcimgapi.lib on Windows,
  % libdcimgapi.so elsewhere); put the library's DLL or shared object where the host finds it.
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
  root = fileparts(mfilename('fullpath'));
  if ~exist(outDir, 'dir')
    mkdir(outDir);
  end
  src = @(varargin) fullfile(root, varargin{:});
  gateway = {src('gateway', 'gateway.cpp'), src('gateway', 'parallel.cpp')};
  if isOctave()
    % What only Octave's own headers can tell about the arrays it hands over.
    gateway{end + 1} = src('gateway', 'octave_arrays.cpp');
  end
  includes = {['-I' src('gateway')], ['-I' src('dotMosaic')], ['-I' src('boxGather')], ...
              ['-I' src('frameFetch')], ['-I' src('frameFetch', 'standin_dcimgapi')]};

  compileModule(outDir, 'dotMosaic', [{src('dotMosaic', 'dotMosaic.cpp'), ...
                                       src('dotMosaic', 'mosaic.cpp')}, gateway], includes, {});
  compileModule(outDir, 'boxGather', [{src('boxGather', 'boxGather.cpp'), ...
                                       src('boxGather', 'boxes.cpp')}, gateway], includes, {});
  frameSources = [{src('frameFetch', 'frameFetch.cpp'), src('frameFetch', 'recording.cpp'), ...
                   src('frameFetch', 'guarded_copy.cpp')}, ...
                  gateway];
  if isempty(vendorLibrary)
    frameSources = [frameSources, {src('frameFetch', 'standin_dcimgapi', 'dcimgapi.cpp'), ...
                                   src('frameFetch', 'standin_dcimgapi', 'mapped_file.cpp')}];
    compileModule(outDir, 'frameFetch', frameSources, [includes, {'-DDCIMGAPI_STATIC'}], {});
    copyfile(src('frameFetch', 'standin_dcimgapi', 'writeRecording.m'), outDir);
  else
    compileModule(outDir, 'frameFetch', frameSources, includes, {vendorLibrary});
  end
  for name = {'dotMosaic', 'boxGather', 'frameFetch'}
    copyfile(src(name{1}, [name{1} '.m']), outDir);
  end
  fprintf('Built the toolbox in %s\n', outDir);
end

function compileModule(outDir, name, sources, flags, libraries)
  fprintf('Building %s\n', name);
  if isOctave()
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
    % MATLAB's 32-bit dimension interface, as the CMake build uses it.
    if ispc() && ~isempty(strfind(lower(compilerName()), 'microsoft'))
      options = {'COMPFLAGS=$COMPFLAGS /std:c++17 /O2'};
    else
      options = {'CXXFLAGS=$CXXFLAGS -std=c++17 -O3 -ffp-contract=off -fvisibility=hidden', ...
                 'LDFLAGS=$LDFLAGS -pthread'};
    end
    mex('-R2017b', '-DMX_COMPAT_32', '-DGATEWAY_MATLAB', options{:}, flags{:}, ...
        '-outdir', outDir, '-output', name, sources{:}, libraries{:});
  end
end

function name = compilerName()
  config = mex.getCompilerConfigurations('C++', 'Selected');
  name = '';
  if ~isempty(config)
    name = config(1).Name;
  end
end

function answer = isOctave()
  answer = exist('OCTAVE_VERSION', 'builtin') ~= 0;
end
