# add_unit_test(<name> SOURCES <files...> [LIBS <targets...>])
#   GoogleTest program run by CTest.
# add_system_test(<name> SCRIPT <file.py> [TIMEOUT <s>] [LABELS <labels...>])
#   Python program (standard library only) run by CTest as root; it gets
#   APCTL_BUILD, APCTL_SOURCE and PYTHONPATH=tests/lab in its environment.
find_package(GTest REQUIRED)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

function(add_unit_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS unit TIMEOUT 300)
endfunction()

function(add_system_test name)
  cmake_parse_arguments(ARG "" "SCRIPT;TIMEOUT" "LABELS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 600)
  endif()
  get_filename_component(script ${ARG_SCRIPT} ABSOLUTE)
  add_test(NAME ${name} COMMAND ${Python3_EXECUTABLE} -u ${script})
  set_tests_properties(${name} PROPERTIES
    LABELS "system;${ARG_LABELS}" TIMEOUT ${ARG_TIMEOUT}
    ENVIRONMENT "APCTL_BUILD=${CMAKE_BINARY_DIR};APCTL_SOURCE=${CMAKE_SOURCE_DIR};PYTHONPATH=${CMAKE_SOURCE_DIR}/tests/lab")
endfunction()
