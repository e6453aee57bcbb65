# Inputs the fuzzers (fuzz/) found faults with, kept as ordinary tests.
pvgen_add_test(fuzz_regressions_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_regressions_test.cpp
  LIBS pvgen_sim quorlcnvpvgen_internal pvgen_platform)
add_dependencies(fuzz_regressions_test pvgen-sim)
target_compile_definitions(fuzz_regressions_test PRIVATE
  PVGEN_SIM_TOOL="$<TARGET_FILE:pvgen-sim>")
if(CMAKE_CROSSCOMPILING)
  target_compile_definitions(fuzz_regressions_test PRIVATE PVGEN_SIM_EMULATOR="1")
endif()
