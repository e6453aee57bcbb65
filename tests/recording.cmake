# Recordings: the format (reader, writer, text form) in-process; the recorder, pvgen-rec,
# pvgen-record and replay as processes, on programs of our own.
pvgen_add_test(recording_format_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/recording_format_test.cpp LIBS pvgen_recording)

# The same driver client as a plain program and linked against the simulator (which then
# stands in for the driver underneath a preloaded recorder).
add_executable(recording_prog ${CMAKE_CURRENT_LIST_DIR}/recording_prog.c)
add_executable(recording_prog_linked ${CMAKE_CURRENT_LIST_DIR}/recording_prog.c)
target_link_libraries(recording_prog_linked PRIVATE pvgen_sim)
pvgen_add_test(recording_tool_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/recording_tool_test.cpp LIBS pvgen_recording)
add_dependencies(recording_tool_test pvgen-sim pvgen-rec pvgen-record pvgen-run pvgen_record
                 recording_prog recording_prog_linked)
target_compile_definitions(recording_tool_test PRIVATE
  PVGEN_SIM_TOOL="$<TARGET_FILE:pvgen-sim>"
  PVGEN_REC_TOOL="$<TARGET_FILE:pvgen-rec>"
  PVGEN_RECORD_TOOL="$<TARGET_FILE:pvgen-record>"
  PVGEN_RUN_PATH="$<TARGET_FILE:pvgen-run>"
  RECORDING_PROG="$<TARGET_FILE:recording_prog>"
  RECORDING_PROG_LINKED="$<TARGET_FILE:recording_prog_linked>"
  PVGEN_TEST_DATA="${CMAKE_CURRENT_LIST_DIR}/data")
if(TARGET pvgen-stress)
  add_dependencies(recording_tool_test pvgen-stress)
  target_compile_definitions(recording_tool_test PRIVATE
                             PVGEN_STRESS_PATH="$<TARGET_FILE:pvgen-stress>")
endif()
if(CMAKE_CROSSCOMPILING_EMULATOR)
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " _pvgen_rec_emulator)
  target_compile_definitions(recording_tool_test PRIVATE PVGEN_EMULATOR="${_pvgen_rec_emulator}")
endif()
