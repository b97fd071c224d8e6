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
  configure_file(${PROJECT_SOURCE_DIR}/cmake/python-launcher.in ${L_OUTPUT} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${L_PYPROJECT})
endfunction()
