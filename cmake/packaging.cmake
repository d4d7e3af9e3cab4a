# Installation as a Linux desktop program and the Debian packages built from it:
#   cmake --install <build> --prefix /usr      (or DESTDIR=... for staging)
#   cd <build> && cpack -G DEB
# Two packages: grafimo485 (the window and the simulator) and grafimo485-logger (the
# recorder without a window and its service), which holds nothing of Qt, so that a board
# without a desktop installs it alone. A build without Qt packages the recorder only.
set(GRAFIMO_DESKTOP_PACKAGE OFF)
if(TARGET grafimo485 AND TARGET grafimo-sim)
  set(GRAFIMO_DESKTOP_PACKAGE ON)
endif()
set(GRAFIMO_LOGGER_PACKAGE OFF)
if(TARGET grafimo-logger)
  set(GRAFIMO_LOGGER_PACKAGE ON)
endif()
if(NOT GRAFIMO_DESKTOP_PACKAGE AND NOT GRAFIMO_LOGGER_PACKAGE)
  return()
endif()

include(GNUInstallDirs)
set(GRAFIMO_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(GRAFIMO_PACKAGING_OUT ${PROJECT_BINARY_DIR}/packaging)

# Manual pages and the changelog go compressed, as Debian wants them; -n keeps the
# archives free of time stamps so that two builds give the same package.
find_program(GRAFIMO_GZIP gzip REQUIRED)
set(compressed)
set(pages changelog)
if(GRAFIMO_DESKTOP_PACKAGE)
  list(APPEND pages grafimo485.1 grafimo-sim.1)
endif()
if(GRAFIMO_LOGGER_PACKAGE)
  list(APPEND pages grafimo-logger.1)
endif()
foreach(page IN LISTS pages)
  configure_file(${GRAFIMO_PACKAGING_DIR}/${page} ${GRAFIMO_PACKAGING_OUT}/${page} @ONLY)
  add_custom_command(OUTPUT ${GRAFIMO_PACKAGING_OUT}/${page}.gz
    COMMAND ${GRAFIMO_GZIP} -9nf -k ${GRAFIMO_PACKAGING_OUT}/${page}
    DEPENDS ${GRAFIMO_PACKAGING_OUT}/${page} VERBATIM)
  list(APPEND compressed ${GRAFIMO_PACKAGING_OUT}/${page}.gz)
endforeach()
add_custom_target(grafimo_packaging_files ALL DEPENDS ${compressed})

set(components)
if(GRAFIMO_DESKTOP_PACKAGE)
  list(APPEND components desktop)
  target_compile_definitions(grafimo485 PRIVATE GRAFIMO_VERSION="${PROJECT_VERSION}")
  install(TARGETS grafimo485 grafimo-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT desktop)
  install(FILES ${GRAFIMO_PACKAGING_DIR}/grafimo485.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
          COMPONENT desktop)
  install(FILES ${GRAFIMO_PACKAGING_DIR}/grafimo485.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT desktop)
  # The PNGs are the SVG rendered once (rsvg-convert -w N -h N), for menus without SVG support.
  foreach(size 48 128)
    install(FILES ${GRAFIMO_PACKAGING_DIR}/icons/grafimo485-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME grafimo485.png
            COMPONENT desktop)
  endforeach()
  install(FILES ${GRAFIMO_PACKAGING_OUT}/grafimo485.1.gz ${GRAFIMO_PACKAGING_OUT}/grafimo-sim.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT desktop)
  install(FILES ${GRAFIMO_PACKAGING_OUT}/changelog.gz ${GRAFIMO_PACKAGING_DIR}/copyright
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/grafimo485 COMPONENT desktop)
endif()
if(GRAFIMO_LOGGER_PACKAGE)
  list(APPEND components logger)
  install(TARGETS grafimo-logger RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT logger)
  install(FILES ${GRAFIMO_PACKAGING_OUT}/grafimo-logger.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
          COMPONENT logger)
  # The template unit; an instance per folder under /etc/grafimo485/ is enabled by hand.
  install(FILES ${GRAFIMO_PACKAGING_DIR}/grafimo-logger@.service DESTINATION lib/systemd/system
          COMPONENT logger)
  install(FILES ${GRAFIMO_PACKAGING_OUT}/changelog.gz ${GRAFIMO_PACKAGING_DIR}/copyright
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/grafimo485-logger COMPONENT logger)
endif()

# The same pages in Russian (UTF-8), for `man -L ru`, each in its program's package.
set(ru_compressed)
set(ru_pages)
if(GRAFIMO_DESKTOP_PACKAGE)
  list(APPEND ru_pages grafimo485.1 grafimo-sim.1)
endif()
if(GRAFIMO_LOGGER_PACKAGE)
  list(APPEND ru_pages grafimo-logger.1)
endif()
foreach(page IN LISTS ru_pages)
  configure_file(${GRAFIMO_PACKAGING_DIR}/ru/${page} ${GRAFIMO_PACKAGING_OUT}/ru/${page} @ONLY)
  add_custom_command(OUTPUT ${GRAFIMO_PACKAGING_OUT}/ru/${page}.gz
    COMMAND ${GRAFIMO_GZIP} -9nf -k ${GRAFIMO_PACKAGING_OUT}/ru/${page}
    DEPENDS ${GRAFIMO_PACKAGING_OUT}/ru/${page} VERBATIM)
  list(APPEND ru_compressed ${GRAFIMO_PACKAGING_OUT}/ru/${page}.gz)
endforeach()
add_custom_target(grafimo_packaging_ru_pages ALL DEPENDS ${ru_compressed})
if(GRAFIMO_DESKTOP_PACKAGE)
  install(FILES ${GRAFIMO_PACKAGING_OUT}/ru/grafimo485.1.gz ${GRAFIMO_PACKAGING_OUT}/ru/grafimo-sim.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/ru/man1 COMPONENT desktop)
  # The Russian quick start with the pictures it shows (scripts/screenshots.sh makes them).
  install(FILES ${PROJECT_SOURCE_DIR}/docs/ru/quickstart.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/grafimo485/ru
          COMPONENT desktop)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ru/img/ DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/grafimo485/ru/img
          COMPONENT desktop FILES_MATCHING PATTERN "*.png")
