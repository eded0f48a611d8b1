# Checks of what a release is made of: the icon, the resource script, the version, the desktop
# entry and its AppStream metadata, the manual pages, the station's systemd unit, the install and
# the Debian package (with lintian). Included from tests/CMakeLists.txt.

# On: a check whose tool is missing fails the configuration instead of being left out (CI).
option(BOOTLOADER_REQUIRE_CHECKS "Fail when a tool for the release checks is missing" OFF)

function(bootloader_check_tool var program)
    find_program(${var} ${program})
    if(NOT ${var})
        if(BOOTLOADER_REQUIRE_CHECKS)
            message(FATAL_ERROR "${program} not found; scripts/setup.sh installs it")
        endif()
        message(STATUS "${program} not found: its release check is left out")
    endif()
endfunction()

bootloader_test(release mainwindow Qt::Gui)
target_compile_definitions(tst_release PRIVATE
    BOOTLOADER_RESOURCES_DIR="${PROJECT_SOURCE_DIR}/resources"
    BOOTLOADER_ICON_FILE="${BOOTLOADER_ICON_FILE}"
    BOOTLOADER_RC_FILE="${BOOTLOADER_RC_FILE}"
    BOOTLOADER_EXPECTED_VERSION="${PROJECT_VERSION}"
    BOOTLOADER_MAKEICON="$<TARGET_FILE:makeicon>")
add_dependencies(tst_release makeicon)

# The resource script compiles with the MinGW resource compiler (preprocessed by the host's cpp:
# the script includes no header) and holds the icon group and the version record.
bootloader_check_tool(BOOTLOADER_WINDRES x86_64-w64-mingw32-windres)
bootloader_check_tool(BOOTLOADER_CPP cpp)
if(BOOTLOADER_WINDRES AND BOOTLOADER_CPP)
    add_test(NAME resource_script
             COMMAND ${CMAKE_COMMAND} -DWINDRES=${BOOTLOADER_WINDRES} -DCPP=${BOOTLOADER_CPP}
                     -DSCRIPT=${BOOTLOADER_RC_FILE} -DVERSION=${PROJECT_VERSION}
                     -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/resource_script
                     -P ${CMAKE_CURRENT_SOURCE_DIR}/check_resource_script.cmake)
endif()

bootloader_check_tool(BOOTLOADER_DESKTOP_FILE_VALIDATE desktop-file-validate)
if(BOOTLOADER_DESKTOP_FILE_VALIDATE)
    add_test(NAME desktop_entry COMMAND ${BOOTLOADER_DESKTOP_FILE_VALIDATE}
                                        ${PROJECT_SOURCE_DIR}/resources/bootloader.desktop)
endif()

# The AppStream metadata, as software centres read it.
bootloader_check_tool(BOOTLOADER_APPSTREAMCLI appstreamcli)
if(BOOTLOADER_APPSTREAMCLI)
    add_test(NAME metainfo
             COMMAND ${CMAKE_COMMAND} -DAPPSTREAMCLI=${BOOTLOADER_APPSTREAMCLI}
                     -DFILE=${BOOTLOADER_METAINFO_FILE}
                     -P ${CMAKE_CURRENT_SOURCE_DIR}/check_metainfo.cmake)
endif()

# The manual pages, as man formats them.
bootloader_check_tool(BOOTLOADER_MAN man)
if(BOOTLOADER_MAN)
    add_test(NAME man_pages
             COMMAND ${CMAKE_COMMAND} -DMAN=${BOOTLOADER_MAN} -DPAGES_DIR=${BOOTLOADER_MAN_DIR}
                     -DSOURCE_DIR=${PROJECT_SOURCE_DIR}/resources/man
                     -DVERSION=${PROJECT_VERSION}
                     -P ${CMAKE_CURRENT_SOURCE_DIR}/check_man_pages.cmake)
endif()

# bootloader-cli's options and commands, as its --help lists them, in the bash completion, the
# manual page and the README.
add_test(NAME cli_documents
         COMMAND ${CMAKE_COMMAND} -DCLI=$<TARGET_FILE:bootloader-cli>
                 -DCOMPLETION=${PROJECT_SOURCE_DIR}/resources/bootloader-cli.bash
                 -DMAN_PAGE=${PROJECT_SOURCE_DIR}/resources/man/bootloader-cli.1
                 -DREADME=${PROJECT_SOURCE_DIR}/README.md
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/check_cli_documents.cmake)

