# Debian packages, one per install component:
#
#   libkelvex         both shared libraries, libkelvex.so and libkelvex-dev.so
#   kelvex-dev        headers, pkg-config file, CMake package config
#   python3-kelvex    the _kelvex module for Debian's python3 (when built)
#   kelvex-examples   the example missions (sources)
#   kelvex-sim        virtual satellite and ground station (desk builds only)
#
# No package is called libkelvex-dev: that is the name of one of the two
# libraries, and a Debian user reads "-dev" as headers. The two libraries
# resolve each other's names when a mission is loaded, so they travel
# together in one runtime package.
#
#   cmake --build <dir> --target package      (or: cd <dir> && cpack)
#
# Every package carries /usr/share/doc/<package>/copyright (machine-readable,
# packaging/copyright) and changelog.Debian.gz (packaging/changelog, whose
# first entry must name the version built), and the lintian overrides of
# packaging/lintian/<package>, each with the reason it is there.
# scripts/ci/packages runs lintian over the results.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelvex)
set(CPACK_PACKAGE_VENDOR "kelvex")
# Maintainer field; the packages' changelog (packaging/changelog) signs with
# the same address.
set(KELVEX_PACKAGE_CONTACT "kelvex maintainers <kelvex@kelvex.invalid>" CACHE STRING
    "Maintainer of the Debian packages (name <address>)")
set(CPACK_PACKAGE_CONTACT "${KELVEX_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "on-board software of an educational satellite kit")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Debian packages install under /usr; configure with CMAKE_INSTALL_PREFIX=/usr
# (the armhf and package presets do) so that the libraries land in the
# multiarch directory and the pkg-config file names the same place.
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(STATUS "Packages will install under ${CMAKE_INSTALL_PREFIX}; Debian's place is /usr")
endif()
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "")
set(CPACK_STRIP_FILES ON)
if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  find_program(KELVEX_DPKG dpkg)
  if(KELVEX_DPKG)
    execute_process(COMMAND ${KELVEX_DPKG} --print-architecture
                    OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
  endif()
endif()

set(_version "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")

# component -> package
set(KELVEX_PACKAGE_libraries libkelvex)
set(KELVEX_PACKAGE_development kelvex-dev)
set(KELVEX_PACKAGE_python python3-kelvex)
set(KELVEX_PACKAGE_examples kelvex-examples)
set(KELVEX_PACKAGE_desktop kelvex-sim)

file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog _top LIMIT_COUNT 1)
if(NOT _top MATCHES "^kelvex \\(${_version}\\) ")
  message(FATAL_ERROR "packaging/changelog: the first entry is '${_top}', "
                      "but the packages are version ${_version}; add an entry")
endif()
# dpkg wants the changelog compressed without a time stamp, so that two
# builds give the same bytes.
find_program(KELVEX_GZIP gzip REQUIRED)
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/packaging)
execute_process(COMMAND ${KELVEX_GZIP} -9nc ${PROJECT_SOURCE_DIR}/packaging/changelog
                OUTPUT_FILE ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz
                RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "gzip failed on packaging/changelog")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog)

# The files every package carries; called for each component packaged.
function(kelvex_package_files component)
  set(pkg ${KELVEX_PACKAGE_${component}})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright
                ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${pkg} COMPONENT ${component})
  if(EXISTS ${PROJECT_SOURCE_DIR}/packaging/lintian/${pkg})
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian/${pkg}
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides COMPONENT ${component})
  endif()
endfunction()

# What the compiled parts need from Debian 12 (the C library, and the C++
# runtime the libraries are written in); the same on amd64 and armhf.
set(_native_depends "libc6 (>= 2.36), libgcc-s1 (>= 3.5), libstdc++6 (>= 12)")

set(CPACK_DEBIAN_LIBRARIES_PACKAGE_NAME libkelvex)
set(CPACK_DEBIAN_LIBRARIES_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBRARIES_PACKAGE_DEPENDS "${_native_depends}")
# Photo uploads run curl, photos the capture tool streamer.
set(CPACK_DEBIAN_LIBRARIES_PACKAGE_RECOMMENDS "curl")
set(CPACK_DEBIAN_LIBRARIES_PACKAGE_SUGGESTS "streamer")
set(CPACK_DEBIAN_LIBRARIES_DESCRIPTION
  "kelvex satellite kit: device library and mission runner\n\
 libkelvex.so: the device API, battery model, COBS codec and serial line.\n\
 libkelvex-dev.so: the mission runner (program entry), request transport,\n\
 ground log and GPIO. A mission program links both.")
