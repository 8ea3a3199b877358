# Finds the hosts the modules can be built for. The stand-in host is always built; Octave and
# MATLAB are used when present.

set(OCTAVE_INCLUDE_DIR "")
if(CMAKE_CROSSCOMPILING)
    # This machine's Octave and MATLAB are not the target's.
    set(WITH_OCTAVE OFF)
    set(WITH_MATLAB OFF)
endif()
if(WITH_OCTAVE)
    find_program(MKOCTFILE_EXECUTABLE mkoctfile)
    find_program(OCTAVE_EXECUTABLE octave)
    if(MKOCTFILE_EXECUTABLE)
        execute_process(COMMAND "${MKOCTFILE_EXECUTABLE}" -p OCTINCLUDEDIR
                        OUTPUT_VARIABLE OCTAVE_INCLUDE_DIR OUTPUT_STRIP_TRAILING_WHITESPACE
                        ERROR_QUIET)
    endif()
    if(OCTAVE_INCLUDE_DIR AND EXISTS "${OCTAVE_INCLUDE_DIR}/mex.h")
        message(STATUS "Octave MEX headers: ${OCTAVE_INCLUDE_DIR}")
    else()
        set(OCTAVE_INCLUDE_DIR "")
        message(STATUS "Octave MEX headers not found: no Octave modules")
    endif()
endif()

set(Matlab_FOUND FALSE)
if(WITH_MATLAB)
    # A MATLAB named on the command line must be there: a build without its modules would
    # succeed and install only help files.
    set(MATLAB_ASKED_FOR "${Matlab_ROOT_DIR}")
    find_package(Matlab QUIET COMPONENTS MX_LIBRARY)
    if(Matlab_FOUND)
        message(STATUS "MATLAB: ${Matlab_ROOT_DIR}")
    elseif(MATLAB_ASKED_FOR)
        message(FATAL_ERROR "No MATLAB found at Matlab_ROOT_DIR=${MATLAB_ASKED_FOR}: give the "
                            "folder that holds MATLAB's bin and extern folders, or leave "
                            "Matlab_ROOT_DIR out (-DWITH_MATLAB=OFF builds for Octave only).")
    endif()
endif()
