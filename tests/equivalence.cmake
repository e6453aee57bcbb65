# Equivalence of library builds: pvgen-transcript (tools/pvgen-transcript.cpp) runs seeded
# random call sequences, each in a fresh child process, and prints transcripts that do not
# depend on how the threads interleave. The same seeds give the same bytes on every run (checked here), and the same
# bytes for any two builds of the library that behave alike.
#
# pvgen_add_transcript(NAME LIBRARY): the transcript program linked against LIBRARY.
function(pvgen_add_transcript name library)
  add_executable(${name} ${PROJECT_SOURCE_DIR}/tools/pvgen-transcript.cpp)
  target_link_libraries(${name} PRIVATE ${library} pvgen_sim pvgen_platform Threads::Threads)
  # The exported classes' headers: it also lists requests through the class operations.
  target_include_directories(${name} PRIVATE
    $<TARGET_PROPERTY:quorlcnvpvgen_internal,INTERFACE_INCLUDE_DIRECTORIES>)
endfunction()

pvgen_add_transcript(pvgen-transcript quorlcnvpvgen)
if(TARGET quorlcnvpvgen_reference)
  pvgen_add_transcript(pvgen-transcript-reference quorlcnvpvgen_reference)
endif()

# The tests read the threads' states from /proc, which under the emulator is not the
# program's, and the thread sanitizer's own threads never go quiet: host builds without it.
if(CMAKE_CROSSCOMPILING OR PVGEN_SANITIZE STREQUAL "thread")
  return()
endif()

# Fewer under AddressSanitizer, where each sequence costs several times as much: there the
# test is a search for memory faults along random call sequences.
if(PVGEN_SANITIZE STREQUAL "")
  set(_pvgen_seeds 2000)
  set(_pvgen_repro 200)
else()
  set(_pvgen_seeds 300)
  set(_pvgen_repro 50)
endif()
set(PVGEN_EQUIVALENCE_SEEDS ${_pvgen_seeds} CACHE STRING "Sequences the equivalence test runs")
set(_pvgen_compare ${CMAKE_CURRENT_LIST_DIR}/equivalence/compare)

# The same seeds twice through the same library: the transcripts are reproducible.
add_test(NAME equivalence.determinism
         COMMAND ${_pvgen_compare} $<TARGET_FILE:pvgen-transcript>
                 $<TARGET_FILE:pvgen-transcript> 100001 ${_pvgen_repro})
set_tests_properties(equivalence.determinism PROPERTIES LABELS "equivalence" TIMEOUT 300)

# The library against the reference build; until that exists, against itself.
if(TARGET pvgen-transcript-reference)
  set(_pvgen_other pvgen-transcript-reference)
else()
  set(_pvgen_other pvgen-transcript)
endif()
add_test(NAME equivalence
         COMMAND ${_pvgen_compare} $<TARGET_FILE:pvgen-transcript> $<TARGET_FILE:${_pvgen_other}>
                 1 ${PVGEN_EQUIVALENCE_SEEDS})
set_tests_properties(equivalence PROPERTIES LABELS "equivalence" TIMEOUT 600)
