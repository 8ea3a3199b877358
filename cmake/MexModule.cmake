# add_mex_module(<name> SOURCES <entry sources> [LINK <libraries>] HELP <name>.m)
#
# Builds one module for every host found: <name>_standin, a static library for unit tests
# against the stand-in host; <name>_octave, the Octave MEX file; <name>_matlab, the MATLAB MEX
# file with the R2017b interface (64-bit dimensions); on Windows without MATLAB, <name>_mexw64
# against the stand-in host's DLL. The MEX files and the help file go to the build
# tree's toolbox folder and are installed flat into the install prefix.
function(add_mex_module name)
    cmake_parse_arguments(MODULE "" "HELP" "SOURCES;LINK" ${ARGN})

    add_library(${name}_standin STATIC ${MODULE_SOURCES})
    target_link_libraries(${name}_standin PUBLIC gateway_standin ${MODULE_LINK})

    if(TARGET gateway_octave)
        add_library(${name}_octave MODULE ${MODULE_SOURCES})
        target_link_libraries(${name}_octave PRIVATE gateway_octave ${MODULE_LINK})
        set_target_properties(${name}_octave PROPERTIES
            PREFIX "" SUFFIX ".mex" OUTPUT_NAME ${name}
            LIBRARY_OUTPUT_DIRECTORY "${TOOLBOX_BUILD_DIR}"
            # Libraries the module needs sit beside it, wherever the folder is moved.
            BUILD_WITH_INSTALL_RPATH ON INSTALL_RPATH "$ORIGIN")
        install(TARGETS ${name}_octave LIBRARY DESTINATION .)
    endif()

    if(WIN32 AND NOT Matlab_FOUND)
        # A .mexw64 against the stand-in host's DLL: the Windows module, checked under Wine.
        add_library(${name}_mexw64 MODULE ${MODULE_SOURCES})
        target_link_libraries(${name}_mexw64 PRIVATE gateway_standin ${MODULE_LINK})
        set_target_properties(${name}_mexw64 PROPERTIES
            PREFIX "" SUFFIX ".mexw64" OUTPUT_NAME ${name}
            LIBRARY_OUTPUT_DIRECTORY "${TOOLBOX_BUILD_DIR}"
            RUNTIME_OUTPUT_DIRECTORY "${TOOLBOX_BUILD_DIR}")
    endif()

    if(Matlab_FOUND)
        matlab_add_mex(NAME ${name}_matlab SRC ${MODULE_SOURCES} OUTPUT_NAME ${name}
                       LINK_TO gateway_matlab ${MODULE_LINK} R2017b)
        set_target_properties(${name}_matlab PROPERTIES
            # The version symbol matlab_add_mex adds has no visibility of its own; MATLAB's
            # export map lets out only it and mexFunction.
            CXX_VISIBILITY_PRESET default
            LIBRARY_OUTPUT_DIRECTORY "${TOOLBOX_BUILD_DIR}"
            RUNTIME_OUTPUT_DIRECTORY "${TOOLBOX_BUILD_DIR}"
            BUILD_WITH_INSTALL_RPATH ON INSTALL_RPATH "$ORIGIN")
        install(TARGETS ${name}_matlab LIBRARY DESTINATION . RUNTIME DESTINATION .)
    endif()

    if(MODULE_HELP)
        add_toolbox_files(${MODULE_HELP})
    endif()
endfunction()

# Copies M files into the build tree's toolbox folder and installs them beside the modules.
function(add_toolbox_files)
    foreach(file ${ARGN})
        get_filename_component(base "${file}" NAME)
        configure_file("${file}" "${TOOLBOX_BUILD_DIR}/${base}" COPYONLY)
        install(FILES "${file}" DESTINATION .)
    endforeach()
endfunction()