# The station's systemd unit, as systemd reads it: filled in to run the bootloader-cli built here
# with the example configuration, checked by `systemd-analyze verify` (and its manual page found
# when man is there).
bootloader_check_tool(BOOTLOADER_SYSTEMD_ANALYZE systemd-analyze)
if(BOOTLOADER_SYSTEMD_ANALYZE)
    add_test(NAME station_unit
             COMMAND ${CMAKE_COMMAND} -DSYSTEMD_ANALYZE=${BOOTLOADER_SYSTEMD_ANALYZE}
                     -DUNIT_IN=${BOOTLOADER_STATION_UNIT_IN} -DEXAMPLE=${BOOTLOADER_STATION_EXAMPLE}
                     -DCLI=$<TARGET_FILE:bootloader-cli> -DMAN_DIR=${BOOTLOADER_MAN_DIR}
                     -DMAN=${BOOTLOADER_MAN} -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/station_unit
                     -P ${CMAKE_CURRENT_SOURCE_DIR}/check_station_unit.cmake)
    add_test(NAME forward_unit
             COMMAND ${CMAKE_COMMAND} -DSYSTEMD_ANALYZE=${BOOTLOADER_SYSTEMD_ANALYZE} -DNAME=forward
                     -DUNIT_IN=${BOOTLOADER_FORWARD_UNIT_IN} -DEXAMPLE=${BOOTLOADER_FORWARD_EXAMPLE}
                     -DCLI=$<TARGET_FILE:bootloader-cli> -DMAN_DIR=${BOOTLOADER_MAN_DIR}
                     -DMAN=${BOOTLOADER_MAN} -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/forward_unit
                     -P ${CMAKE_CURRENT_SOURCE_DIR}/check_station_unit.cmake)
endif()

# `cmake --install` into a scratch prefix, and the Debian package unpacked into a scratch root.
string(REPLACE ";" "," icon_sizes "${BOOTLOADER_ICON_SIZES}")
add_test(NAME install
         COMMAND ${CMAKE_COMMAND} -DMODE=install -DCPACK=${CMAKE_CPACK_COMMAND}
                 -DBUILD_DIR=${CMAKE_BINARY_DIR} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
                 -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/install
                 -DICON_SIZES=${icon_sizes} -DVERSION=${PROJECT_VERSION}
                 -DQT_MAJOR=${QT_VERSION_MAJOR} -DAPPSTREAMCLI=${BOOTLOADER_APPSTREAMCLI}
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/check_install.cmake)
bootloader_check_tool(BOOTLOADER_DPKG_DEB dpkg-deb)
bootloader_check_tool(BOOTLOADER_DPKG_SHLIBDEPS dpkg-shlibdeps)
# The package as a distribution would judge it: no lintian error or warning.
bootloader_check_tool(BOOTLOADER_LINTIAN lintian)
if(BOOTLOADER_DPKG_DEB AND BOOTLOADER_DPKG_SHLIBDEPS)
    # At a lower priority: it keeps the processor busy for seconds while the tests beside it time
    # replies to the millisecond.
    add_test(NAME package
             COMMAND nice -n 10 ${CMAKE_COMMAND} -DMODE=package -DCPACK=${CMAKE_CPACK_COMMAND}
                     -DDPKG_DEB=${BOOTLOADER_DPKG_DEB} -DLINTIAN=${BOOTLOADER_LINTIAN}
                     -DBUILD_DIR=${CMAKE_BINARY_DIR} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
                     -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/package
                     -DICON_SIZES=${icon_sizes} -DVERSION=${PROJECT_VERSION}
                     -DQT_MAJOR=${QT_VERSION_MAJOR} -DAPPSTREAMCLI=${BOOTLOADER_APPSTREAMCLI}
                     -P ${CMAKE_CURRENT_SOURCE_DIR}/check_install.cmake)
    # Long: started early, beside the soak.
    set_tests_properties(package PROPERTIES COST 500)
endif()
