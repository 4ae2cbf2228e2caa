# Install rules and the Debian packages (cpack -G DEB):
#   tovistats          the program (window, --headless) and the unit tovistats@.service
#   tovistats-service  the stats web service and its unit
# Dependencies come from dpkg-shlibdeps, on Debian's own libraries; nothing is bundled.
# The simulator is a test tool and goes in neither.
if(TOVI_PACKAGE AND CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Install prefix" FORCE)
endif()
include(GNUInstallDirs)

set(TOVI_DOC_DIR "${CMAKE_INSTALL_FULL_DATAROOTDIR}/doc/tovistats")
set(TOVI_SERVICE_DOC_DIR "${CMAKE_INSTALL_FULL_DATAROOTDIR}/doc/tovistats-service")
# Where systemd looks for the units of packages on Debian 12.
set(TOVI_UNIT_DIR /lib/systemd/system CACHE PATH "Folder of the systemd units")
set(TOVI_PACKAGE_MAINTAINER "Tovi stats developers <tovistats@example.org>" CACHE STRING
    "Maintainer field of the Debian packages")

set(units "${CMAKE_CURRENT_BINARY_DIR}/packaging")
set(scripts_program "${units}/program")
set(scripts_service "${units}/service")
configure_file(packaging/tovistats@.service.in "${units}/tovistats@.service" @ONLY)
configure_file(packaging/tovistats-service.service.in "${units}/tovistats-service.service" @ONLY)
foreach(script postinst prerm postrm)
  set(TOVI_PKG_USER tovistats)
  set(TOVI_PKG_UNITS "tovistats@*.service")
  set(TOVI_PKG_DATA /var/lib/tovistats)
  set(TOVI_PKG_ETC /etc/tovistats)
  configure_file(packaging/${script}.in "${scripts_program}/${script}" @ONLY)
  set(TOVI_PKG_USER tovistats-service)
  set(TOVI_PKG_UNITS "tovistats-service.service")
  set(TOVI_PKG_DATA /var/lib/tovistats-service)
  set(TOVI_PKG_ETC /etc/default/tovistats-service)
  configure_file(packaging/${script}.in "${scripts_service}/${script}" @ONLY)
endforeach()

# Each package's changelog, compressed as Debian keeps it; its date is the build's (or
# SOURCE_DATE_EPOCH's, which string(TIMESTAMP) honours).
string(TIMESTAMP TOVI_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
foreach(package tovistats tovistats-service)
  set(TOVI_CHANGELOG_SOURCE tovistats)
  configure_file(packaging/changelog.Debian.in "${units}/${package}/changelog.Debian" @ONLY)
  execute_process(COMMAND gzip -9nf "${units}/${package}/changelog.Debian" RESULT_VARIABLE zipped)
  if(NOT zipped EQUAL 0)
    message(FATAL_ERROR "gzip could not compress the changelog of ${package}")
  endif()
endforeach()

# The manual pages, compressed as Debian keeps them.
set(manuals "${units}/man")
foreach(page tovistats.1 tovistats-service.8)
  configure_file(packaging/man/${page} "${manuals}/${page}" @ONLY)
  execute_process(COMMAND gzip -9nf "${manuals}/${page}" RESULT_VARIABLE zipped)
  if(NOT zipped EQUAL 0)
    message(FATAL_ERROR "gzip could not compress the manual page ${page}")
  endif()
endforeach()

if(TARGET tovistats)
  install(TARGETS tovistats RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
  install(FILES "${units}/tovistats@.service" DESTINATION ${TOVI_UNIT_DIR} COMPONENT program)
  install(FILES README.md docs/api/openapi.yaml packaging/copyright "${units}/tovistats/changelog.Debian.gz"
          DESTINATION ${TOVI_DOC_DIR} COMPONENT program)
  install(FILES packaging/instance.env DESTINATION ${TOVI_DOC_DIR}/examples COMPONENT program)
  install(DIRECTORY DESTINATION /var/lib/tovistats COMPONENT program)
  install(FILES packaging/tovistats.desktop DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications COMPONENT program)
  install(FILES packaging/tovistats.svg DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps
          COMPONENT program)
  install(FILES "${manuals}/tovistats.1.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT program)
endif()
if(TARGET tovistats-service)
  install(TARGETS tovistats-service RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT service)
  install(FILES "${units}/tovistats-service.service" DESTINATION ${TOVI_UNIT_DIR} COMPONENT service)
  install(FILES README.md packaging/copyright "${units}/tovistats-service/changelog.Debian.gz"
          DESTINATION ${TOVI_SERVICE_DOC_DIR} COMPONENT service)
  install(FILES packaging/tovistats-service.default DESTINATION ${TOVI_SERVICE_DOC_DIR}/examples COMPONENT service)
  install(FILES "${manuals}/tovistats-service.8.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT service)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tovistats)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${TOVI_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL)
if(TARGET tovistats)
  list(APPEND CPACK_COMPONENTS_ALL program)
endif()
if(TARGET tovistats-service)
  list(APPEND CPACK_COMPONENTS_ALL service)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
# A tool for a game's server, not a game: Debian keeps section games for what lives in /usr/games.
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME tovistats)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PROGRAM_PACKAGE_SUGGESTS "wine, xvfb, x11-xserver-utils")
set(CPACK_DEBIAN_PROGRAM_PACKAGE_CONTROL_EXTRA
    "${scripts_program}/postinst;${scripts_program}/prerm;${scripts_program}/postrm")
set(CPACK_COMPONENT_PROGRAM_DESCRIPTION "Companion tool for a Joint Operations: Typhoon Rising server
Tovi stats attaches to the game's server process (jointops.exe, on Linux
under Wine), reads its state once a second, shows status, players and chat
in a window or in a web panel, administers the server through its console
and reports matches to a stats web service.

tovistats --headless runs it without a window; the unit tovistats@.service
runs one such copy per game server.")

set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME tovistats-service)
set(CPACK_DEBIAN_SERVICE_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA
    "${scripts_service}/postinst;${scripts_service}/prerm;${scripts_service}/postrm")
set(CPACK_COMPONENT_SERVICE_DESCRIPTION "Stats web service for Tovi stats
tovistats-service takes the status reports and stats uploads of Tovi stats
and shows the servers, matches, players and leaderboards as web pages.")

include(CPack)
