# Hook for system files of a package (a service's configuration and its
# systemd unit):
#   kelvex_install_system_files(COMPONENT <component>
#                               [CONFIG <file>...]   -> /etc/kelvex/, conffiles
#                               [UNITS <file>...])   -> /lib/systemd/system/
# With the Debian prefix /usr they go to /etc and /lib (Debian 12's place for
# units); under any other prefix to <prefix>/etc and <prefix>/lib. CONFIG
# files are listed as the package's conffiles, so an upgrade keeps the
# administrator's edits (cmake/Packaging.cmake).
function(kelvex_install_system_files)
  cmake_parse_arguments(arg "" "COMPONENT" "CONFIG;UNITS" ${ARGN})
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(etc /etc/kelvex)
    set(units /lib/systemd/system)
  else()
    set(etc etc/kelvex)
    set(units lib/systemd/system)
  endif()
  if(arg_CONFIG)
    install(FILES ${arg_CONFIG} DESTINATION ${etc} COMPONENT ${arg_COMPONENT})
    foreach(f ${arg_CONFIG})
      get_filename_component(name ${f} NAME)
      set_property(GLOBAL APPEND PROPERTY KELVEX_CONFFILES_${arg_COMPONENT} /etc/kelvex/${name})
    endforeach()
  endif()
  if(arg_UNITS)
    install(FILES ${arg_UNITS} DESTINATION ${units} COMPONENT ${arg_COMPONENT})
  endif()
endfunction()
