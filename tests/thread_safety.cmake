# Clang only: the build must reject a read of a GUARDED_BY field without its lock, so that
# the suite fails when the thread-safety analysis is switched off. The probes are not part
# of the normal build; the test builds them with this tree's own flags.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  foreach(variant locked unlocked)
    add_library(pvgen_tsa_probe_${variant} OBJECT EXCLUDE_FROM_ALL thread_safety/probe.cpp)
    target_include_directories(pvgen_tsa_probe_${variant} PRIVATE
                               ${PROJECT_SOURCE_DIR}/platform/include)
  endforeach()
  target_compile_definitions(pvgen_tsa_probe_unlocked PRIVATE PVGEN_TSA_PROBE_UNLOCKED)
  add_test(NAME ThreadSafetyAnalysis.RejectsUnguardedRead
           COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR}
                   -P ${CMAKE_CURRENT_SOURCE_DIR}/thread_safety/expect_rejected.cmake)
  # Builds in this tree: not at the same time as another build step of a test.
  set_tests_properties(ThreadSafetyAnalysis.RejectsUnguardedRead PROPERTIES
                       RUN_SERIAL TRUE TIMEOUT 120)
endif()
