# kestrel-relay's manual page and systemd units (the program itself: src/relay).
if(NOT TARGET kestrel-relay)
    return()
endif()
include(GNUInstallDirs)
set(KESTREL_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd units go, relative to the installation prefix")

install(FILES ${CMAKE_CURRENT_LIST_DIR}/kestrel-relay.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/kestrel-relay.socket
    DESTINATION ${KESTREL_SYSTEMD_UNIT_DIR})
# The unit names the program where this installation puts it.
file(READ ${CMAKE_CURRENT_LIST_DIR}/kestrel-relay.service kestrel_relay_service)
string(REPLACE "ExecStart=/usr/bin/kestrel-relay"
    "ExecStart=${CMAKE_INSTALL_FULL_BINDIR}/kestrel-relay" kestrel_relay_service
    "${kestrel_relay_service}")
file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/kestrel-relay.service
    CONTENT "${kestrel_relay_service}")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kestrel-relay.service
    DESTINATION ${KESTREL_SYSTEMD_UNIT_DIR})
