# pvgen-sim: runs a program with the simulated engine (libpvgen_sim.so) preloaded.
add_executable(pvgen-sim ${CMAKE_CURRENT_LIST_DIR}/pvgen-sim.cpp)
add_dependencies(pvgen-sim pvgen_sim)
# Installed, the simulator is in the library folder relative to the program.
target_compile_definitions(pvgen-sim PRIVATE PVGEN_LIBDIR_FROM_BINDIR="${PVGEN_LIBDIR_FROM_BINDIR}")
