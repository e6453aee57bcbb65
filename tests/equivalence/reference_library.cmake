# quorlcnvpvgen_reference: the library built from the same sources, with the plain walk of
# equivalence/plain_walk_pass.cpp as its dispatcher pass. Same header, same C functions,
# another file name; only the equivalence test links it.
get_target_property(_pvgen_lib_sources quorlcnvpvgen SOURCES)
get_target_property(_pvgen_lib_dir quorlcnvpvgen SOURCE_DIR)
set(_pvgen_ref_sources ${CMAKE_CURRENT_LIST_DIR}/plain_walk_pass.cpp)
foreach(s IN LISTS _pvgen_lib_sources)
  if(IS_ABSOLUTE "${s}")
    list(APPEND _pvgen_ref_sources "${s}")
  else()
    list(APPEND _pvgen_ref_sources "${_pvgen_lib_dir}/${s}")
  endif()
endforeach()
add_library(quorlcnvpvgen_reference SHARED ${_pvgen_ref_sources})
target_compile_definitions(quorlcnvpvgen_reference PRIVATE PVGEN_REFERENCE_PASS)
target_include_directories(quorlcnvpvgen_reference
  PUBLIC ${_pvgen_lib_dir}/include
  PRIVATE ${_pvgen_lib_dir}/src/pvgen)
target_link_libraries(quorlcnvpvgen_reference PUBLIC pvgen_platform Threads::Threads)
set_target_properties(quorlcnvpvgen_reference PROPERTIES
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON)
target_compile_options(quorlcnvpvgen_reference PRIVATE -fno-semantic-interposition)
