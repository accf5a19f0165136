# Where `cmake --install` puts the programs, and the Debian package made
# from that (cpack -G DEB; tools/package-test.sh installs and removes it).
#
#   bin/tlxdownloader, bin/tlxdownloader-cli, bin/report-server
#   lib/zk4-downloader/TLXDownloadV32.exe   the download engine: the service
#       starts it from the user's data folder, not from PATH, so it is not
#       a command (see the README for how it gets there)
#   share/applications, share/icons/hicolor, share/man/man1 (resources/)
include(GNUInstallDirs)

install(TARGETS tlxdownloader tlxdownloader-cli report-server
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS tlx-engine RUNTIME DESTINATION ${CMAKE_INSTALL_LIBDIR}/zk4-downloader)
# Debian's place for a package's documents: its name, not the project's.
set(zk4_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/zk4-downloader)
install(FILES README.md resources/debian/copyright DESTINATION ${zk4_doc_dir})
configure_file(resources/debian/changelog.in ${CMAKE_BINARY_DIR}/debian/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/debian/changelog.gz
  COMMAND gzip -9 -n -c ${CMAKE_BINARY_DIR}/debian/changelog > ${CMAKE_BINARY_DIR}/debian/changelog.gz
  DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog)
add_custom_target(zk4_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/debian/changelog.gz DESTINATION ${zk4_doc_dir})

set(CPACK_PACKAGE_NAME "zk4-downloader")
set(CPACK_PACKAGE_VENDOR "ZK4 Downloader")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Game downloader for ZK4: file list, download, installer")
# One line of the extended description per line here (at most 80 columns).
set(CPACK_PACKAGE_DESCRIPTION
    "Fetches the game's file list from the publisher's patch server, downloads\nevery file over HTTP or HTTPS with resume and retries, shows progress in a\nskinned window or a terminal, and starts the downloaded installer.")
set(CPACK_PACKAGE_CONTACT "ZK4 Downloader maintainers <maintainers@zk4.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# A downloader (of a game, but not a game itself).
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# The libraries the programs link decide the dependencies (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The menu entry and icons take effect through the desktop's triggers.
# The window speaks Chinese: without a CJK font its texts are boxes.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-noto-cjk | fonts-wqy-microhei")
set(CPACK_GENERATOR "DEB")
include(CPack)
