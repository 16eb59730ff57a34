# Installs the build into a fresh prefix and checks that the monitor, the tools, the desktop entry
# and the icon arrive, and that the desktop entry is valid.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE installed OUTPUT_QUIET)
if(NOT installed EQUAL 0)
    message(FATAL_ERROR "cmake --install failed")
endif()
foreach(file bin/prOstrevan bin/station-owner bin/station-scan
             share/applications/prOstrevan.desktop share/icons/hicolor/16x16/apps/prOstrevan.xpm)
    if(NOT EXISTS "${PREFIX}/${file}")
        message(FATAL_ERROR "not installed: ${file}")
    endif()
endforeach()
execute_process(COMMAND "${DESKTOP_FILE_VALIDATE}" "${PREFIX}/share/applications/prOstrevan.desktop"
                RESULT_VARIABLE valid OUTPUT_VARIABLE said ERROR_VARIABLE said)
if(NOT valid EQUAL 0 OR NOT said STREQUAL "")
    message(FATAL_ERROR "desktop entry: ${said}")
endif()
file(REMOVE_RECURSE "${PREFIX}")
