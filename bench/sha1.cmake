velbor_bench(sha1_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/Sha1Bench.cpp DEPS velbor_utils)
