# The Debian package: cpack -G DEB in the build folder (or the target "package") writes
# kestrel_<version>_<arch>.deb with what the install rules put under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrel)
set(CPACK_PACKAGE_VENDOR "kestrel developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "chat and test lines over TCP and UDP")
set(CPACK_PACKAGE_DESCRIPTION [=[
kestrel is a small desktop tool for chatting over TCP and UDP on a LAN, and
for testing lines, ports and peers (nc, socat, telnet, scripts, other copies
of itself). One program offers three modes, each in a window of its own:
 - a TCP chat server that relays every line any client sends to all clients;
 - a TCP chat client that connects under a handle name of up to ten characters;
 - a UDP messenger that sends framed text blocks on the port pair 777/778.
The package lets kestrel bind these ports below 1024 without root by giving
/usr/bin/kestrel the capability cap_net_bind_service.]=])
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KESTREL_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Libraries from what the binaries link; setcap for the postinst.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcap2-bin, libqt6core6 (>= ${KESTREL_QT_MIN_VERSION})")
# The windows' texts are partly Japanese.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fonts-ipafont-gothic)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/debian/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Seen by the install rules while CPack stages the package (see the setcap step).
set(CPACK_CUSTOM_INSTALL_VARIABLES KESTREL_STAGING_PACKAGE=ON)
include(CPack)

# What Debian asks of every package's documentation folder.
configure_file(debian/changelog.in debian/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E copy debian/changelog changelog
    COMMAND ${KESTREL_GZIP} -9nf changelog
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
install(FILES debian/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
