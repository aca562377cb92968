# The dashboard's one third-party module, the QR encoder: pinned in
# package-lock.json, installed by npm ci, and copied here into web/vendor/
# as a single ES module, so that the page, the install rules and the
# packages carry it. Without node_modules the build only warns: the page
# still works and shows addresses without a QR code.
#
# The same file copies in script mode (cmake -DIN=.. -DOUT=.. -P this),
# leaving out the source map comment: the map is not shipped, and a
# browser's developer tools would ask the server for it.

if(CMAKE_SCRIPT_MODE_FILE)
  file(READ "${IN}" module)
  string(REGEX REPLACE "\n//# sourceMappingURL=[^\n]*" "" module "${module}")
  file(WRITE "${OUT}" "${module}")
  return()
endif()

set(KRV_QR_SOURCE ${PROJECT_SOURCE_DIR}/node_modules/@paulmillr/qr/esm/index.js)
set(KRV_QR_VENDORED ${PROJECT_SOURCE_DIR}/web/vendor/qr.js)

if(EXISTS ${KRV_QR_SOURCE})
  add_custom_command(
    OUTPUT ${KRV_QR_VENDORED}
    COMMAND ${CMAKE_COMMAND} -DIN=${KRV_QR_SOURCE} -DOUT=${KRV_QR_VENDORED} -P ${CMAKE_CURRENT_LIST_FILE}
    DEPENDS ${KRV_QR_SOURCE} ${CMAKE_CURRENT_LIST_FILE}
    COMMENT "Copying the QR encoder into web/vendor/qr.js"
    VERBATIM)
  add_custom_target(krv-web-vendor ALL DEPENDS ${KRV_QR_VENDORED})
  # Builds of the program alone (the packages) bring the module too.
  if(TARGET krv-webui)
    add_dependencies(krv-webui krv-web-vendor)
  endif()
else()
  message(WARNING "node_modules/@paulmillr/qr is missing (run npm ci): the dashboard will show addresses without a QR code")
endif()
