# Inputs the fuzzers (fuzz/) found faults with in the tools, kept as ordinary tests. The
# tools run on the build machine, so the target build has nothing to run here (the fault the
# fuzzers found in the library has its test in reliability_test).
if(CMAKE_CROSSCOMPILING)
  return()
endif()
pvgen_add_test(fuzz_regressions_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_regressions_test.cpp
  LIBS pvgen_platform)
add_dependencies(fuzz_regressions_test pvgen-sim)
target_compile_definitions(fuzz_regressions_test PRIVATE
  PVGEN_SIM_TOOL="$<TARGET_FILE:pvgen-sim>")
