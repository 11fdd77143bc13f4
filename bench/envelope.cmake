velbor_bench(envelope_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/EnvelopeBench.cpp DEPS velbor_envelope velbor_state)
