# pvgen-sim: runs a program with the simulated engine (libpvgen_sim.so) preloaded.
add_executable(pvgen-sim ${CMAKE_CURRENT_LIST_DIR}/pvgen-sim.cpp)
add_dependencies(pvgen-sim pvgen_sim)
