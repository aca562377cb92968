# The Debian package (tools/package.sh deb): the program and web/ under
# /opt/krv-webui in the layout the program finds by itself (bin/ beside
# web/), /usr/bin/krv-webui running it, a systemd user unit and the
# documentation. `cpack -G DEB` in a build folder builds nothing: it packs
# the program as last built.
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  return()
endif()

# These files live outside the prefix, so they belong to a component that
# only the package installs: `cmake --install build --prefix DIR` keeps
# giving DIR/bin and DIR/web alone, and writes nothing under /usr.
install(PROGRAMS packaging/krv-webui DESTINATION /usr/bin COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES packaging/krv-webui.service DESTINATION /usr/lib/systemd/user COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES README.md DESTINATION /usr/share/doc/krv-webui COMPONENT deb EXCLUDE_FROM_ALL)
# docs/ beside README.md, where the README's links point.
install(DIRECTORY docs/ DESTINATION /usr/share/doc/krv-webui/docs COMPONENT deb EXCLUDE_FROM_ALL)

set(KRV_DEB_MAINTAINER "Seed 8825bfe7 maintainers <maintainers@users.noreply.c-seed-8825bfe7.example>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME krv-webui)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${KRV_DEB_MAINTAINER}")
# Staging through DESTDIR is what puts the absolute destinations above into
# the package rather than into this machine's /usr; the prefix is then
# CPACK_INSTALL_PREFIX.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /opt/krv-webui)
# The project's default component and the package's own.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};krv-webui;Unspecified;/" "${CMAKE_BINARY_DIR};krv-webui;deb;/")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "KRV Chain Web Dashboard, beside a local wallet")
# The long description as dpkg shows it: lines under 80 characters.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "A small HTTP server that runs beside the KRV wallet RPC service and the\n"
  "KRV daemon and gives the browser dashboard one local address: wallets,\n"
  "balance, transfers, sending, the live wallet log and the daemon's sync\n"
  "state.\n"
  "\n"
  "Each user may start it at login with its systemd user unit\n"
  "(systemctl --user enable --now krv-webui); it then serves\n"
  "http://127.0.0.1:8880/ unless ~/.config/krv-webui/env gives other options.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends comes from the binary's libraries (libssl3 for libcrypto among
# them), through dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
