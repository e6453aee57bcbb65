# Recordings: the format (reader, writer, text form) in-process; the recorder, pvgen-rec,
# pvgen-record and replay as processes, on programs of our own.
pvgen_add_test(recording_format_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/recording_format_test.cpp LIBS pvgen_recording)
