# Launchers of a Python project's console-script entry points, written from
# its pyproject.toml, so that the programs the build and the packages install
# are the ones the project declares (a test holds the two in step). They run
# /usr/bin/python3 on the package where it is, offline, with no installer.
#
#   kelvex_python_launcher(SCRIPT name PYPROJECT file PACKAGE_DIR dir... OUTPUT file
#                          [LAUNCHER_DIR dir] [ARGUMENTS python-text])
# PACKAGE_DIR holds the package, then the folders of the other packages it
# imports (the lab's run hosts the ground station's), first on the path in
# that order. With LAUNCHER_DIR, where an installation puts the launcher, it
# finds them relative to itself, so that the installation may move; a build
# tree's launcher names the sources' folders.
# ARGUMENTS are the keyword arguments the entry point is called with: the
# configuration of this build or installation (paths), never module globals.
# A build tree's launcher reads the packages' compiled modules from the
# build's cache (kelvex_python_bytecode), not from the sources' folders.
#
#   kelvex_python_bytecode(TARGET name PACKAGES dir...)
# compiles the packages (folders of the sources) into that cache whenever a
# module changes: every start of a program of the build tree would compile
# them otherwise where compiled modules are not written
# (PYTHONDONTWRITEBYTECODE), and a fresh machine and a used one start alike.

set(KELVEX_BYTECODE_DIR ${PROJECT_BINARY_DIR}/pycache)
if(EXISTS /usr/bin/python3)
  set(KELVEX_LAUNCHER_PYTHON /usr/bin/python3)  # what the launchers run
else()
  find_program(KELVEX_LAUNCHER_PYTHON python3 REQUIRED)
endif()

function(kelvex_python_bytecode)
  cmake_parse_arguments(B "" "TARGET" "PACKAGES" ${ARGN})
  set(sources "")
  foreach(dir IN LISTS B_PACKAGES)
    file(GLOB_RECURSE found CONFIGURE_DEPENDS ${dir}/*.py)
    list(APPEND sources ${found})
  endforeach()
  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${B_TARGET}.stamp)
  add_custom_command(
    OUTPUT ${stamp}
    COMMAND ${KELVEX_LAUNCHER_PYTHON} -X pycache_prefix=${KELVEX_BYTECODE_DIR}
            -m compileall -q ${B_PACKAGES}
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    DEPENDS ${sources}
    COMMENT "Compiling the Python modules of ${B_TARGET}"
    VERBATIM)
  add_custom_target(${B_TARGET} ALL DEPENDS ${stamp})
endfunction()

function(kelvex_python_entry_point pyproject script out_var)
  file(STRINGS ${pyproject} lines)
  set(in_scripts FALSE)
  foreach(line IN LISTS lines)
    if(line MATCHES "^\\[")
      if(line STREQUAL "[project.scripts]")
        set(in_scripts TRUE)
      else()
        set(in_scripts FALSE)
      endif()
    elseif(in_scripts AND line MATCHES "^${script} *= *\"([A-Za-z0-9_.]+):([A-Za-z0-9_]+)\"")
      set(${out_var} "${CMAKE_MATCH_1};${CMAKE_MATCH_2}" PARENT_SCOPE)
      return()
    endif()
  endforeach()
  message(FATAL_ERROR "${pyproject} declares no entry point ${script} in [project.scripts]")
endfunction()

function(kelvex_python_launcher)
  cmake_parse_arguments(L "" "SCRIPT;PYPROJECT;OUTPUT;LAUNCHER_DIR;ARGUMENTS" "PACKAGE_DIR" ${ARGN})
  kelvex_python_entry_point(${L_PYPROJECT} ${L_SCRIPT} entry)
  list(GET entry 0 KELVEX_MODULE)
  list(GET entry 1 KELVEX_FUNCTION)
  set(KELVEX_SCRIPT ${L_SCRIPT})
  set(KELVEX_ENTRY "${KELVEX_MODULE}:${KELVEX_FUNCTION}")
  file(RELATIVE_PATH KELVEX_PYPROJECT ${PROJECT_SOURCE_DIR} ${L_PYPROJECT})
  # Each folder goes in front, the last first, so that they end in order.
  set(KELVEX_PACKAGE_PATHS "")
  foreach(dir IN LISTS L_PACKAGE_DIR)
    if(L_LAUNCHER_DIR)
      file(RELATIVE_PATH rel ${L_LAUNCHER_DIR} ${dir})
      set(path "os.path.join(os.path.dirname(os.path.realpath(__file__)), \"${rel}\")")
    else()
      set(path "\"${dir}\"")
    endif()
    string(PREPEND KELVEX_PACKAGE_PATHS "sys.path.insert(0, ${path})\n")
  endforeach()
  set(KELVEX_ARGUMENTS "${L_ARGUMENTS}")
  set(KELVEX_BUILD_CACHE "")
  if(NOT L_LAUNCHER_DIR)
    set(roots "")
    foreach(dir IN LISTS L_PACKAGE_DIR)
      string(FIND "${dir}/" "${PROJECT_SOURCE_DIR}/" in_sources)
      string(FIND "${dir}/" "${PROJECT_BINARY_DIR}/" in_build)
      if(in_sources EQUAL 0 AND NOT in_build EQUAL 0)
        list(APPEND roots "\"${dir}\"")
      endif()
    endforeach()
    if(roots)
      list(JOIN roots ", " KELVEX_BYTECODE_ROOTS)
      configure_file(${PROJECT_SOURCE_DIR}/cmake/python-build-cache.in
                     ${CMAKE_CURRENT_BINARY_DIR}/python-build-cache.txt @ONLY)
      file(READ ${CMAKE_CURRENT_BINARY_DIR}/python-build-cache.txt KELVEX_BUILD_CACHE)
      string(APPEND KELVEX_BUILD_CACHE "\n")
    endif()
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/python-launcher.in ${L_OUTPUT} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${L_PYPROJECT})
endfunction()
