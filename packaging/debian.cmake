# Installation and the Debian package.
include(GNUInstallDirs)
install(TARGETS zelor-k3-tester zelor-k3-tester-sim zelor-k3-report
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Chart.js's MIT notice, for the copy built into zelor-k3-report.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zelor-k3-tester)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/zelor-k3-tester.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/zelor-k3-tester.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/70-zelor-k3-tester.rules DESTINATION lib/udev/rules.d)
# The README and docs/ link to each other and to the pictures by relative paths.
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zelor-k3-tester)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zelor-k3-tester)
install(FILES ${CMAKE_SOURCE_DIR}/linedb/schema.sql ${CMAKE_SOURCE_DIR}/linedb/roles.sql DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zelor-k3-tester/docs)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zelor-k3-tester)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Production tester for pairs of FT232R USB serial chips")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Production test station for ZELOR-K3 USB serial devices.
One click finds two cross-wired FTDI FT232R chips, configures them, writes
the USB description ZELOR-K3 into their EEPROMs, sends a test pattern both
ways and shows PASSED or FAILED. Every step is logged to TestingLog.txt.
Includes a simulated bench for training and demos.")
set(ZELOR_PACKAGE_MAINTAINER "ZELOR-K3 Tester team <zelor-k3-tester@localhost>"
    CACHE STRING "The Debian package's maintainer: a name and a mail address that reaches the team")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZELOR_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/packaging/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
