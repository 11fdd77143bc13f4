# Shared helpers for the project's CMake files.

set(VELBOR_WARNINGS -Wall -Wextra)
# Clang checks the lock annotations of platform/ThreadSafety.h (scripts/build.sh threads).
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  list(APPEND VELBOR_WARNINGS -Wthread-safety)
endif()
# The test build keeps our own code free of warnings; generated code is not ours.
if(VELBOR_WERROR)
  list(APPEND VELBOR_WARNINGS -Werror)
endif()

# velbor_library(<target> SOURCES <files...> [DEPS <targets...>])
# A static library of one source folder; headers are included as "folder/Class.h" from src/.
function(velbor_library target)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${target} STATIC ${ARG_SOURCES})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src ${PROJECT_BINARY_DIR}/src)
  target_compile_options(${target} PRIVATE ${VELBOR_WARNINGS})
  target_link_libraries(${target} PUBLIC ${ARG_DEPS})
endfunction()

# velbor_test(<target> LABEL <label> SOURCES <files...> [DEPS <targets...>] [TIMEOUT <seconds>]
#             [ENV <NAME=value...>] [SERIAL])
# One GoogleTest executable; every test case becomes a CTest test carrying the label. SERIAL
# runs each of its cases while no other test runs.
function(velbor_test target)
  cmake_parse_arguments(ARG "SERIAL" "LABEL;TIMEOUT" "SOURCES;DEPS;ENV" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${target} ${ARG_SOURCES})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests ${PROJECT_SOURCE_DIR}/src)
  target_compile_options(${target} PRIVATE ${VELBOR_WARNINGS})
  target_link_libraries(${target} PRIVATE ${ARG_DEPS} velbor_testsupport GTest::gtest GTest::gmock)
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS ${ARG_LABEL} TIMEOUT ${ARG_TIMEOUT} RUN_SERIAL ${ARG_SERIAL}
    ENVIRONMENT "VELBOR_TEST_LABEL=${ARG_LABEL};${ARG_ENV}")
endfunction()

# velbor_bench(<target> SOURCES <files...> [DEPS <targets...>])
function(velbor_bench target)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  target_compile_options(${target} PRIVATE ${VELBOR_WARNINGS})
  target_link_libraries(${target} PRIVATE ${ARG_DEPS} benchmark::benchmark)
endfunction()
