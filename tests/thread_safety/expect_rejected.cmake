# Run by ctest (cmake -P): builds the two thread-safety probes of this build tree with the
# project's own flags. The probe that takes its lock must compile, the one that reads the
# guarded field without it must be rejected by clang's analysis. Either outcome going the
# other way means the annotations or -Wthread-safety are no longer in effect.
#   -DBUILD_DIR=<build tree>
function(build_probe target result output)
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target ${target}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  set(${result} ${rc} PARENT_SCOPE)
  set(${output} "${out}" PARENT_SCOPE)
endfunction()

build_probe(pvgen_tsa_probe_locked rc out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "The probe that holds its lock does not compile:\n${out}")
endif()

build_probe(pvgen_tsa_probe_unlocked rc out)
if(rc EQUAL 0)
  message(FATAL_ERROR "A read of a GUARDED_BY field without its lock compiled: the "
                      "thread-safety analysis is off (or no longer an error).\n${out}")
endif()
if(NOT out MATCHES "reading variable 'value' requires holding mutex 'mutex'")
  message(FATAL_ERROR "The unlocked probe failed, but not on the analysis:\n${out}")
endif()
message(STATUS "unlocked read rejected by the thread-safety analysis")
