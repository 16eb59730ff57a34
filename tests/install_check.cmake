# Installs the build into a fresh prefix and checks that the monitor, the tools, the desktop entry,
# the icon and the systemd unit's documentation arrive, and that the desktop entry is valid.
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
# The unit names its documentation under the prefix /usr/local.
file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/../packaging/systemd/prostrevan-metrics@.service" pointers
     REGEX "^Documentation=")
foreach(pointer ${pointers})
    if(NOT pointer MATCHES "^Documentation=file:///usr/local/(.+)$")
        message(FATAL_ERROR "not a file under /usr/local: ${pointer}")
    endif()
    if(NOT EXISTS "${PREFIX}/${CMAKE_MATCH_1}")
        message(FATAL_ERROR "not installed: ${CMAKE_MATCH_1}, the unit's ${pointer}")
    endif()
endforeach()
if(NOT pointers)
    message(FATAL_ERROR "the unit names no documentation")
endif()
execute_process(COMMAND "${DESKTOP_FILE_VALIDATE}" "${PREFIX}/share/applications/prOstrevan.desktop"
                RESULT_VARIABLE valid OUTPUT_VARIABLE said ERROR_VARIABLE said)
if(NOT valid EQUAL 0 OR NOT said STREQUAL "")
    message(FATAL_ERROR "desktop entry: ${said}")
endif()
file(REMOVE_RECURSE "${PREFIX}")
