velbor_bench(fetch_apply_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/FetchApplyBench.cpp DEPS velbor_entity velbor_state)
