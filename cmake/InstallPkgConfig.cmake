# Install step: writes kelvex.pc for the prefix being installed into, before
# the file itself is installed. pkg-config reads a blank as the end of a
# value unless it is escaped.
string(REPLACE " " "\\ " KELVEX_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
configure_file("${KELVEX_PC_TEMPLATE}" "${KELVEX_PC_OUTPUT}" @ONLY)
