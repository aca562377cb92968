# The dashboard's third-party modules, the QR encoder and the QR decoder,
# are committed as web/vendor/qr.js and web/vendor/jsqr.js with their
# licences beside them (the encoder is MIT or Apache-2.0, the decoder
# Apache-2.0), so that a clone built without npm serves a complete page.
# Each is the browser build of the package pinned in package-lock.json,
# less its source-map comment: the map is not shipped, and a browser's
# developer tools would ask the server for it.
#
# Script mode compares the committed copy with the installed package and
# fails on a difference (the test command runs it after npm ci); with
# UPDATE=ON it writes the copy anew, after the pin was moved:
#   cmake -DROOT=. [-DUPDATE=ON] -P cmake/web-vendor.cmake
# Configuring only warns about a difference: the build never needs npm.

set(krv_vendor_sources node_modules/@paulmillr/qr/esm/index.js node_modules/@paulmillr/qr/LICENSE
    node_modules/@paulmillr/qr/LICENSE-MIT node_modules/jsqr/dist/jsQR.js node_modules/jsqr/LICENSE)
set(krv_vendor_copies web/vendor/qr.js web/vendor/qr.LICENSE-APACHE web/vendor/qr.LICENSE-MIT web/vendor/jsqr.js
    web/vendor/jsqr.LICENSE)

# Sets ${out} to the committed copies under root that differ from the
# package (all of them when it is not installed); with update, writes them.
function(krv_vendor_check root update out)
  set(differ "")
  foreach(source copy IN ZIP_LISTS krv_vendor_sources krv_vendor_copies)
    if(NOT EXISTS "${root}/${source}")
      list(APPEND differ "${copy} (${source} is not installed: run npm ci)")
      continue()
    endif()
    file(READ "${root}/${source}" want)
    string(REGEX REPLACE "\n//# sourceMappingURL=[^\n]*" "" want "${want}")
    set(have "")
    if(EXISTS "${root}/${copy}")
      file(READ "${root}/${copy}" have)
    endif()
    if(NOT have STREQUAL want)
      if(update)
        file(WRITE "${root}/${copy}" "${want}")
      else()
        list(APPEND differ "${copy}")
      endif()
    endif()
  endforeach()
  set(${out} "${differ}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  if(NOT ROOT)
    get_filename_component(ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
  endif()
  krv_vendor_check("${ROOT}" "${UPDATE}" differ)
  if(differ)
    list(JOIN differ "\n  " text)
    message(FATAL_ERROR "web/vendor/ differs from the pinned package:\n  ${text}\n"
                        "Run: cmake -DUPDATE=ON -P cmake/web-vendor.cmake")
  endif()
  message(STATUS "web/vendor/ equals the pinned package")
  return()
endif()

if(EXISTS "${PROJECT_SOURCE_DIR}/node_modules/@paulmillr/qr")
  krv_vendor_check("${PROJECT_SOURCE_DIR}" OFF differ)
  if(differ)
    message(WARNING "web/vendor/ differs from node_modules/@paulmillr/qr: "
                    "cmake -DUPDATE=ON -P cmake/web-vendor.cmake brings it up to date")
  endif()
endif()
