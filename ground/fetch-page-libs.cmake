# Fetches the page's browser libraries, pinned with their checksums in
# package-lock.json, into the build tree and copies the files the page loads
# into VENDOR_DIR. Run as: cmake -DNPM=... -DSOURCE_DIR=... -DWORK_DIR=...
#                                -DVENDOR_DIR=... -P fetch-page-libs.cmake
file(MAKE_DIRECTORY ${WORK_DIR})
configure_file(${SOURCE_DIR}/package.json ${WORK_DIR}/package.json COPYONLY)
configure_file(${SOURCE_DIR}/package-lock.json ${WORK_DIR}/package-lock.json COPYONLY)
# npm ci installs exactly the locked versions and fails on a checksum that
# differs; no package gets to run an install script on this machine.
execute_process(
  COMMAND ${NPM} ci --ignore-scripts --no-audit --no-fund --fetch-retries=1 --fetch-timeout=60000
  WORKING_DIRECTORY ${WORK_DIR}
  RESULT_VARIABLE status
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output
  TIMEOUT 600)
if(NOT status EQUAL 0)
  message(FATAL_ERROR
    "The ground station's page needs uPlot from the npm registry, and `npm ci` "
    "failed (${status}). Is the npm registry reachable from this machine "
    "(npm config get registry)?\n${output}")
endif()
set(dist ${WORK_DIR}/node_modules/uplot/dist)
foreach(f uPlot.iife.min.js uPlot.min.css)
  if(NOT EXISTS ${dist}/${f})
    message(FATAL_ERROR "npm ci succeeded but ${dist}/${f} is missing")
  endif()
  file(COPY ${dist}/${f} DESTINATION ${VENDOR_DIR})
endforeach()
file(COPY ${WORK_DIR}/node_modules/uplot/LICENSE DESTINATION ${VENDOR_DIR})
file(RENAME ${VENDOR_DIR}/LICENSE ${VENDOR_DIR}/uPlot.LICENSE)
