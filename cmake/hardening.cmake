# Hardening builds, chosen by the options declared in the top-level CMakeLists.txt:
#   APCTL_SANITIZE   everything with AddressSanitizer and UndefinedBehaviorSanitizer
#   APCTL_FUZZ       the libFuzzer targets of tests/fuzz (clang; implies the sanitizers)
#   APCTL_PURE_ONLY  only the byte-order-sensitive pure libraries and their unit tests
#                    (the big-endian cross build; see cmake/pure.cmake)
# Included before any target exists, so the flags reach every target.

set(APCTL_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all
    -fno-omit-frame-pointer)

if(APCTL_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "APCTL_FUZZ needs clang (libFuzzer): -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang")
  endif()
  set(APCTL_SANITIZE ON)
  # Coverage feedback from every library; only the fuzz targets link the fuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link)
  # Added once every part has been added, so targets can check what exists.
  set(APCTL_FUZZ_DIR ${CMAKE_SOURCE_DIR}/tests/fuzz)
  include(${APCTL_FUZZ_DIR}/fuzz.cmake)
  cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL apctl_add_fuzz_targets)
endif()

if(APCTL_SANITIZE)
  add_compile_options(${APCTL_SANITIZER_FLAGS})
  add_link_options(-fsanitize=address,undefined)
endif()

if(APCTL_PURE_ONLY)
  include(${CMAKE_CURRENT_LIST_DIR}/pure.cmake)
endif()
