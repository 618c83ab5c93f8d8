# What `cmake --install` puts on a Linux system, and the Debian package CPack makes of it.
include(GNUInstallDirs)
set(NESTMEND_APP_ID org.nestmend.Nestmend)

install(TARGETS nestmend RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Stripped as Debian strips, without the compilers' notes that nothing reads.
install(CODE "execute_process(COMMAND ${CMAKE_STRIP} --strip-unneeded --remove-section=.comment
  --remove-section=.note \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/nestmend\")")
install(FILES packaging/${NESTMEND_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES packaging/${NESTMEND_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
foreach(size 16 24 32 48 64 128 256)
  install(FILES window/icons/nestmend-${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME ${NESTMEND_APP_ID}.png)
endforeach()
install(FILES window/nestmend.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
        RENAME ${NESTMEND_APP_ID}.svg)

# Debian wants manual pages and changelogs compressed, reproducibly.
find_program(NESTMEND_GZIP gzip REQUIRED)
foreach(document packaging/nestmend.1 packaging/changelog README.md)
  get_filename_component(name ${document} NAME)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${name}.gz
    COMMAND ${NESTMEND_GZIP} -9nc ${PROJECT_SOURCE_DIR}/${document} > ${CMAKE_BINARY_DIR}/${name}.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/${document} VERBATIM)
  list(APPEND NESTMEND_COMPRESSED ${CMAKE_BINARY_DIR}/${name}.gz)
endforeach()
add_custom_target(nestmend_documents ALL DEPENDS ${NESTMEND_COMPRESSED})
install(FILES ${CMAKE_BINARY_DIR}/nestmend.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES packaging/copyright ${CMAKE_BINARY_DIR}/README.md.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/nestmend)
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/nestmend
        RENAME changelog.Debian.gz)

set(CPACK_GENERATOR DEB)
# Quotes and semicolons reach the package's control file as written.
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PACKAGE_NAME nestmend)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}0")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The narrow face that shows the longest summary whole on the status line.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_CONTACT "Nestmend maintainers <${NESTMEND_MAINTAINER_EMAIL}>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "appends the closing braces a cut-off file lost")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Nestmend repairs a text data file nested in { } blocks whose end was cut off.
It counts the file's braces and appends exactly the missing \"}\" lines, in
place; every original byte stays as it was. A repair that cannot be done
completely leaves the file untouched, and the window says so.")
include(CPack)
# Building the program builds what installing it needs, so that the install never finds a part
# missing.
add_dependencies(nestmend nestmend_documents)

# Uninstalling: `cmake -P uninstall.cmake` in the build folder removes every file the install
# wrote, as its manifest lists them (under DESTDIR when one is set), and nothing else.
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/uninstall.cmake CONTENT [[
file(STRINGS "@CMAKE_BINARY_DIR@/install_manifest.txt" installed)
foreach(file IN LISTS installed)
  message(STATUS "Removing $ENV{DESTDIR}${file}")
  file(REMOVE "$ENV{DESTDIR}${file}")
endforeach()
]] @ONLY)
