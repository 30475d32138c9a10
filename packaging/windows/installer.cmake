# Windows: the programs with the DLLs they load, in the build tree (so they
# and the tests run there, under wine too) and in the NSIS installer.

# Qt's DLLs and the plugins the programs load; the offscreen platform is for
# the tests only.
set(ZELOR_QT_DLLS $<TARGET_FILE:Qt6::Core> $<TARGET_FILE:Qt6::Gui> $<TARGET_FILE:Qt6::Widgets>)
set(ZELOR_QT_PLATFORMS $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin>)
set(ZELOR_QT_STYLES $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin>)

# The mingw-w64 runtime the compiler links against (posix threads).
set(ZELOR_MINGW_DLLS)
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
    message(FATAL_ERROR "The mingw-w64 runtime ${dll} was not found (${path})")
  endif()
  list(APPEND ZELOR_MINGW_DLLS ${path})
endforeach()

set(ZELOR_TEST_FONT /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf CACHE FILEPATH
    "A font for the offscreen platform the tests run on")

# Every program of the build, tests included, lands in bin/ beside them.
add_custom_target(windows-runtime ALL
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/bin/platforms
          ${CMAKE_BINARY_DIR}/bin/styles
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${ZELOR_QT_DLLS} $<TARGET_FILE:Qt6::Test>
          ${ZELOR_MINGW_DLLS} ${ZELOR_LIBPQ_DLLS} ${CMAKE_BINARY_DIR}/bin
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${ZELOR_QT_PLATFORMS}
          $<TARGET_FILE:Qt6::QOffscreenIntegrationPlugin> ${CMAKE_BINARY_DIR}/bin/platforms
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${ZELOR_QT_STYLES} ${CMAKE_BINARY_DIR}/bin/styles
  # The offscreen platform brings no fonts: it looks in lib/fonts of Qt's
  # prefix, which is the folder of Qt6Core.dll here.
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/bin/lib/fonts
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${ZELOR_TEST_FONT} ${CMAKE_BINARY_DIR}/bin/lib/fonts
  COMMENT "Qt, mingw-w64, libpq and OpenSSL DLLs beside the programs"
  VERBATIM)

install(TARGETS zelor-k3-tester zelor-k3-tester-sim zelor-k3-report RUNTIME DESTINATION .)
# Chart.js's MIT notice beside zelor-k3-report, which carries Chart.js.
install(FILES ${CMAKE_SOURCE_DIR}/report/chartjs-notice.txt DESTINATION . RENAME Chart.js-LICENSE.txt)
install(FILES ${ZELOR_QT_DLLS} ${ZELOR_MINGW_DLLS} ${ZELOR_LIBPQ_DLLS} DESTINATION .)
install(FILES ${ZELOR_QT_PLATFORMS} DESTINATION platforms)
install(FILES ${ZELOR_QT_STYLES} DESTINATION styles)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION doc)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs DESTINATION doc)
install(FILES ${CMAKE_SOURCE_DIR}/linedb/schema.sql ${CMAKE_SOURCE_DIR}/linedb/roles.sql DESTINATION doc/docs)

set(CPACK_GENERATOR NSIS)
set(CPACK_PACKAGE_NAME zelor-k3-tester)
set(CPACK_PACKAGE_VENDOR "ZELOR-K3 Tester team")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Production tester for pairs of FT232R USB serial chips")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "ZELOR-K3 Tester")
set(CPACK_PACKAGE_FILE_NAME zelor-k3-tester-${PROJECT_VERSION}-windows-x64)
set(CPACK_NSIS_PACKAGE_NAME "ZELOR-K3 Tester")
set(CPACK_NSIS_DISPLAY_NAME "ZELOR-K3 Tester ${PROJECT_VERSION}")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
# A 64-bit installer, as the programs are: it needs no 32-bit Windows layer.
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
set(CPACK_NSIS_MUI_ICON ${CMAKE_SOURCE_DIR}/packaging/windows/zelor-k3-tester.ico)
set(CPACK_NSIS_MUI_UNIICON ${CMAKE_SOURCE_DIR}/packaging/windows/zelor-k3-tester.ico)
set(CPACK_NSIS_INSTALLED_ICON_NAME zelor-k3-tester.exe)
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
# The station writes TestingLog.txt to the folder it starts in: the menu
# starts it in the operator's own profile folder, which exists for every
# user and is theirs to write, never in Program Files. Windows expands the
# variable when the shortcut is used.
set(CPACK_NSIS_CREATE_ICONS_EXTRA "
  StrCpy $OUTDIR '%USERPROFILE%'
  CreateShortCut '$SMPROGRAMS\\\\$STARTMENU_FOLDER\\\\ZELOR-K3 Tester.lnk' '$INSTDIR\\\\zelor-k3-tester.exe'
  SetOutPath '$INSTDIR'")
set(CPACK_NSIS_DELETE_ICONS_EXTRA "
  Delete '$SMPROGRAMS\\\\$MUI_TEMP\\\\ZELOR-K3 Tester.lnk'")
include(CPack)
