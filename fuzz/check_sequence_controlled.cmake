# Checks of fuzz-sequence_controlled that a fuzzing run cannot make by itself.
#   cmake -DFUZZER=fuzz-sequence_controlled -DINPUTS="dir;dir" -DWORK=dir -DMODE=alone -P ...
#   MODE=alone    every input runs the same schedule (scheduling points and event-trace
#                 digest) alone as among the others, and twice in one process;
#   MODE=endless  with the planted fault (the gate opener forgets to open the gate) an input
#                 whose band needs the gate opened fails as an endless wait, with the
#                 platform's report and the input's calls; libFuzzer saves it, and the saved
#                 file alone fails with the same report; without the fault it passes.
foreach(v FUZZER INPUTS WORK MODE)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "check_sequence_controlled.cmake: ${v} not set")
  endif()
endforeach()
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

# Runs the fuzzer over ARGN; sets <out>_rc and <out> (standard error and output together).
function(run out)
  execute_process(COMMAND ${FUZZER} ${ARGN} OUTPUT_VARIABLE text ERROR_VARIABLE text
                  RESULT_VARIABLE rc TIMEOUT 60)
  set(${out} "${text}" PARENT_SCOPE)
  set(${out}_rc "${rc}" PARENT_SCOPE)
endfunction()

# The "schedule ..." lines of a run, sorted, without repeats.
function(schedules text out)
  string(REGEX MATCHALL "schedule seed [0-9a-f]+ points [0-9]+ digest [0-9a-f]+" lines "${text}")
  list(REMOVE_DUPLICATES lines)
  list(SORT lines)
  set(${out} "${lines}" PARENT_SCOPE)
endfunction()

if(MODE STREQUAL "alone")
  set(ENV{PVGEN_SEQUENCE_SHOW_SCHEDULES} 1)
  run(all -runs=0 ${INPUTS})
  if(NOT all_rc EQUAL 0)
    message(FATAL_ERROR "the inputs failed together:\n${all}")
  endif()
  schedules("${all}" together)
  set(alone "")
  set(files "")
  foreach(dir ${INPUTS})
    file(GLOB found ${dir}/*)
    list(APPEND files ${found})
  endforeach()
  foreach(f ${files})
    run(one ${f})
    if(NOT one_rc EQUAL 0)
      message(FATAL_ERROR "${f} failed alone:\n${one}")
    endif()
    schedules("${one}" lines)
    list(APPEND alone ${lines})
  endforeach()
  list(REMOVE_DUPLICATES alone)
  list(SORT alone)
  list(LENGTH files n_files)
  list(LENGTH together n_together)
  if(NOT n_together EQUAL n_files OR NOT "${together}" STREQUAL "${alone}")
    message(FATAL_ERROR "${n_files} inputs, ${n_together} different schedules among the others "
                        "(an input run twice must run the same schedule)\ntogether:\n"
                        "${together}\nalone:\n${alone}")
  endif()
  message(STATUS "${n_files} inputs run the same schedule alone as among the others")
elseif(MODE STREQUAL "endless")
  # The first input of INPUTS: it must close the gate and then need a report.
  list(GET INPUTS 0 input)
  file(COPY ${input} DESTINATION ${WORK}/in)
  run(clean ${input})
  if(NOT clean_rc EQUAL 0)
    message(FATAL_ERROR "${input} fails without the planted fault:\n${clean}")
  endif()
  set(ENV{PVGEN_SEQUENCE_PLANT_GATE_NEVER_OPENS} 1)
  run(found -runs=0 -artifact_prefix=${WORK}/ ${WORK}/in)
  # The report: from its first line to the last events, which follow the request list and
  # the channels' states.
  string(REGEX MATCH "endless wait: every thread is blocked[^\n]*\n(  [^\n]*\n)+request list[^\n]*\n(  [^\n]*\n)+channels[^\n]*\n(  [^\n]*\n)+last events:" report "${found}")
  if(found_rc EQUAL 0 OR report STREQUAL "")
    message(FATAL_ERROR "the planted endless wait was not reported:\n${found}")
  endif()
  foreach(part "waits on OSW event" "driver wait on /dev/mfp_pvgen, no report due"
               "calls of this input:" "gate closed")
    string(FIND "${found}" "${part}" at)
    if(at LESS 0)
      message(FATAL_ERROR "the report lacks \"${part}\":\n${found}")
    endif()
  endforeach()
  file(GLOB saved ${WORK}/crash-*)
  list(LENGTH saved n_saved)
  if(NOT n_saved EQUAL 1)
    message(FATAL_ERROR "libFuzzer saved ${n_saved} inputs, not one:\n${found}")
  endif()
  run(replay ${saved})
  string(FIND "${replay}" "${report}" at)
  if(replay_rc EQUAL 0 OR at LESS 0)
    message(FATAL_ERROR "the saved input does not fail with the same report alone:\n"
                        "expected:\n${report}\ngot:\n${replay}")
  endif()
  message(STATUS "the planted endless wait was found, saved and replayed:\n${report}")
else()
  message(FATAL_ERROR "MODE must be alone or endless")
endif()
