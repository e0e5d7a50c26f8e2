# Code that ships on the router: small, no C++ runtime library.
#
#   ship_code(<target>)            compile flags only (static logic libraries)
#   ship_target(<target> [DESTINATION <dir>])
#                                  flags, tiny runtime, C linker driver (so nothing
#                                  pulls libstdc++ in silently), install rule, and
#                                  registration for the NEEDED check
# Destinations are relative to the prefix, /usr as on OpenWrt: sbin, lib, lib/rpcd.
set(APCTL_SHIP_FLAGS -Os -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -ffunction-sections -fdata-sections)

function(ship_code target)
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${APCTL_SHIP_FLAGS}>
                                           $<$<COMPILE_LANGUAGE:C>:-Os -ffunction-sections -fdata-sections>)
endfunction()

function(ship_target target)
  cmake_parse_arguments(ARG "" "DESTINATION" "" ${ARGN})
  ship_code(${target})
  get_target_property(type ${target} TYPE)
  target_link_libraries(${target} PRIVATE apctl_runtime)
  target_link_options(${target} PRIVATE -Wl,--gc-sections -Wl,--as-needed)
  set_target_properties(${target} PROPERTIES LINKER_LANGUAGE C)
  if(type STREQUAL "SHARED_LIBRARY" OR type STREQUAL "MODULE_LIBRARY")
    set_target_properties(${target} PROPERTIES CXX_VISIBILITY_PRESET hidden C_VISIBILITY_PRESET hidden)
  endif()
  if(NOT ARG_DESTINATION)
    if(type STREQUAL "EXECUTABLE")
      set(ARG_DESTINATION sbin)
    elseif(type STREQUAL "MODULE_LIBRARY")
      set(ARG_DESTINATION lib/rpcd)
    else()
      set(ARG_DESTINATION lib)
    endif()
  endif()
  install(TARGETS ${target} RUNTIME DESTINATION ${ARG_DESTINATION}
                            LIBRARY DESTINATION ${ARG_DESTINATION})
  set_property(GLOBAL APPEND PROPERTY APCTL_SHIPPED_TARGETS ${target})
endfunction()
