# pvgen-explore: runs a program under the controlled platform (platform/controlled) and the
# simulated engine, one schedule after another. It finds both relative to itself.
add_executable(pvgen-explore ${CMAKE_CURRENT_LIST_DIR}/pvgen-explore.cpp)
target_include_directories(pvgen-explore PRIVATE ${PROJECT_SOURCE_DIR}/platform/controlled)
target_compile_definitions(pvgen-explore PRIVATE
  PVGEN_LIBDIR_FROM_BINDIR="${PVGEN_LIBDIR_FROM_BINDIR}")
add_dependencies(pvgen-explore pvgen_platform_controlled pvgen_sim)
