velbor_bench(find_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/FindBench.cpp DEPS velbor_handlers)
