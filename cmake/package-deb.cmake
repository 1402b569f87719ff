# What an operator installs on Linux: the server, its manual page and a systemd unit, with
# "cmake --install" or as the Debian package vantrel-server_<version>_amd64.deb.

include(GNUInstallDirs)

install(TARGETS vantrel-server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
configure_file(${PROJECT_SOURCE_DIR}/resources/vantrel-server.1.in
               ${PROJECT_BINARY_DIR}/vantrel-server.1 @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vantrel-server.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The unit names the program by its installed path, which is only known at install time:
# "cmake --install --prefix" and cpack each choose their own.
set(vantrel_unit ${PROJECT_BINARY_DIR}/vantrel-server.service)
install(CODE "
    set(VANTREL_SERVER_PROGRAM \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/vantrel-server\")
    configure_file(\"${PROJECT_SOURCE_DIR}/resources/vantrel-server.service.in\"
                   \"${vantrel_unit}\" @ONLY)
")
install(FILES ${vantrel_unit} DESTINATION lib/systemd/system)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vantrel-server)
set(CPACK_PACKAGE_VENDOR "Vantrel Project")
set(CPACK_PACKAGE_CONTACT "Vantrel Project <vantrel@example.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Vantrel group chat server")
set(CPACK_PACKAGE_DESCRIPTION
    "The chat room Vantrel clients connect to on TCP port 2000: relays every member's lines and "
    "the member list to all, with limits that keep one misbehaving program from shutting the "
    "room.  Runs as a systemd service under a dynamic user.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# dpkg-shlibdeps (dpkg-dev) works out the libc and libstdc++ versions the program needs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
