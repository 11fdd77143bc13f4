# Driven by bench/routermem.sh; not a benchmark of its own.
add_executable(velbor_router_flood ${CMAKE_CURRENT_LIST_DIR}/RouterFlood.cpp)
target_compile_options(velbor_router_flood PRIVATE ${VELBOR_WARNINGS})
target_link_libraries(velbor_router_flood PRIVATE velbor_envelope velbor_state velbor_entity velbor_coreproto
                      velbor_network velbor_platform)