# The libraries are in the multiarch directory: refresh the loader's cache.
file(WRITE ${PROJECT_BINARY_DIR}/packaging/libraries/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_LIBRARIES_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/libraries/triggers)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME kelvex-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libkelvex (= ${_version}), libc6-dev | libc-dev")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_RECOMMENDS "gcc | c-compiler, pkg-config")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
  "kelvex satellite kit: files to build missions\n\
 C headers, the pkg-config file (kelvex) and the CMake package\n\
 (find_package(kelvex), target kelvex::mission) for building a mission\n\
 against libkelvex.so and libkelvex-dev.so.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-kelvex)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_DESCRIPTION
  "kelvex satellite kit: Python module\n\
 The _kelvex module: the whole device API for Python mission scripts.\n\
 It carries its own copy of the libraries' code.")

set(CPACK_DEBIAN_EXAMPLES_PACKAGE_NAME kelvex-examples)
set(CPACK_DEBIAN_EXAMPLES_PACKAGE_SECTION doc)
set(CPACK_DEBIAN_EXAMPLES_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_EXAMPLES_PACKAGE_RECOMMENDS "kelvex-dev")
set(CPACK_DEBIAN_EXAMPLES_PACKAGE_SUGGESTS "python3-kelvex")
set(CPACK_DEBIAN_EXAMPLES_DESCRIPTION
  "kelvex satellite kit: example missions\n\
 Mission sources to build against kelvex-dev.")

set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME kelvex-sim)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_SECTION science)
# The station and the camera stand-in are Python (pyftpdlib for the uploads,
# PIL for the pictures), kelvex-plot draws with matplotlib, and the missions
# it flies upload their photos with curl.
set(CPACK_DEBIAN_DESKTOP_PACKAGE_DEPENDS
  "${_native_depends}, python3, python3-pyftpdlib, python3-pil, python3-matplotlib, curl")
set(CPACK_DEBIAN_DESKTOP_PACKAGE_SUGGESTS "python3-paho-mqtt, mosquitto")
set(CPACK_DEBIAN_DESKTOP_DESCRIPTION
  "kelvex satellite kit: virtual satellite and ground station\n\
 kelvex-sim runs missions against a simulated bus controller on a\n\
 pseudo-terminal; kelvex-ground receives log lines and photos.")

set(CPACK_COMPONENTS_ALL libraries development examples)
if(KELVEX_BUILD_PYTHON)
  list(APPEND CPACK_COMPONENTS_ALL python)
  # The module is built for one python3 version (its ABI tag is in the file
  # name): the one the python/ directory found.
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  math(EXPR _py_next "${Python3_VERSION_MINOR} + 1")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}~), python3 (<< ${Python3_VERSION_MAJOR}.${_py_next}), ${_native_depends}")
endif()
if(KELVEX_BUILD_SIM)
  list(APPEND CPACK_COMPONENTS_ALL desktop)
  # The lab's and the station's modules are compiled where they are
  # installed, as Debian compiles a Python package's (the package ships
  # sources only): every run starts them, and would compile them each time
  # where compiled modules are not written.
  set(_scripts ${PROJECT_BINARY_DIR}/packaging/desktop-scripts)
  file(WRITE ${_scripts}/postinst
    "#!/bin/sh\nset -e\nif [ \"$1\" = configure ] && command -v py3compile >/dev/null 2>&1; then\n"
    "    py3compile -p kelvex-sim ${CMAKE_INSTALL_FULL_DATADIR}/kelvex\nfi\n")
  file(WRITE ${_scripts}/prerm
    "#!/bin/sh\nset -e\nif command -v py3clean >/dev/null 2>&1; then\n"
    "    py3clean -p kelvex-sim\nfi\n")
  file(CHMOD ${_scripts}/postinst ${_scripts}/prerm
       PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                   WORLD_READ WORLD_EXECUTE)
  set(CPACK_DEBIAN_DESKTOP_PACKAGE_CONTROL_EXTRA ${_scripts}/postinst ${_scripts}/prerm)
endif()

# Files under /etc that cmake/SystemFiles.cmake installed become conffiles.
foreach(component ${CPACK_COMPONENTS_ALL})
  kelvex_package_files(${component})
  get_property(_conffiles GLOBAL PROPERTY KELVEX_CONFFILES_${component})
  if(_conffiles)
    string(TOUPPER ${component} _c)
    string(REPLACE ";" "\n" _lines "${_conffiles}")
    file(WRITE ${PROJECT_BINARY_DIR}/packaging/${component}/conffiles "${_lines}\n")
    list(APPEND CPACK_DEBIAN_${_c}_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/${component}/conffiles)
  endif()
endforeach()

include(CPack)
