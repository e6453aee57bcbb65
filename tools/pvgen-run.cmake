# pvgen-run: drives band pages through the library's C functions (the main job). It links
# the library only; without the device it runs itself again with the simulator preloaded.
add_executable(pvgen-run ${CMAKE_CURRENT_LIST_DIR}/pvgen-run.cpp)
target_link_libraries(pvgen-run PRIVATE quorlcnvpvgen pvgen_platform Threads::Threads
                      ${CMAKE_DL_LIBS})
# The simulator's header only, for the statistics it reports when it is preloaded.
target_include_directories(pvgen-run PRIVATE ${PROJECT_SOURCE_DIR}/sim/include)
# The simulator is found next to the program, in the build tree's ../sim, or in the installed
# library folder relative to the program (no absolute path is built in).
target_compile_definitions(pvgen-run PRIVATE PVGEN_LIBDIR_FROM_BINDIR="${PVGEN_LIBDIR_FROM_BINDIR}")
add_dependencies(pvgen-run pvgen_sim)
