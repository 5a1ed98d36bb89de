# What `cmake --install` puts where, and the packages CPack makes of it:
# a Debian package on Linux (`--target package` -> korvanel_<version>_<arch>.deb;
# the arm64 cross build for gateways -> korvanel-tools_<version>_arm64.deb)
# and a zip on Windows (Korvanel-<version>-win32.zip / -win64.zip), and
# there `cpack -G NSIS` a setup program (Korvanel-<version>-win64-setup.exe).
# Only the programs, their documents and the desktop files are installed;
# tests and benchmarks have no install rules.
include(GNUInstallDirs)

set(KORVANEL_PACKAGE_CONTACT "Korvanel developers <korvanel@example.invalid>")
set(KORVANEL_SUMMARY "clears register 0x004A of a solar inverter over Modbus RTU")

if(WIN32)
  # The zip unpacks to one folder holding the programs side by side.
  foreach(program Korvanel korvanel-clear)
    if(TARGET ${program})
      install(TARGETS ${program} RUNTIME DESTINATION .)
    endif()
  endforeach()
  # Notepad before Windows 10 shows a file with bare LF ends as one line.
  configure_file(${PROJECT_SOURCE_DIR}/res/README-windows.txt
    ${PROJECT_BINARY_DIR}/package/README.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE
    ${PROJECT_BINARY_DIR}/package/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_BINARY_DIR}/package/README.txt ${PROJECT_BINARY_DIR}/package/LICENSE.txt
    DESTINATION .)

  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(windows_flavour win64)
  else()
    set(windows_flavour win32)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME Korvanel)
  set(CPACK_PACKAGE_FILE_NAME "Korvanel-${PROJECT_VERSION}-${windows_flavour}")

  # The setup program (`cpack -G NSIS`: Korvanel-<version>-<flavour>-setup.exe)
  # from our own template in cmake/nsis/, which CPack finds on the module path.
  list(APPEND CMAKE_MODULE_PATH ${CMAKE_CURRENT_LIST_DIR}/nsis)
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/nsis/setup_file_name.cmake)
  if(windows_flavour STREQUAL win64)
    set(CPACK_NSIS_KORVANEL_TARGET amd64-unicode)
    set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
  else()
    set(CPACK_NSIS_KORVANEL_TARGET x86-unicode)
    set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES")
  endif()
  set(CPACK_NSIS_KORVANEL_INCLUDE_DIR ${CMAKE_CURRENT_LIST_DIR}/nsis)
  set(CPACK_NSIS_KORVANEL_DIALOG Korvanel)
  set(CPACK_NSIS_KORVANEL_LICENSE ${PROJECT_BINARY_DIR}/package/LICENSE.txt)
  # Apps & features shows the maintainer the Debian package names.
  string(REGEX REPLACE " *<.*" "" CPACK_NSIS_KORVANEL_PUBLISHER "${KORVANEL_PACKAGE_CONTACT}")
  set(CPACK_NSIS_DISPLAY_NAME Korvanel)
  set(CPACK_NSIS_PACKAGE_NAME "Korvanel ${PROJECT_VERSION}")
  set(CPACK_PACKAGE_INSTALL_DIRECTORY Korvanel)
  set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY Korvanel)
  set(CPACK_NSIS_UNINSTALL_NAME Uninstall)
  set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/res/korvanel.ico)
