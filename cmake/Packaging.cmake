# `make package` (or cpack) builds a Debian package of what `cmake --install` puts in place. Its
# dependencies come from dpkg-shlibdeps: the Qt runtime packages the programs link against.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME bootloader)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "${BOOTLOADER_VENDOR}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "Bootloader sends a firmware image to a device over a serial port, record by record, and
reports whether the device took it. It comes with a small desktop window.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${BOOTLOADER_VENDOR} <bootloader@localhost>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
