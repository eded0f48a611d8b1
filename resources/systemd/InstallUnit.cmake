# Run by `cmake --install` and by CPack, after STATION_UNIT_IN (the unit's source),
# STATION_UNIT_DIR (a folder of the build tree to fill it in), STATION_BINDIR, STATION_DOCDIR and
# STATION_UNITDIR (relative to the prefix unless absolute) and STATION_CONFIG_DIR are set: fills
# in bootloader-station@.service and bootloader-forward@.service for the prefix being installed to and installs it. DESTDIR, when
# set, is put in front by file(INSTALL), not into the unit.

foreach(kind BINDIR DOCDIR UNITDIR)
    set(path "${STATION_${kind}}")
    if(NOT IS_ABSOLUTE "${path}")
        set(path "${CMAKE_INSTALL_PREFIX}/${path}")
    endif()
    set(${kind} "${path}")
endforeach()
set(BOOTLOADER_STATION_CLI "${BINDIR}/bootloader-cli")
set(BOOTLOADER_STATION_EXAMPLE "${DOCDIR}/station-example.conf")
set(BOOTLOADER_FORWARD_EXAMPLE "${DOCDIR}/forward-example.conf")
set(BOOTLOADER_STATION_CONFIG_DIR "${STATION_CONFIG_DIR}")
# One copy per destination: an install and a package made at the same time do not share it.
string(SHA1 destination "$ENV{DESTDIR}|${CMAKE_INSTALL_PREFIX}")
set(unit "${STATION_UNIT_DIR}/${destination}/bootloader-station@.service")
configure_file("${STATION_UNIT_IN}" "${unit}" @ONLY)
# The station's forwarder, from its source beside the station's.
get_filename_component(source_dir "${STATION_UNIT_IN}" DIRECTORY)
set(forward_unit "${STATION_UNIT_DIR}/${destination}/bootloader-forward@.service")
configure_file("${source_dir}/bootloader-forward@.service.in" "${forward_unit}" @ONLY)
file(INSTALL DESTINATION "${UNITDIR}" TYPE FILE FILES "${unit}" "${forward_unit}")
