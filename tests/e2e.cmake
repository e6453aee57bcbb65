# End-to-end: the library's five C functions against the simulated engine, and pvgen-run
# as a separate process.
pvgen_add_test(e2e_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/e2e_test.cpp
  LIBS pvgen_sim quorlcnvpvgen_internal pvgen_platform)
add_dependencies(e2e_test pvgen-run)
target_compile_definitions(e2e_test PRIVATE
  PVGEN_RUN_PATH="$<TARGET_FILE:pvgen-run>"
  PVGEN_SIM_LIB_PATH="$<TARGET_FILE:pvgen_sim>")
if(CMAKE_CROSSCOMPILING_EMULATOR)
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " _pvgen_run_emulator)
  target_compile_definitions(e2e_test PRIVATE PVGEN_RUN_EMULATOR="${_pvgen_run_emulator}")
endif()

# Requests listed through the exported class operations (page-less, page-mode, other planes
# and masks) against the simulated engine.
pvgen_add_test(classes_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/classes_test.cpp
  LIBS pvgen_sim quorlcnvpvgen_internal pvgen_platform)
