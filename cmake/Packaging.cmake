# Installation layout for a Linux desktop and the Debian package.
include(GNUInstallDirs)

set(MZT_APP_ID com.korvant.MZT500Backup)
set(pkg ${PROJECT_SOURCE_DIR}/packaging)

foreach(tool mzt500-backup mzt500-cli)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

install(FILES ${pkg}/linux/${MZT_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${pkg}/linux/${MZT_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${pkg}/linux/mzt500-archive.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages)
foreach(size 16 32 48 64 128 256)
  install(FILES ${pkg}/linux/icons/${size}x${size}/${MZT_APP_ID}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
install(FILES ${pkg}/linux/${MZT_APP_ID}.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
# udev reads packaged rules from /lib/udev/rules.d on Debian 12.
install(FILES ${pkg}/linux/60-mzt500.rules DESTINATION /lib/udev/rules.d)

set(docdir ${CMAKE_INSTALL_DATADIR}/doc/mzt500-backup)
set(changelog_gz ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${changelog_gz}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
  COMMAND gzip -9n -c ${pkg}/debian/changelog > ${changelog_gz}
  DEPENDS ${pkg}/debian/changelog
  VERBATIM)
add_custom_target(mzt_changelog ALL DEPENDS ${changelog_gz})
install(FILES ${pkg}/debian/copyright ${changelog_gz} DESTINATION ${docdir})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mzt500-backup)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Korvant)
set(CPACK_PACKAGE_CONTACT "Korvant <mzt500@korvant.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "backup tool for Korvant MZT-500 DMX recorders")
set(CPACK_PACKAGE_DESCRIPTION
  "The MZT-500 Data Backup Tool lists the files stored in a Korvant MZT-500\n\
DMX512 lighting recorder connected over USB, copies them into archives on the\n\
computer and back, deletes files on the recorder and updates its firmware.\n\
The package holds the desktop program, the command-line companion mzt500-cli\n\
and a udev rule that gives the logged-in user access to the recorder.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://korvant.example/mzt500")
# The manual's web view runs Chromium's helper process from the first;
# the window needs the xcb platform plugin from the second.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6webenginecore6-bin, qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "shared-mime-info, desktop-file-utils")
include(CPack)
