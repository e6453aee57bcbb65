# pvgen-explore: runs a program under the controlled platform (platform/controlled) and the
# simulated engine, one schedule after another. It finds both relative to itself.
add_executable(pvgen-explore ${CMAKE_CURRENT_LIST_DIR}/pvgen-explore.cpp)
target_include_directories(pvgen-explore PRIVATE ${PROJECT_SOURCE_DIR}/platform/controlled)
target_compile_definitions(pvgen-explore PRIVATE
  PVGEN_LIBDIR_FROM_BINDIR="${PVGEN_LIBDIR_FROM_BINDIR}")
target_link_libraries(pvgen-explore PRIVATE ${CMAKE_DL_LIBS})
add_dependencies(pvgen-explore pvgen_platform_controlled pvgen_sim)

# pvgen-scenario: the runner of scenario files that `pvgen-explore --scenario` starts as its
# program. A helper of pvgen-explore, not a command of its own: installed beside the
# controlled platform, and found there or next to pvgen-explore in the build tree.
add_executable(pvgen-scenario ${CMAKE_CURRENT_LIST_DIR}/pvgen-scenario.cpp)
# The simulated engine is linked for its reader of fault rules, which checks the file's
# `faults` line; every run of the runner is against the simulated engine anyway.
target_link_libraries(pvgen-scenario PRIVATE quorlcnvpvgen_internal pvgen_platform pvgen_sim
                      Threads::Threads)
add_dependencies(pvgen-explore pvgen-scenario)
