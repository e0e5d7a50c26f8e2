# APCTL_PURE_ONLY: the pure libraries whose bytes depend on the byte order and
# their unit tests, nothing that needs json-c, the bus or a socket. Made for
# the big-endian cross build (cmake/mips-linux-gnu.cmake, `make test-mips`),
# where the same golden bytes must hold as on the host. The tests are
# listed in tests/cross/CMakeLists.txt.
include(${CMAKE_CURRENT_LIST_DIR}/ship.cmake)
enable_testing()

# GoogleTest from the sources libgtest-dev ships, built with this build's compiler.
set(APCTL_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${APCTL_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# As in cmake/testing.cmake; add_test runs the program through the emulator.
function(add_unit_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} gtest gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS unit TIMEOUT 600)
endfunction()

add_subdirectory(common)
# Each component declares its pure library first and stops there in this build.
add_subdirectory(platform/ubox)
add_library(plat_ubox INTERFACE)
target_link_libraries(plat_ubox INTERFACE ubox)
foreach(part platform/ubus acd tallier fwsum provisioning/libbulk)
  add_subdirectory(${part})
endforeach()
add_subdirectory(tests/cross)
