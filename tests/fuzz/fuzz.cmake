# libFuzzer targets, built only with -DAPCTL_FUZZ=ON (clang, sanitizers on).
# One folder per parser of untrusted bytes: fuzz.cpp, a CMakeLists.txt that
# calls add_fuzz_target, and a small seed corpus in corpus/. This file runs
# once every part of the tree has been added (a deferred call from
# cmake/hardening.cmake), so a target can name any library; one whose
# libraries do not exist yet is left out, and parsers still being written plug
# in by adding a folder.
#
#   add_fuzz_target(<name> SOURCES <files...> LIBS <libs...> [NEEDS <targets...>])
#     builds fuzz/fuzz_<name>; tests/fuzz/run.sh runs it on tests/fuzz/<name>/corpus.

function(add_fuzz_target name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;NEEDS" ${ARGN})
  foreach(t IN LISTS ARG_NEEDS ARG_LIBS)
    if(NOT TARGET ${t})
      message(STATUS "fuzz target ${name} left out: no target ${t}")
      return()
    endif()
  endforeach()
  list(TRANSFORM ARG_SOURCES PREPEND "${CMAKE_CURRENT_LIST_DIR}/" REGEX "^[^/]")
  add_executable(fuzz_${name} ${ARG_SOURCES})
  target_link_libraries(fuzz_${name} PRIVATE ${ARG_LIBS})
  target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
  set_target_properties(fuzz_${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  add_dependencies(fuzz_targets fuzz_${name})
  set_property(GLOBAL APPEND PROPERTY APCTL_FUZZ_TARGETS ${name})
endfunction()

function(apctl_add_fuzz_targets)
  add_custom_target(fuzz_targets)
  set_property(GLOBAL PROPERTY APCTL_FUZZ_TARGETS "")
  file(GLOB dirs LIST_DIRECTORIES true ${APCTL_FUZZ_DIR}/*)
  list(SORT dirs)
  foreach(dir IN LISTS dirs)
    if(IS_DIRECTORY ${dir} AND EXISTS ${dir}/CMakeLists.txt)
      include(${dir}/CMakeLists.txt)
    endif()
  endforeach()
  # What run.sh runs: one name a line.
  get_property(names GLOBAL PROPERTY APCTL_FUZZ_TARGETS)
  list(JOIN names "\n" text)
  file(WRITE ${CMAKE_BINARY_DIR}/fuzz/targets.txt "${text}\n")
endfunction()