endif()
if(GRAFIMO_LOGGER_PACKAGE)
  install(FILES ${GRAFIMO_PACKAGING_OUT}/ru/grafimo-logger.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/ru/man1
          COMPONENT logger)
endif()

set(CPACK_PACKAGE_NAME grafimo485)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Grafimo485 developers")
set(CPACK_PACKAGE_CONTACT "Grafimo485 developers <grafimo485@example.org>")
# Each package's description starts with its own summary line; a common summary would be
# put before both.
set(GRAFIMO_DESKTOP_SUMMARY "front end for Modbus RTU measuring devices on RS-485")
set(CPACK_PACKAGE_DESCRIPTION
  "Grafimo485 polls every configured measuring device on one RS-485 serial bus\n"
  "with a Modbus RTU request, plots two measured values per device on live trend\n"
  "charts, keeps every sample of the run in a per-device history file, shows the\n"
  "raw bus traffic and reads the log each device keeps in its memory. The user\n"
  "interface is in Russian. The package also holds grafimo-sim, a simulator of\n"
  "such devices on a pseudo-terminal.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies come from the binaries (dpkg-shlibdeps), never from a list kept by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${components})
set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME grafimo485)
set(CPACK_DEBIAN_DESKTOP_DESCRIPTION "${GRAFIMO_DESKTOP_SUMMARY}\n${CPACK_PACKAGE_DESCRIPTION}")
# Qt's Russian button texts are loaded at run time, so no binary names them.
set(CPACK_DEBIAN_DESKTOP_PACKAGE_RECOMMENDS "qt6-translations-l10n")
set(CPACK_DEBIAN_LOGGER_PACKAGE_NAME grafimo485-logger)
set(CPACK_DEBIAN_LOGGER_DESCRIPTION
  "recorder for Modbus RTU measuring devices on RS-485, without a window\n"
  "grafimo-logger polls the measuring devices listed in a folder's grafimo.cfg\n"
  "(made with the Grafimo485 window) on one RS-485 serial port or serial device\n"
  "server, as the window does, and appends every sample to a per-device history\n"
  "file. It needs no display and no Qt, and runs as a systemd service,\n"
  "grafimo-logger@FOLDER, one per folder under /etc/grafimo485/, with a watchdog\n"
  "on its poll thread.")
string(REPLACE ";" "" CPACK_DEBIAN_LOGGER_DESCRIPTION "${CPACK_DEBIAN_LOGGER_DESCRIPTION}")
include(CPack)

# The package test repackages a finished build; under the sanitizer builds the binaries
# would need the sanitizer runtimes and the check adds nothing, so it runs in plain builds.
if(NOT GRAFIMO_SANITIZE AND EXISTS ${PROJECT_SOURCE_DIR}/tests/package/package_test.sh)
  set(packages)
  if(GRAFIMO_DESKTOP_PACKAGE)
    list(APPEND packages grafimo485)
  endif()
  if(GRAFIMO_LOGGER_PACKAGE)
    list(APPEND packages grafimo485-logger)
  endif()
  add_test(NAME package.deb
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/package/package_test.sh
            ${CMAKE_CPACK_COMMAND} ${PROJECT_BINARY_DIR} ${PROJECT_VERSION} ${packages})
  set_tests_properties(package.deb PROPERTIES LABELS package TIMEOUT 180)
endif()
