# The Debian package (included from the top-level CMakeLists.txt: CPack's `package` target belongs there).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brae-update)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Veltrona")
set(CPACK_PACKAGE_CONTACT ${BRAE_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for the Veltrona Series Brae weighing indicator")
# Debian shows the description as it stands: lines of at most 80 characters.
set(CPACK_PACKAGE_DESCRIPTION
    "Finds the serial port where the indicator answers, uploads the loader into\n"
    "its boot loader and sends the new firmware in acknowledged blocks. Runs as a\n"
    "window, or in the terminal without a display.\n"
    "Also holds brae-ports, which names the serial ports, and brae-indicator-sim,\n"
    "a simulated indicator.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies come from the programs themselves (dpkg-shlibdeps), never from a hand-kept list.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# man-db and the desktop are suggestions: the programs run without either.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "man-db")
# The same package from every build of one commit: CPack gives its files, its ar and tar members and its gzip
# headers the time SOURCE_DATE_EPOCH names (cmake/source-date-epoch.cmake), the owner root, and the files
# their installed modes; the ar members' modes, which CPack takes from its umask, are set after it.
set(CPACK_BRAE_SOURCE_DATE_EPOCH ${BRAE_SOURCE_DATE_EPOCH})
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${BRAE_DIRECTORY_PERMISSIONS})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/reproducible.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/reproducible.cmake)
# The package installs below /usr: the page template it carries is found by programs that look there.
if(BRAE_WEB_TEMPLATE AND NOT BRAE_DATA_DIR STREQUAL "/usr/share/brae-update")
  message(WARNING "A package built here puts the page template into /usr/share/brae-update, but its "
                  "brae-update looks in ${BRAE_DATA_DIR}: configure with -DCMAKE_INSTALL_PREFIX=/usr (the "
                  "package preset does)")
endif()
include(CPack)
