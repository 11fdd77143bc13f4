velbor_bench(get_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/GetBench.cpp DEPS velbor_router velbor_state)
