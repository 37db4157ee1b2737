# kestrel-relay's manual page and systemd units (the program itself: src/relay).
if(NOT TARGET kestrel-relay)
    return()
endif()
include(GNUInstallDirs)
if(NOT DEFINED KESTREL_SYSTEMD_UNIT_DIR)
    set(KESTREL_SYSTEMD_UNIT_DIR lib/systemd/system) # relative to the prefix
endif()

kestrel_install_man_page(kestrel-relay.1)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/kestrel-relay.socket
    ${CMAKE_CURRENT_LIST_DIR}/kestrel-relay-tls.socket
    DESTINATION ${KESTREL_SYSTEMD_UNIT_DIR})
# The service names the program where this installation puts it; the prefix is only known
# when installing (cmake --install --prefix).
install(CODE "
    file(READ \"${CMAKE_CURRENT_LIST_DIR}/kestrel-relay.service\" kestrel_relay_unit)
    string(REPLACE \"ExecStart=/usr/bin/kestrel-relay\"
        \"ExecStart=\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/kestrel-relay\"
        kestrel_relay_unit \"\${kestrel_relay_unit}\")
    set(kestrel_relay_path
        \"\${CMAKE_INSTALL_PREFIX}/${KESTREL_SYSTEMD_UNIT_DIR}/kestrel-relay.service\")
    message(STATUS \"Installing: \$ENV{DESTDIR}\${kestrel_relay_path}\")
    file(WRITE \"\$ENV{DESTDIR}\${kestrel_relay_path}\" \"\${kestrel_relay_unit}\")
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${kestrel_relay_path}\")
")
