# The Debian package: cpack -G DEB in the build folder writes horalign_<version>-<release>_<arch>.deb.
# The version is the project's; the release counts packages of the same version.

set(HORALIGN_PACKAGE_MAINTAINER "Horalign maintainers <horalign@quorvane.com>"
    CACHE STRING "The package's Maintainer field")
# The day this version was released: the changelog, the manual pages and the metainfo carry it,
# so a rebuilt package is the same package.
set(HORALIGN_RELEASE_DATE 2026-12-06)
set(HORALIGN_RELEASE_DATE_RFC2822 "Sun, 06 Dec 2026 12:00:00 +0000")

set(CPACK_PACKAGE_NAME horalign)
set(CPACK_PACKAGE_VENDOR Quorvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "keeps the clocks of serial-attached devices in step with the PC clock")
# Lines under 80 characters once the control file indents them.
set(CPACK_PACKAGE_DESCRIPTION
    "Horalign scans the serial ports COM1 to COM16, identifies the device on\n\
each one (paging transmitters and encoders, wall clocks, tone generators,\n\
PA speakers and time receivers) and writes the PC time to every activated\n\
device once per update interval, aligned to the start of a second. In the\n\
other direction it sets the PC clock from one time receiver. The window\n\
hides to the system tray while the timers keep working.\n\
.\n\
The package also holds horalign-autostart, which starts the program with\n\
the desktop session, and horalign-devsim, simulated devices on\n\
pseudo-terminals for trying the program without hardware.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)

set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${HORALIGN_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries come from dpkg-shlibdeps; Qt's platform plugins are loaded at run time, so no
# library names them, and without them the window cannot open. F1 opens the browser through
# xdg-open.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The service takes its name on the system bus; debhelper's scripts add what makes its user.
include(${PROJECT_SOURCE_DIR}/packaging/MaintainerScripts.cmake)
horalign_maintainer_scripts(${CPACK_PACKAGE_NAME})
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "qt6-qpa-plugins, default-dbus-system-bus | dbus-system-bus, ${HORALIGN_MAINTAINER_DEPENDS}")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${HORALIGN_MAINTAINER_SCRIPTS})
# polkit lets users other than root manage the service; without it only root may.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, polkitd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Directories the install creates get the usual mode whatever the builder's umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

include(CPack)
