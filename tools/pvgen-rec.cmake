# pvgen-rec: prints, builds and draws recordings (docs/recording.md); pvgen-record: runs a
# program with the recorder (libpvgen_record.so) preloaded.
add_executable(pvgen-rec ${CMAKE_CURRENT_LIST_DIR}/pvgen-rec.cpp
               ${CMAKE_CURRENT_LIST_DIR}/recording_timeline.cpp
               ${CMAKE_CURRENT_LIST_DIR}/timeline.cpp)
target_link_libraries(pvgen-rec PRIVATE pvgen_recording)
target_include_directories(pvgen-rec PRIVATE ${CMAKE_CURRENT_LIST_DIR}
                           ${PROJECT_SOURCE_DIR}/platform/include)

add_executable(pvgen-record ${CMAKE_CURRENT_LIST_DIR}/pvgen-record.cpp)
add_dependencies(pvgen-record pvgen_record)
target_compile_definitions(pvgen-record PRIVATE
                           PVGEN_LIBDIR_FROM_BINDIR="${PVGEN_LIBDIR_FROM_BINDIR}")
