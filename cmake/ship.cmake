# Code that ships on the router: small, no C++ runtime library.
#
#   ship_code(<target>)            compile flags (hidden symbols) and, for a static
#                                  or object library, the shipped ELF's runtime after
#                                  it on the link line, so the runtime serves all its
#                                  objects (tests keep the C++ runtime library)
#   ship_target(<target> [DESTINATION <dir>])
#                                  flags, tiny runtime, C linker driver (so nothing
#                                  pulls libstdc++ in silently), install rule, and
#                                  registration for the NEEDED check
# Destinations are relative to the prefix, /usr as on OpenWrt: sbin, lib, lib/rpcd.
option(APCTL_SHIP_LTO "Link-time optimisation of shipped code (smaller; the router's build)" OFF)
# OpenWrt's MIPS16 build option compiles packages this way on cores with MIPS16e
# (most router cores): about a quarter smaller, calls into MIPS32 libraries work.
option(APCTL_SHIP_MIPS16 "Shipped code in MIPS16e instructions (the router's build)" OFF)
set(APCTL_SHIP_FLAGS -Os -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -ffunction-sections -fdata-sections)
set(APCTL_SHIP_CFLAGS -Os -ffunction-sections -fdata-sections)
if(APCTL_SHIP_MIPS16)
  list(APPEND APCTL_SHIP_FLAGS -mips16 -minterlink-mips16)
  list(APPEND APCTL_SHIP_CFLAGS -mips16 -minterlink-mips16)
endif()

# Only code linked into a shared object is position-independent; programs are
# not (the toolchain decides PIE). Nothing is exported unless marked so.
function(ship_code target)
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${APCTL_SHIP_FLAGS}>
                                           $<$<COMPILE_LANGUAGE:C>:${APCTL_SHIP_CFLAGS}>)
  set_target_properties(${target} PROPERTIES CXX_VISIBILITY_PRESET hidden C_VISIBILITY_PRESET hidden
                                             VISIBILITY_INLINES_HIDDEN ON)
  if(APCTL_SHIP_LTO)
    set_target_properties(${target} PROPERTIES INTERPROCEDURAL_OPTIMIZATION ON)
  endif()
  get_target_property(type ${target} TYPE)
  if((type STREQUAL "STATIC_LIBRARY" OR type STREQUAL "OBJECT_LIBRARY") AND NOT target MATCHES "^apctl_runtime")
    # APCTL_RUNTIME of the ELF being linked (set by ship_target)
    target_link_libraries(${target} INTERFACE $<TARGET_PROPERTY:APCTL_RUNTIME>)
  endif()
endfunction()

function(ship_target target)
  cmake_parse_arguments(ARG "" "DESTINATION" "" ${ARGN})
  ship_code(${target})
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set_target_properties(${target} PROPERTIES APCTL_RUNTIME apctl_runtime)
  else()
    set_target_properties(${target} PROPERTIES APCTL_RUNTIME apctl_runtime_pic)
  endif()
  target_link_libraries(${target} PRIVATE $<TARGET_PROPERTY:APCTL_RUNTIME>)
  target_link_options(${target} PRIVATE -Wl,--gc-sections -Wl,--as-needed)
  set_target_properties(${target} PROPERTIES LINKER_LANGUAGE C)
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