else()
  # The arm64 cross build for gateways has no dialog, so its package is named
  # for what it holds; its block below the amd64 settings says the rest.
  set(KORVANEL_DEB_NAME korvanel)
  if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
    set(KORVANEL_DEB_NAME korvanel-tools)
  endif()
  foreach(program korvanel korvanel-clear korvanel-sim)
    if(TARGET ${program})
      install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
  endforeach()
  # The dialog's icons and its entry in the desktop's menus.
  if(TARGET korvanel)
    install(FILES ${PROJECT_SOURCE_DIR}/res/korvanel.png
      DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps)
    install(FILES ${PROJECT_SOURCE_DIR}/res/korvanel-16.png
      DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/16x16/apps RENAME korvanel.png)
    install(FILES ${PROJECT_SOURCE_DIR}/res/korvanel.desktop
      DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  endif()

  # Man pages carry the version in their footer; Debian wants them gzip'd,
  # and -n leaves the name and time out of the header so builds repeat.
  set(man_pages korvanel-clear korvanel-sim)
  if(TARGET korvanel)
    list(APPEND man_pages korvanel)
  endif()
  set(man_outputs)
  foreach(page ${man_pages})
    configure_file(${PROJECT_SOURCE_DIR}/docs/man/${page}.1.in
      ${PROJECT_BINARY_DIR}/man/${page}.1 @ONLY)
    add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/man/${page}.1.gz
      COMMAND gzip -9 -n -c ${PROJECT_BINARY_DIR}/man/${page}.1 > ${PROJECT_BINARY_DIR}/man/${page}.1.gz
      DEPENDS ${PROJECT_BINARY_DIR}/man/${page}.1
      VERBATIM)
    list(APPEND man_outputs ${PROJECT_BINARY_DIR}/man/${page}.1.gz)
  endforeach()

  # A native package keeps its Debian changelog as changelog.gz, its entries
  # under the package's own name.
  set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${KORVANEL_DEB_NAME})
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/package/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/package
    COMMAND sed "s/^korvanel (/${KORVANEL_DEB_NAME} (/" ${PROJECT_SOURCE_DIR}/res/debian-changelog
            | gzip -9 -n > ${PROJECT_BINARY_DIR}/package/changelog.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/res/debian-changelog
    VERBATIM)
  add_custom_target(korvanel_docs ALL DEPENDS ${man_outputs} ${PROJECT_BINARY_DIR}/package/changelog.gz)

  install(FILES ${man_outputs} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # The README is also the dialog's help (F1), so it stays uncompressed
  # for the desktop's viewer.
  install(FILES ${PROJECT_SOURCE_DIR}/res/copyright ${PROJECT_BINARY_DIR}/package/changelog.gz
    ${PROJECT_SOURCE_DIR}/README.md
    DESTINATION ${doc_dir})

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME korvanel)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KORVANEL_PACKAGE_CONTACT}")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # CPack puts the summary above this as the synopsis and indents the rest.
  set(deb_about "Korvanel sends a Modbus RTU Write Single Register request (function 0x06)
that writes 0 to holding register 0x004A of one inverter on an RS-485 or
RS-232 line at 9600 baud 8N1, repeats it once a second until a valid reply
comes, and reports \"!!--Clear OK--!!\" or \"!!--Operation Fail--!!\".
.
")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${deb_about}This package holds the dialog (korvanel), the same run for terminals and
scripts with exit codes (korvanel-clear), and a virtual inverter on a
pseudo-terminal for trying both without hardware (korvanel-sim).")

  # --- arm64 gateways: korvanel-tools ------------------------------------
  # dpkg-shlibdeps reads the build machine's dpkg database, which knows no
  # arm64 libraries in a cross build, so Depends is written out: the
  # libraries the programs name as NEEDED (aarch64-linux-gnu-readelf -d) at
  # the versions of the newest symbols they take (objdump -T: GLIBC_2.34,
  # GLIBCXX_3.4.29 of GCC 11, GCC_3.0). The real-UART stage checks both.
  if(KORVANEL_DEB_NAME STREQUAL "korvanel-tools")
    set(CPACK_PACKAGE_NAME korvanel-tools)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 11)")
    # Both packages install /usr/bin/korvanel-clear and korvanel-sim.
    set(CPACK_DEBIAN_PACKAGE_CONFLICTS korvanel)
    set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${deb_about}This package, for arm64 gateways and boards, holds the run for terminals
and scripts with exit codes (korvanel-clear) and a virtual inverter on a
pseudo-terminal for trying it without hardware (korvanel-sim).")
  endif()
endif()

set(CPACK_PACKAGE_VENDOR "The Korvanel developers")
set(CPACK_PACKAGE_CONTACT "${KORVANEL_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${KORVANEL_SUMMARY}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
# The description's quotes and blanks reach the control file as written.
set(CPACK_VERBATIM_VARIABLES ON)
include(CPack)
