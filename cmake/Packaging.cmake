# `make package` (or cpack) builds a Debian package of what `cmake --install` puts in place. Its
# dependencies come from dpkg-shlibdeps: the Qt runtime packages the programs link against.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME bootloader)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "${BOOTLOADER_VENDOR}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# Lines within 80 columns: package tools show them as they are.
set(CPACK_PACKAGE_DESCRIPTION
    "Bootloader sends a firmware image to a device over a serial port, record by
record, and reports whether the device took it. It comes with a small desktop
window, bootloader-cli for scripts and the command line, and bootloader-sim, a
simulated device to try the tool without hardware.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

# The maintainer, taken as Debian's own tools take it: BOOTLOADER_MAINTAINER when given, else
# DEBFULLNAME and DEBEMAIL from the environment (DEBEMAIL may also be "Name <address>"). A part
# that is not given is a placeholder that says so, the address one well formed but reaching
# nobody (the .invalid domain is reserved for that).
set(BOOTLOADER_MAINTAINER "" CACHE STRING
    "Maintainer of the Debian package, 'Name <address>'; empty: DEBFULLNAME and DEBEMAIL")
set(maintainer_name "$ENV{DEBFULLNAME}")
set(maintainer_address "$ENV{DEBEMAIL}")
if(maintainer_address MATCHES "^(.*[^ ]) *<(.+)>$")
    if(maintainer_name STREQUAL "")
        set(maintainer_name "${CMAKE_MATCH_1}")
    endif()
    set(maintainer_address "${CMAKE_MATCH_2}")
endif()
if(NOT BOOTLOADER_MAINTAINER AND (maintainer_name STREQUAL "" OR maintainer_address STREQUAL ""))
    message(STATUS "Package maintainer: placeholders stand in for what is not set; set "
                   "DEBFULLNAME and DEBEMAIL, or BOOTLOADER_MAINTAINER")
    if(maintainer_name STREQUAL "")
        set(maintainer_name "Maintainer not set - give DEBFULLNAME and DEBEMAIL")
    endif()
    if(maintainer_address STREQUAL "")
        set(maintainer_address "maintainer-not-set@bootloader.invalid")
    endif()
endif()
set(BOOTLOADER_PACKAGE_MAINTAINER "${maintainer_name} <${maintainer_address}>")
if(BOOTLOADER_MAINTAINER)
    set(BOOTLOADER_PACKAGE_MAINTAINER "${BOOTLOADER_MAINTAINER}")
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${BOOTLOADER_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# `bootloader-cli forward` and `report postgresql://...` load Qt SQL's PostgreSQL driver, a plugin
# no library links: the rest of the tool works without it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libqt${QT_VERSION_MAJOR}sql${QT_VERSION_MAJOR}-psql")

# /usr/share/doc/bootloader: the licence as Debian's machine-readable copyright file, made from
# LICENSE, and CHANGELOG.md as Debian's changelog.gz. A from-source install gets them too.
set(docdir ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_PACKAGE_NAME})
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
if(NOT licence MATCHES "\nCopyright \\(c\\) ([^\n]+)\n+(.*[^\n])\n*$")
    message(FATAL_ERROR "LICENSE: no 'Copyright (c) ...' line followed by the licence")
endif()
set(BOOTLOADER_COPYRIGHT "${CMAKE_MATCH_1}")
# The licence's paragraphs as one field: each line indented, blank lines as " .".
string(REGEX REPLACE "\n\n" "\n.\n" text "${CMAKE_MATCH_2}")
string(REGEX REPLACE "\n" "\n " BOOTLOADER_LICENCE_TEXT " ${text}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/copyright.in ${PROJECT_BINARY_DIR}/debian/copyright
               @ONLY)

file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/debian/maintainer
     CONTENT "${BOOTLOADER_PACKAGE_MAINTAINER}\n")
set(changelog ${PROJECT_BINARY_DIR}/debian/changelog)
add_custom_command(OUTPUT ${changelog}.gz
    COMMAND ${CMAKE_COMMAND} -DINPUT=${BOOTLOADER_CHANGELOG} -DOUTPUT=${changelog}
            -DPACKAGE=${CPACK_PACKAGE_NAME}
            -DMAINTAINER_FILE=${PROJECT_BINARY_DIR}/debian/maintainer
            -P ${CMAKE_CURRENT_LIST_DIR}/DebianChangelog.cmake
    COMMAND ${CMAKE_COMMAND} -DGZIP=${BOOTLOADER_GZIP} -DINPUT=${changelog}
            -DOUTPUT=${changelog}.gz -P ${CMAKE_CURRENT_LIST_DIR}/Gzip.cmake
    DEPENDS ${BOOTLOADER_CHANGELOG} ${PROJECT_BINARY_DIR}/debian/maintainer
            ${CMAKE_CURRENT_LIST_DIR}/DebianChangelog.cmake ${CMAKE_CURRENT_LIST_DIR}/Gzip.cmake
    VERBATIM)
add_custom_target(changelog ALL DEPENDS ${changelog}.gz)
install(FILES ${PROJECT_BINARY_DIR}/debian/copyright ${changelog}.gz DESTINATION ${docdir})

include(CPack)
