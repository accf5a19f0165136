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
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME "zk4-downloader")
set(CPACK_PACKAGE_VENDOR "ZK4 Downloader")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Game downloader for ZK4: file list, download, installer")
set(CPACK_PACKAGE_DESCRIPTION
    "Fetches the game's file list from the publisher's patch server, downloads every file over HTTP or HTTPS with resume and retries, shows progress in a skinned window or a terminal, and starts the downloaded installer.")
set(CPACK_PACKAGE_CONTACT "ZK4 Downloader maintainers <maintainers@zk4.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "games")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# The libraries the programs link decide the dependencies (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The menu entry and icons take effect through the desktop's triggers.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk")
set(CPACK_GENERATOR "DEB")
include(CPack)
