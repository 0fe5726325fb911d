# Installation layout and the Debian package. Included at the end of the top-level
# CMakeLists.txt, once every target exists.
#
#   bin/korvane, bin/korvane-bus, bin/vel-loader, bin/vel-pack
#   share/korvane/Korvane_Help.chm, share/korvane/samples/*   (the program finds its help
#                                                               file in ../share/korvane)
#   share/applications/korvane.desktop
#   share/icons/hicolor/scalable/apps/korvane.svg
#   share/man/man1/korvane.1.gz, share/man/man1/korvane-bus.1.gz
#
# Package: scripts/package.sh (cpack -G DEB in its own build folder).
include(GNUInstallDirs)

set(KORVANE_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(KORVANE_SHARE_DIR ${CMAKE_INSTALL_DATADIR}/korvane)

# The window icon travels inside the program too, so it shows before (and without) installing.
qt_add_resources(korvane_ui korvane_icon PREFIX "/korvane" BASE ${KORVANE_PACKAGING_DIR}
  FILES ${KORVANE_PACKAGING_DIR}/korvane.svg)

install(TARGETS korvane korvane-bus vel-loader vel-pack RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(KORVANE_HELP_CHM)
  install(FILES ${KORVANE_HELP_CHM} DESTINATION ${KORVANE_SHARE_DIR})
endif()
# Sample workspaces, when the tree has any.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/samples/ DESTINATION ${KORVANE_SHARE_DIR}/samples OPTIONAL)
install(FILES ${KORVANE_PACKAGING_DIR}/korvane.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${KORVANE_PACKAGING_DIR}/korvane.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Debian keeps manual pages compressed; gzip -n leaves no time stamp, so the file is reproducible.
set(KORVANE_MAN_PAGES korvane.1 korvane-bus.1)
find_program(KORVANE_GZIP gzip)
if(KORVANE_GZIP)
  set(_korvane_man_gz "")
  foreach(page ${KORVANE_MAN_PAGES})
    set(_gz ${PROJECT_BINARY_DIR}/packaging/${page}.gz)
    add_custom_command(OUTPUT ${_gz}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging
      COMMAND ${KORVANE_GZIP} -9n -c ${KORVANE_PACKAGING_DIR}/${page} > ${_gz}
      DEPENDS ${KORVANE_PACKAGING_DIR}/${page}
      COMMENT "Compressing the manual page ${page}")
    list(APPEND _korvane_man_gz ${_gz})
  endforeach()
  add_custom_target(korvane_man ALL DEPENDS ${_korvane_man_gz})
  add_dependencies(korvane korvane_man)
  add_dependencies(korvane-bus korvane_man)
  install(FILES ${_korvane_man_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  list(TRANSFORM KORVANE_MAN_PAGES PREPEND ${KORVANE_PACKAGING_DIR}/)
  install(FILES ${KORVANE_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# --- The Debian package ------------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Korvane developers")
set(CPACK_PACKAGE_CONTACT "Korvane developers <korvane@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "test tool for Modbus RTU and ASCII devices on serial lines")
# The long description: the summary above is its first line; these lines follow it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "As a master Korvane polls one device and reports every exchange in words; as a
slave it simulates five devices with full tables. A grid shows registers in
eleven number formats, two monitors show the raw traffic, and the workspace is
saved to and loaded from a text file. Includes a small setup loader and its packer,
and korvane-bus, a virtual RS-485 line of pseudo-terminals for trying devices
and programs without hardware.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)
# dpkg-shlibdeps names the libraries the programs link (Qt 6, liblzma5, libc6...). The SVG
# icon engine is a Qt plug-in (libqt6svg6) that nothing links to, so it is named here, and
# so are the libraries where dpkg-shlibdeps is missing.
find_program(KORVANE_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KORVANE_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6 (>= 6.4)")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libqt6core6 (>= 6.4), libqt6gui6 (>= 6.4), libqt6widgets6 (>= 6.4), libqt6svg6 (>= 6.4), liblzma5, libc6, libstdc++6")
endif()
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xchm | kchmviewer")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "socat, mbpoll")
# Only what install() names goes into the package.
set(CPACK_SOURCE_IGNORE_FILES "/build[^/]*/;/\\\\.git/")
include(CPack)
