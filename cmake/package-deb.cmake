# What an operator installs on Linux: the server, its manual page and a systemd unit, with
# "cmake --install" or as the Debian package vantrel-server_<version>_amd64.deb.

include(GNUInstallDirs)
include(CheckPIESupported)

# The hardening Debian expects of a network daemon: fortified string functions, a stack
# protector, a position-independent program and a read-only relocation table resolved at load.
# Not in the sanitized Debug build, where fortification and ASan get in each other's way.
if(NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
    check_pie_supported()
    foreach(target vantrel-server vantrel_room)
        set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
        target_compile_options(${target} PRIVATE -fstack-protector-strong)
        target_compile_definitions(${target} PRIVATE _FORTIFY_SOURCE=2)
    endforeach()
    target_link_options(vantrel-server PRIVATE -Wl,-z,relro,-z,now)
endif()

# Text files Debian wants compressed, made at configure time like the files they come from, so
# that cpack finds them whichever targets were built.
set(vantrel_deb_files ${PROJECT_BINARY_DIR}/deb)
function(vantrel_gzip from to)
    execute_process(COMMAND gzip -9n -c ${from} OUTPUT_FILE ${to} COMMAND_ERROR_IS_FATAL ANY)
endfunction()

install(TARGETS vantrel-server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The compilers' version strings: of no use in an installed program, and strip leaves them.
install(CODE "
    execute_process(COMMAND ${CMAKE_OBJCOPY} --remove-section=.comment
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/vantrel-server\"
        COMMAND_ERROR_IS_FATAL ANY)
")
configure_file(${PROJECT_SOURCE_DIR}/resources/vantrel-server.1.in
               ${vantrel_deb_files}/vantrel-server.1 @ONLY)
vantrel_gzip(${vantrel_deb_files}/vantrel-server.1 ${vantrel_deb_files}/vantrel-server.1.gz)
install(FILES ${vantrel_deb_files}/vantrel-server.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# A native version such as 1.0.0 has its changelog as changelog.gz, beside the licence in the
# machine-readable form, built from LICENSE so the two cannot drift apart.
configure_file(${PROJECT_SOURCE_DIR}/resources/debian/changelog.in
               ${vantrel_deb_files}/changelog @ONLY)
vantrel_gzip(${vantrel_deb_files}/changelog ${vantrel_deb_files}/changelog.gz)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE vantrel_license_text)
string(REGEX REPLACE "^.*Copyright[^\n]*\n\n" "" vantrel_license_text "${vantrel_license_text}")
string(STRIP "${vantrel_license_text}" vantrel_license_text)
string(REPLACE "\n\n" "\n.\n" vantrel_license_text "${vantrel_license_text}")
string(REPLACE "\n" "\n " vantrel_license_text "${vantrel_license_text}")
file(WRITE ${vantrel_deb_files}/copyright
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: Vantrel\n"
     "\n"
     "Files: *\n"
     "Copyright: 2026 The Vantrel authors\n"
     "License: Expat\n"
     " ${vantrel_license_text}\n")
install(FILES ${vantrel_deb_files}/changelog.gz ${vantrel_deb_files}/copyright
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/vantrel-server)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)

# Options for the service, a conffile that upgrades leave as the administrator wrote it.
install(FILES ${PROJECT_SOURCE_DIR}/resources/debian/default DESTINATION /etc/default
        RENAME vantrel-server)

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
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "group chat server for Vantrel clients")
# One line of the control file per line here (CPack indents them), blank lines between paragraphs.
set(CPACK_PACKAGE_DESCRIPTION
    "The chat room that Vantrel, a small Japanese group chat program for Windows,
connects to on TCP port 2000. It relays every member's lines, in Shift-JIS
as sent, and the member list to all members, and logs joins, leaves and
refusals.

Every line is kept, for a week by default, in an SQLite file in
/var/lib/vantrel-server before it is relayed, so that clients that speak the
history extension catch up on what they missed, even across a restart of the
server, and a line they send again after a lost connection is relayed once.

Limits keep one misbehaving program from shutting the room: a deadline for
the hello, caps on connections in all and per address, an optional list of
allowed networks, and a ceiling on what a slow reader may leave unsent.

The package runs the server as a hardened systemd service under a dynamic
user, with its options in /etc/default/vantrel-server.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# dpkg-shlibdeps (dpkg-dev) works out the Depends from the shared libraries the program links,
# libc, libstdc++ and libsqlite3, each at the least version whose symbols the program uses.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/resources/debian/conffiles
    ${PROJECT_SOURCE_DIR}/resources/debian/postinst
    ${PROJECT_SOURCE_DIR}/resources/debian/prerm
    ${PROJECT_SOURCE_DIR}/resources/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
