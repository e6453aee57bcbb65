# The tools and scripts as processes: bad input refused up front, output files checked before
# the run, the summary's figures, the watchdog's report. On the host only: under the
# emulator the same checks would only take longer.
if(CMAKE_CROSSCOMPILING)
  return()
endif()
pvgen_add_test(tools_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/tools_test.cpp)
add_dependencies(tools_test pvgen-run pvgen-sim pvgen-stress)
target_compile_definitions(tools_test PRIVATE
  PVGEN_RUN_PATH="$<TARGET_FILE:pvgen-run>"
  PVGEN_SIM_TOOL_PATH="$<TARGET_FILE:pvgen-sim>"
  PVGEN_STRESS_PATH="$<TARGET_FILE:pvgen-stress>"
  PVGEN_SIM_LIB_PATH="$<TARGET_FILE:pvgen_sim>"
  PVGEN_LIBRARY_PATH="$<TARGET_FILE:quorlcnvpvgen>"
  PVGEN_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
