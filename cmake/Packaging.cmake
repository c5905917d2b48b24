# Installation layout for a Linux desktop and the Debian package.
include(GNUInstallDirs)

set(MZT_APP_ID com.korvant.MZT500Backup)
set(pkg ${PROJECT_SOURCE_DIR}/packaging)

mzt_require_targets(packaging mzt500-backup mzt500-cli)
install(TARGETS mzt500-backup mzt500-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

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
# The udev rule goes where udev reads packaged rules when installing to /usr
# (the package); under any other prefix it stays inside the prefix, so that
# `cmake --install build --prefix ~/.local` needs no root. udev reads
# /usr/local/lib/udev/rules.d itself; a rule under a home folder has to be
# copied to /etc/udev/rules.d (README). The prefix is only known at install
# time (--prefix, or CPack's /usr), hence the script.
pkg_get_variable(MZT_UDEVDIR udev udevdir)
if(NOT MZT_UDEVDIR)
  set(MZT_UDEVDIR /lib/udev)
endif()
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(mzt_rules_dir \"${MZT_UDEVDIR}/rules.d\")
  else()
    set(mzt_rules_dir \"\${CMAKE_INSTALL_PREFIX}/lib/udev/rules.d\")
  endif()
  file(INSTALL DESTINATION \"\${mzt_rules_dir}\" TYPE FILE
       FILES \"${pkg}/linux/60-mzt500.rules\")
")

# The systemd user unit that runs `mzt500-cli watch`, for those who prefer
# it to the autostart entry (`mzt500-cli watch --enable`). It names the
# program by its installed path, known only at install time. The package's
# goes where Debian keeps user units; any other prefix uses its
# share/systemd/user, which systemd reads for /usr/local and ~/.local.
install(CODE "
  set(MZT_WATCH_PROGRAM \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/mzt500-cli\")
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(mzt_units_dir \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/user\")
  else()
    set(mzt_units_dir \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/systemd/user\")
  endif()
  configure_file(\"${pkg}/linux/mzt500-watch.service.in\"
                 \"${CMAKE_BINARY_DIR}/packaging/mzt500-watch.service\" @ONLY)
  file(INSTALL DESTINATION \"\${mzt_units_dir}\" TYPE FILE
       FILES \"${CMAKE_BINARY_DIR}/packaging/mzt500-watch.service\")
")

# Manual pages: roff sources that carry the version and release date, gzipped
# as Debian wants them. The date is the newest changelog entry's.
file(STRINGS ${pkg}/debian/changelog mzt_changelog_trailers REGEX "^ -- ")
list(GET mzt_changelog_trailers 0 mzt_last_trailer)
string(REGEX MATCH "[0-9]+ [A-Z][a-z]+ [0-9]+" MZT_RELEASE_DATE "${mzt_last_trailer}")
set(man_pages)
foreach(page mzt500-backup mzt500-cli)
  configure_file(${pkg}/man/${page}.1.in ${CMAKE_BINARY_DIR}/packaging/man/${page}.1 @ONLY)
  set(page_gz ${CMAKE_BINARY_DIR}/packaging/man/${page}.1.gz)
  add_custom_command(OUTPUT ${page_gz}
    COMMAND gzip -9n -c ${CMAKE_BINARY_DIR}/packaging/man/${page}.1 > ${page_gz}
    DEPENDS ${CMAKE_BINARY_DIR}/packaging/man/${page}.1
    VERBATIM)
  list(APPEND man_pages ${page_gz})
endforeach()
add_custom_target(mzt_man_pages ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# bash-completion loads completions by command name from
# <data dir>/bash-completion/completions, ~/.local/share included.
install(FILES ${pkg}/completion/mzt500-cli
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

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
