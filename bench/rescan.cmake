velbor_bench(rescan_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/RescanBench.cpp DEPS velbor_entity velbor_state)
