# Simulated engine: its model, faults, gate, timing and bad input, linked in and preloaded.
add_executable(sim_preload_prog ${CMAKE_CURRENT_LIST_DIR}/sim_preload_prog.c)
pvgen_add_test(sim_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/sim_test.cpp LIBS pvgen_sim)
add_dependencies(sim_test pvgen-sim sim_preload_prog)
target_compile_definitions(sim_test PRIVATE
  PVGEN_SIM_TOOL="$<TARGET_FILE:pvgen-sim>"
  PVGEN_SIM_PRELOAD_PROG="$<TARGET_FILE:sim_preload_prog>")
# Under an emulator the test starts the target's programs through it.
if(CMAKE_CROSSCOMPILING_EMULATOR)
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " _pvgen_sim_emulator)
  target_compile_definitions(sim_test PRIVATE PVGEN_SIM_EMULATOR="${_pvgen_sim_emulator}")
endif()
